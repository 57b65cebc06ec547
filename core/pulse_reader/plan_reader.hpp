// Reading the blocks of a plan into columns, on several threads.
//
// This is the one road from a file's blocks to tables: the per-aperture reads
// are plans of one block. The blocks' records are decoded, normalized into
// pulses and filtered by the one decoder, normalizer and filter of the
// library, a piece of records at a time while the piece is in the cache.
//
// The plan is cut into work units of about `unit_records` records: runs of
// whole blocks, or pieces of a block too large for one unit. Worker threads
// take units in plan order, each decoding its unit into rows of its own (a
// slot; a few per thread, so that a thread ahead need not wait for the
// others), and the units are then published in plan order: a unit learns at
// which row its rows start (the number of rows before it is known only once
// the units before it are decoded, since a filter keeps an unknown share of
// the pulses) and its rows are copied there. The cuts depend on the plan
// alone, so the result is the same whatever the number of threads.
//
// A piece of a large block starts in the middle of the block's frame count:
// before any piece is decoded, the frames of every piece are added up from
// words 0 and 1 alone (in parallel), which gives each piece its starting state.
//
// Its parts: plan_units.* cuts a plan into units; plan_sinks.hpp holds the row
// sinks of records, pulses and summaries (the RowSink concept); summary_kernels*
// the summary's inner loops, scalar and SSE2; plan_scheduler.hpp the threads,
// their slots, the publishing in plan order and the reads that start over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "cancellation.hpp"
#include "pulse_filter/pulse_filter.hpp"
#include "pulse_reader/block_plan.hpp"
#include "pulse_reader/records/formatted_record.hpp"
#include "pulse_reader/table_columns.hpp"
#include "result.hpp"

namespace kvt {

class PulseReader;

/// Where a table's columns go, with room for every row: one pointer per
/// column of its list in table_columns.hpp; a null pointer is a column not
/// asked for.
#define KVT_TABLE_POINTER(name, type, unit, meaning) type* name = nullptr;

struct RecordTable {
    KVT_RECORD_COLUMNS(KVT_TABLE_POINTER, KVT_TABLE_POINTER, KVT_TABLE_POINTER, KVT_TABLE_POINTER, KVT_TABLE_POINTER)
};

struct PulseTable {
    KVT_PULSE_COLUMNS(KVT_TABLE_POINTER, KVT_TABLE_POINTER, KVT_TABLE_POINTER)
};

/// One aperture's summary: its record kinds and the pulses the filter keeps.
struct ApertureSummary {
#define KVT_SUMMARY_FIELD(name, type, unit, meaning) type name{};
    KVT_SUMMARY_COLUMNS(KVT_SUMMARY_FIELD, KVT_NO_COLUMN, KVT_NO_COLUMN)
#undef KVT_SUMMARY_FIELD
    /// Records of each kind, by FormattedRecordType code (pulses unfiltered).
    std::uint64_t kinds[formatted_record_type_count] = {};
};

/// Where the summaries' columns go, one row per aperture; every column is
/// asked for. The pulse rate is the module's to make.
struct SummaryTable {
    KVT_SUMMARY_COLUMNS(KVT_TABLE_POINTER, KVT_TABLE_POINTER, KVT_NO_COLUMN)
};

/// Why an aperture that cannot be read soundly is skipped.
enum class SkipReason {
    past_end,      ///< its block starts or ends past the end of the file
    out_of_order,  ///< its pulses are out of order for the filter
};

/// The reason's words, as the module shows them.
[[nodiscard]] const char* skip_reason_text(SkipReason reason) noexcept;

struct SkippedAperture {
    std::uint64_t aperture = 0;
    SkipReason reason = SkipReason::past_end;
    friend bool operator==(const SkippedAperture&, const SkippedAperture&) = default;
};

#undef KVT_TABLE_POINTER

/// How a plan is read.
struct PlanReading {
    const PulseFilter* filter = nullptr;  ///< pulses and summaries
    /// An aperture that cannot be read soundly (its block runs past the end of
    /// the file, or, for the filter, its pulses are out of order) gives no rows
    /// and is listed in PlanRows::skipped, instead of failing the read.
    bool skip_unreadable = false;
    /// Once cancelled, the read stops between work units and fails with
    /// cancelled_error(); null: never.
    const CancellationToken* cancel = nullptr;
    std::size_t threads = 1;                          ///< at least 1
    std::size_t unit_records = std::size_t{1} << 13;  ///< records of a work unit (its rows stay in the cache)
    bool keep_headers = false;                        ///< return every block's header
    bool name_apertures = true;                       ///< errors of the filter name the aperture
};

struct PlanRows {
    std::size_t rows = 0;
    std::vector<SkippedAperture> skipped;  ///< apertures skipped, in plan order
    std::vector<ApertureHeader> headers;   ///< each block's, in plan order, when asked for
};

/// Columns with room for `rows` rows, made by the caller (and owned by it).
template <class Table>
using TableFor = std::function<Result<Table>(std::size_t rows)>;

/// Reads the records of the planned blocks into a table made by `make_table`
/// with room for every record. The plan's inferred record counts are checked
/// against the headers; where they disagree the plan is made again from the
/// headers and the read starts over with a new table. Blocks the plan marks
/// past_end fail the read, or are skipped with how.skip_unreadable.
[[nodiscard]] Result<PlanRows> read_plan_records(const PulseReader& reader, BlockPlan plan,
                                                 const TableFor<RecordTable>& make_table, const PlanReading& how);

/// The pulses of the planned blocks, filtered by how.filter; the table has
/// room for every record, the most pulses there can be.
[[nodiscard]] Result<PlanRows> read_plan_pulses(const PulseReader& reader, BlockPlan plan,
                                                const TableFor<PulseTable>& make_table, const PlanReading& how);

/// One summary per planned block, in plan order, into a table with a row for
/// every block.
[[nodiscard]] Result<PlanRows> summarize_plan(const PulseReader& reader, BlockPlan plan,
                                              const TableFor<SummaryTable>& make_table, const PlanReading& how);

/// The number of CPUs this process may run on (at least 1).
[[nodiscard]] std::size_t usable_cpus() noexcept;

}  // namespace kvt
