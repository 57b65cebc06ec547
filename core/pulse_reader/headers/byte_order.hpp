// Little-endian loads and stores at arbitrary byte offsets.
//
// Every multi-byte integer of a pulse file is little-endian, and structures are
// packed: index entries put a u64 at offset 4 of a 12-byte entry, so fields are
// read byte-wise (through memcpy) rather than through aligned loads.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace kvt {

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);

template <class T>
constexpr T byte_swap(T value) noexcept {
    static_assert(std::is_unsigned_v<T>);
    if constexpr (sizeof(T) == 1) {
        return value;
    } else {
        T swapped = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            swapped = static_cast<T>((swapped << 8) | ((value >> (8 * i)) & 0xFF));
        }
        return swapped;
    }
}

/// Reads the little-endian unsigned integer of type T at `bytes`.
template <class T>
inline T load_le(const std::byte* bytes) noexcept {
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    if constexpr (std::endian::native == std::endian::big) value = byte_swap(value);
    return value;
}

/// Writes `value` as a little-endian unsigned integer at `bytes`.
template <class T>
inline void store_le(std::byte* bytes, T value) noexcept {
    if constexpr (std::endian::native == std::endian::big) value = byte_swap(value);
    std::memcpy(bytes, &value, sizeof(T));
}

}  // namespace kvt
