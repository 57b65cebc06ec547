// Merging pulse files: the inputs stacked along the sensor's row axis.
#pragma once

#include <span>
#include <string>

#include "pulse_reader/pulse_reader.hpp"
#include "result.hpp"

namespace kvt {

/// Writes to `new_file_name` (which must not exist) one pulse file holding
/// every aperture of every reader, in order. The rows of each input follow
/// those of the inputs before it: in each aperture header `aperture_y` is
/// raised by their "rows" and `aperture_index` by their "rows" x "cols"; the
/// index follows. Header fields, encoding records and metadata come from the
/// first input, with "rows", "roi_rows", "validWells", "validWellsLeft",
/// "validWellsRight", "roi_offset_col" and "roi_cols" recomputed; the metadata
/// is written as compact JSON with sorted keys.
///
/// Every input is checked before the new file is created; nothing is ever left
/// at `new_file_name` unless the merge succeeds. The readers' files are only
/// read. Every pointer must be non-null. Once `cancel` is cancelled the merge
/// stops, writing nothing.
[[nodiscard]] Status merge_pulse_files(std::span<const PulseReader* const> readers, const std::string& new_file_name,
                                       const CancellationToken* cancel = nullptr);

}  // namespace kvt
