// The 16-byte header at the start of every aperture block:
//
//   offset width field
//        0     4 aperture_x      column of the aperture
//        4     4 aperture_y      row of the aperture
//        8     4 aperture_index  the aperture's number
//       12     4 num_records     16-byte event records that follow
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "pulse_reader/headers/byte_order.hpp"
#include "result.hpp"

namespace kvt {

inline constexpr std::size_t aperture_header_size = 16;
/// Every event record is 16 bytes.
inline constexpr std::size_t record_size = 16;

/// Size of a block of `num_records` records: its header plus the records, in
/// 64-bit arithmetic (a count of 2^32 - 1 records makes no overflow).
[[nodiscard]] constexpr std::uint64_t block_size(std::uint32_t num_records) noexcept {
    return aperture_header_size + std::uint64_t{record_size} * num_records;
}

/// The record count of the block header at `header` (its bytes 12 to 15).
[[nodiscard]] std::uint32_t block_record_count(std::span<const std::byte, aperture_header_size> header) noexcept;

/// The stored fields, as drawn above: FIELD(name, type, offset).
#define KVT_APERTURE_HEADER_FIELDS(FIELD)   \
    FIELD(aperture_x, std::uint32_t, 0)     \
    FIELD(aperture_y, std::uint32_t, 4)     \
    FIELD(aperture_index, std::uint32_t, 8) \
    FIELD(num_records, std::uint32_t, 12)

struct ApertureHeader {
    /// Byte position of the block in its file, taken from the index entry;
    /// never written into a block.
    std::uint64_t aperture_byteloc = 0;
    KVT_APERTURE_HEADER_FIELDS(KVT_LE_MEMBER)

    /// Calls visit(field, offset) for each stored field of `self`.
    template <class Self, class Visit>
    static void each_field(Self& self, Visit&& visit) {
        KVT_APERTURE_HEADER_FIELDS(KVT_LE_VISIT)
    }

    static ApertureHeader new_(std::span<const std::byte, aperture_header_size> bytes, std::uint64_t aperture_byteloc);

    /// The serialised form: the four stored fields, little-endian.
    [[nodiscard]] std::array<std::byte, aperture_header_size> to_bytes() const;

    /// Size of the whole block: header plus records, in 64-bit arithmetic.
    [[nodiscard]] std::uint64_t block_size() const noexcept { return kvt::block_size(num_records); }

    friend bool operator==(const ApertureHeader&, const ApertureHeader&) = default;
};

}  // namespace kvt
