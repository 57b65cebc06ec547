// Large buffers.
//
// A block of a million records, or a column of a million values, is megabytes
// that the allocator takes fresh from the kernel; first touching it 4 KiB page
// by 4 KiB page can cost several times more than filling it. Such buffers are
// asked for as transparent huge pages before anything is written to them:
// `allocate_large` places them on 2 MiB boundaries so that every page of them
// can be one, and `reserve_large` gives a vector's room the same advice. Where
// the kernel offers no huge pages the advice is ignored and nothing changes.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <vector>

namespace kvt {

/// Memory from the malloc family, released with std::free.
struct FreeMemory {
    void operator()(void* memory) const noexcept { std::free(memory); }
};

/// `bytes` bytes (at least one) of uninitialised memory from the malloc
/// family, on huge pages when it is large; null when none can be had.
void* allocate_large(std::size_t bytes) noexcept;

/// Bytes from allocate_large.
using LargeBytes = std::unique_ptr<std::byte[], FreeMemory>;

/// Asks for huge pages on the whole 2 MiB pages within [data, data + bytes).
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

/// Reserves room for `count` elements in the empty vector `out` and advises
/// huge pages on that room.
template <class T>
void reserve_large(std::vector<T>& out, std::size_t count) {
    out.reserve(count);
    advise_huge_pages(out.data(), out.capacity() * sizeof(T));
}

}  // namespace kvt
