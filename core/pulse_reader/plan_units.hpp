// Cutting a plan into work units, and the stretches of records they decode.
//
// A unit is a run of whole blocks of about `unit_records` records in all, or
// a piece of a block too large for one unit. The cuts depend on the plan
// alone, never on the number of threads, so that the rows come out the same
// whatever it is. A piece starts in the middle of its block's frame count: its
// starting state (PieceStart) is worked out before it is decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "pulse_reader/block_plan.hpp"
#include "pulse_reader/headers/aperture_header.hpp"
#include "pulse_reader/records/normalized_pulse.hpp"

namespace kvt::plan_reading {

/// The first `rows` elements of `column`, which grows to hold them but never
/// shrinks, so that the elements it had are not cleared again for every unit.
template <class T>
T* grown(std::vector<T>& column, std::size_t rows) {
    if (column.size() < rows) column.resize(rows);
    return column.data();
}

/// The same for bytes, as a span.
inline std::span<std::byte> room(std::vector<std::byte>& buffer, std::size_t length) {
    return {grown(buffer, length), length};
}

/// A unit of work: the whole blocks [first, end) of the plan, or, for a piece,
/// the records [first_record, end_record) of block `first`.
struct Unit {
    std::size_t first = 0;
    std::size_t end = 0;
    std::uint64_t first_record = 0;
    std::uint64_t end_record = 0;
    bool piece = false;
};

[[nodiscard]] std::vector<Unit> cut_units(const BlockPlan& plan, std::size_t unit_records);

/// The run after `relative` (a run worked out from the start of a stretch of
/// records) when the stretch starts at `base`: frames are sums, so they shift.
[[nodiscard]] PulseRun continue_run(const PulseRun& base, const PulseRun& relative) noexcept;

/// Where a piece of a large block starts, worked out before it is decoded.
struct PieceStart {
    std::uint32_t start_f = 0;  ///< the records' running sum of ipd_f before the piece
    PulseRun run;               ///< the normalization state before the piece
};

/// One stretch of records to decode: a whole block or a piece of one.
struct Segment {
    std::size_t block = 0;  ///< in the plan
    std::uint64_t aperture = 0;
    ApertureHeader header;
    std::span<const std::byte> records;
    std::uint64_t first_record = 0;
    PieceStart start;
    bool piece = false;
    bool first_piece = true;
    bool last_piece = true;
};

/// Rows of one block within a unit's rows.
struct RowSpan {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::uint64_t aperture = 0;
    std::uint32_t aperture_x = 0;
    std::uint32_t aperture_y = 0;
};

}  // namespace kvt::plan_reading
