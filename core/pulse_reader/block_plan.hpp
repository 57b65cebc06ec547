// Where the blocks of many apertures lie, found with as few reads as possible.
//
// Reading a whole run aperture by aperture would cost an index lookup and a
// 16-byte read of the block header for each of up to millions of apertures. A
// plan settles all of them at once. Files written by the writers of this
// library (and by the instrument) keep their blocks back to back in index
// order, from data_offset up to the index, so the extent of a block is known
// without reading it: it runs up to the next block, or up to the index for the
// last one. A plan can take the record counts from there (`infer`), to be
// checked against each block's own header when the block is read anyway; or
// read the headers (`read`), with one large read over blocks that lie back to
// back and one small read per block elsewhere. Inferred counts are taken only
// while every block they give lies inside the file; else the headers are read.
//
// In an index in block order (see PulseFileIndex::in_block_order) the next
// block is the next present entry's, so a block's count costs its lookup and
// nothing more, whatever the size of the file. Out of that order, a plan of a
// large share of the index infers the counts from the list of every block
// start, and a smaller plan reads its headers.
//
// A block that starts or ends past the end of the file (a cut file, or a
// header whose record count is damaged) fails the plan, or, for a reader that
// skips what it cannot read, is marked `past_end` and given no records.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "cancellation.hpp"
#include "pulse_reader/headers/aperture_header.hpp"
#include "pulse_reader/headers/pulse_file_index.hpp"
#include "result.hpp"

namespace kvt {

class PulseReader;

/// One selected aperture's block.
struct PlannedBlock {
    std::uint64_t aperture = 0;     ///< the aperture's number, as selected
    std::uint64_t offset = 0;       ///< position of the block (its 16-byte header)
    std::uint32_t num_records = 0;  ///< records of the block
    bool past_end = false;          ///< the block does not lie inside the file: skipped, never read (no records)

    [[nodiscard]] std::uint64_t records_at() const noexcept { return offset + aperture_header_size; }
    [[nodiscard]] std::uint64_t size() const noexcept {
        return aperture_header_size + std::uint64_t{16} * num_records;
    }
};

/// What a plan does with a block that runs past the end of the file.
enum class DamagedBlocks {
    fail,  ///< the plan fails with "failed to fill whole buffer"
    mark,  ///< the block is marked past_end
};

enum class PlanHeaders {
    infer,  ///< record counts from the blocks' extents where they can be told; headers read elsewhere
    read,   ///< every header read (large reads over back-to-back blocks) and every block checked inside the file
};

struct BlockPlan {
    std::vector<PlannedBlock> blocks;  ///< in selection order, repeats included
    /// False when some record counts were inferred from the blocks' extents:
    /// whoever reads the blocks checks them against the headers.
    bool headers_read = false;

    [[nodiscard]] std::uint64_t total_records() const noexcept;
};

/// Every aperture number that the index can look up, each once, ascending.
[[nodiscard]] std::vector<std::uint64_t> lookup_apertures(const PulseFileIndex& index);

/// Plans the blocks of `apertures` (any order, repeats allowed). Every number is
/// looked up first; the first missing one fails with the index's message.
/// A cancelled `cancel` stops the reading of headers with cancelled_error().
[[nodiscard]] Result<BlockPlan> plan_blocks(const PulseReader& reader, std::span<const std::uint64_t> apertures,
                                            PlanHeaders how, DamagedBlocks damaged = DamagedBlocks::fail,
                                            const CancellationToken* cancel = nullptr);

}  // namespace kvt
