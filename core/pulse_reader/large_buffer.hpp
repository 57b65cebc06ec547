// Large result buffers.
//
// A vector of a million records or pulses is tens of megabytes that the
// allocator takes fresh from the kernel, and first touching it page by page
// costs more than filling it. Asking for transparent huge pages on such a
// buffer before it is written cuts that cost several times over; where the
// kernel does not offer them, the request is ignored.
#pragma once

#include <cstddef>
#include <vector>

namespace kvt {

/// Asks for huge pages on the whole 2 MiB pages within [data, data + bytes).
/// Only a hint: nothing changes for the caller when it is not granted.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

/// Reserves room for `count` elements in the empty vector `out` and advises
/// huge pages on that room.
template <class T>
void reserve_large(std::vector<T>& out, std::size_t count) {
    out.reserve(count);
    advise_huge_pages(out.data(), out.capacity() * sizeof(T));
}

}  // namespace kvt
