// The aperture index at the end of a pulse file.
//
// At `index_offset` stand the eight bytes "$INDX$\r\n" and then one 12-byte
// entry per aperture: u32 aperture_index, u64 byte_offset (0 marks the
// aperture as absent). Entries are in ascending order of aperture_index; the
// first entry carries the smallest number and the last the largest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "result.hpp"

namespace kvt {

/// "$INDX$\r\n" read as a little-endian u64.
inline constexpr std::uint64_t index_magic = 0x0A0D2458444E4924ULL;
inline constexpr std::size_t index_magic_size = 8;
inline constexpr std::size_t index_entry_size = 12;

class PulseFileIndex {
public:
    /// Builds the index from the entries that follow the magic. Refuses an
    /// index with no entries, one whose last number is below its first, and
    /// one with an entry outside the span from the first number to the last.
    static Result<PulseFileIndex> new_(std::span<const std::byte> entry_bytes, std::uint64_t num_apertures);

    /// The `byte_offset` of aperture `aperture_index`'s block, or an error when
    /// the index holds no entry (or only a zero offset) for that number.
    [[nodiscard]] Result<std::uint64_t> get(std::uint64_t aperture_index) const;

    /// Every entry's number in file order, duplicates included.
    [[nodiscard]] const std::vector<std::uint64_t>& apertures() const noexcept { return apertures_; }
    [[nodiscard]] std::uint64_t first_aperture() const noexcept { return first_aperture_; }

private:
    PulseFileIndex() = default;

    // Lookup is a subtraction and a load into `offsets_`, which has one slot per
    // number from the first entry's to the last entry's. A file with few entries
    // spread over a huge span (possible only in a damaged or hostile file) would
    // make that table gigabytes large; such an index keeps `sparse_` instead, its
    // entries sorted by number with the later of two equal numbers winning.
    std::vector<std::uint64_t> apertures_;
    std::vector<std::uint64_t> offsets_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> sparse_;
    std::uint64_t first_aperture_ = 0;
    std::uint64_t span_ = 0;
};

}  // namespace kvt
