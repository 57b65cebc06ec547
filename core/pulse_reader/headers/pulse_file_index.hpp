// The aperture index at the end of a pulse file.
//
// At `index_offset` stand the eight bytes "$INDX$\r\n" and then one 12-byte
// entry per aperture: u32 aperture_index, u64 byte_offset (0 marks the
// aperture as absent). Entries are in ascending order of aperture_index; the
// first entry carries the smallest number and the last the largest.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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

    /// Fills `out` with the entry bytes that start `at` bytes after the magic.
    using EntryReader = std::function<Status(std::uint64_t at, std::span<std::byte> out)>;

    /// The same checks on `num_apertures` entries fetched with `fill` piece by
    /// piece, each piece checked while it is still in the cache; the pieces
    /// become the index's storage.
    static Result<PulseFileIndex> read(std::uint64_t num_apertures, const EntryReader& fill);

    /// The `byte_offset` of aperture `aperture_index`'s block, or an error when
    /// the index holds no entry (or only a zero offset) for that number.
    [[nodiscard]] Result<std::uint64_t> get(std::uint64_t aperture_index) const;

    /// The same, for numbers looked up in ascending order: `cursor` (0 for the
    /// first) keeps the entry where the last lookup ended, so that looking up
    /// the numbers of a run one after the other takes one pass over the entries.
    /// In an index whose numbers strictly ascend, a lookup that succeeds leaves
    /// `cursor` at the entry found.
    [[nodiscard]] Result<std::uint64_t> get(std::uint64_t aperture_index, std::size_t& cursor) const;

    /// Whether the numbers strictly ascend and so do the block offsets other
    /// than 0, entry after entry: the blocks then lie in the order of the
    /// index, as every writer leaves them, and the block after the one of an
    /// entry is the next entry's that is present. Found on the first call (a
    /// pass over the entries, kept out of opening) and kept.
    [[nodiscard]] bool in_block_order() const noexcept;

    /// In an index in block order: the offset of the first entry after entry
    /// `i` that is present, 0 when no entry after it is; nothing when the next
    /// `most` entries are all absent and more follow.
    [[nodiscard]] std::optional<std::uint64_t> next_offset(std::size_t i, std::size_t most = 64) const noexcept;

    /// Number of entries, duplicates included.
    [[nodiscard]] std::size_t size() const noexcept { return count_; }
    /// The number of entry `i` (below size()), in file order.
    [[nodiscard]] std::uint64_t aperture_at(std::size_t i) const noexcept;
    /// The block offset of entry `i` (below size()), as stored (0 marks an absent aperture).
    [[nodiscard]] std::uint64_t offset_at(std::size_t i) const noexcept;
    /// Every entry's number in file order, duplicates included.
    [[nodiscard]] std::vector<std::uint64_t> apertures() const;

private:
    PulseFileIndex() = default;

    /// With strictly ascending numbers: the first entry whose number is not
    /// below `aperture_index`.
    [[nodiscard]] std::size_t position_of(std::uint64_t aperture_index) const noexcept;

    // The entries stay as read. When their numbers strictly ascend (the usual
    // case), a lookup finds its entry in them directly: at position number -
    // first when the numbers have no gaps, else by bisection. Any other order
    // (repeats, where the later entry wins) gets a table instead: `offsets_`,
    // one slot per number from the first entry's to the last entry's, or, when
    // few entries spread over a huge span (possible only in a damaged or hostile
    // file), `sparse_`, the entries sorted by number.
    std::unique_ptr<std::byte[]> entries_;
    std::size_t count_ = 0;
    bool ascending_ = false;
    static constexpr std::uint8_t order_unknown = 0, order_kept = 1, order_not_kept = 2;
    std::unique_ptr<std::atomic<std::uint8_t>> block_order_ =
        std::make_unique<std::atomic<std::uint8_t>>(order_unknown);
    std::vector<std::uint64_t> offsets_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> sparse_;
    std::uint64_t first_aperture_ = 0;
    std::uint64_t span_ = 0;
};

}  // namespace kvt
