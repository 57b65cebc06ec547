// Recovery of a damaged pulse file: its sound aperture blocks copied into a
// new file with a fresh index.
//
// A run is worth hours of instrument time, and the usual damage leaves most
// of it intact: a transfer that stopped, or an instrument that crashed before
// it wrote its index, cuts the file short; some acquisition software leaves a
// file preallocated with zeros past its last block; a block header can carry
// a wrong record count. Every writer lays the blocks back to back from
// data_offset in ascending aperture order, so the blocks can be found again
// without the index:
//
//   data_offset   block, block, block, ...   (walked one header at a time)
//                 the first header that breaks a rule ends the walk:
//                   - its aperture number is not above the previous block's,
//                   - its column or row lies outside the sensor (the
//                     metadata's "cols" and "rows", where both are given),
//                   - its records run past the end of the data,
//                   - it is 16 zero bytes (preallocated space) other than a
//                     first block followed by more than zeros,
//                 so zeros or garbage after the data are never read as blocks.
//
// An index that survives (at index_offset, or as the file's last bytes when
// the header's index_offset is wrong) ends the data and says which blocks
// exist: each entry's block must carry the entry's number and lie inside the
// data. The walk confirms the entries, stands in for an entry whose offset is
// damaged, and is not trusted beyond them (after a wrong count it may take
// record bytes for a header). Blocks that overlap lose the earlier one (its
// count runs into its neighbour). An entry whose block cannot be placed
// soundly is reported as lost, never guessed.
//
// A block whose records run past the end of the data with nothing kept after
// it is the block that was cut: it is dropped and named, or, when asked,
// kept with its complete records and its header's count rewritten.
//
// The new file is written as the writers write theirs (an unnamed temporary
// file, synced, linked into place; nothing left behind on failure): the
// source's header with num_apertures and index_offset recomputed, its bytes
// from 48 up to data_offset unchanged, the kept blocks in ascending aperture
// order, then the index. A recovery never replaces a file, and never writes
// onto its input. Nothing is written when the header or the metadata is
// damaged, or when no block can be recovered.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cancellation.hpp"
#include "result.hpp"

namespace kvt {

/// The block that runs past the end of the data: the one that was cut.
struct PartialBlock {
    std::uint32_t aperture = 0;
    std::uint64_t byte_offset = 0;       ///< position of its header in the damaged file
    std::uint32_t records_claimed = 0;   ///< the count in its header
    std::uint32_t records_complete = 0;  ///< whole records before the end of the data
    bool kept = false;                   ///< kept with its complete records (keep_partial)
};

struct RecoveryReport {
    std::uint64_t apertures_kept = 0;
    std::uint64_t records_kept = 0;
    /// Apertures that the index or the walk names but whose blocks could not
    /// be placed soundly, ascending (the cut block among them when dropped).
    std::vector<std::uint32_t> apertures_lost;
    std::optional<PartialBlock> partial_block;
    /// Bytes of the damaged file not carried into the new one (neither the
    /// header and metadata, nor a kept block, nor the index used).
    std::uint64_t bytes_discarded = 0;
    std::uint64_t walk_end = 0;  ///< where the back-to-back walk stopped
    std::string walk_stop;       ///< why it stopped
    /// Where a surviving index was found; none when the index was rebuilt
    /// from the walk alone.
    std::optional<std::uint64_t> index_offset;
    std::uint64_t index_confirmed = 0;       ///< index entries that agree with the walk
    std::uint64_t apertures_from_index = 0;  ///< blocks placed by the index alone
};

/// Recovers the sound blocks of `file_name` into the new file `new_file_name`,
/// which must not exist. `cancel`, when given, is looked at between blocks and
/// between pieces of the copy; once it is cancelled the call stops, writes
/// nothing and fails with cancelled_error().
[[nodiscard]] Result<RecoveryReport> recover_pulse_file(const std::string& file_name, const std::string& new_file_name,
                                                        bool keep_partial, const CancellationToken* cancel = nullptr);

}  // namespace kvt
