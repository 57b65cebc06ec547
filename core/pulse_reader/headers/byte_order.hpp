// Little-endian loads and stores at arbitrary byte offsets.
//
// Every multi-byte integer of a pulse file is little-endian, and structures are
// packed: index entries put a u64 at offset 4 of a 12-byte entry, so fields are
// read byte-wise (through memcpy) rather than through aligned loads.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
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

// A packed structure of the file is declared as a list of its fields, each
// FIELD(name, type, offset), so that each offset is written once: the list
// expands into the members of its struct (KVT_LE_MEMBER) and into the
// struct's `each_field(self, visit)`, which calls visit(field, offset) for
// every field (KVT_LE_VISIT) and so reads and writes the fields for
// load_fields and store_fields below.
#define KVT_LE_MEMBER(name, type, offset) type name = 0;
#define KVT_LE_VISIT(name, type, offset) visit(self.name, std::size_t{offset});

/// `out` with every field that T::each_field names read from `stored`.
template <class T, std::size_t N>
T load_fields(std::span<const std::byte, N> stored, T out) noexcept {
    T::each_field(
        out, [&]<class Field>(Field& field, std::size_t offset) { field = load_le<Field>(stored.data() + offset); });
    return out;
}

/// The N bytes of `in`: every field that T::each_field names at its offset.
template <std::size_t N, class T>
std::array<std::byte, N> store_fields(const T& in) noexcept {
    std::array<std::byte, N> stored{};
    T::each_field(
        in, [&]<class Field>(const Field& field, std::size_t offset) { store_le(stored.data() + offset, field); });
    return stored;
}

}  // namespace kvt
