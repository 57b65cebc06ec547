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
#include "result.hpp"

namespace kvt {

class PulseReader;

/// Where the records' columns go, with room for every row; a null pointer is a
/// column not asked for.
struct RecordTable {
    std::uint64_t* aperture_index = nullptr;
    std::uint64_t* index = nullptr;  ///< the record's position in its block
    std::uint32_t* aperture_x = nullptr;
    std::uint32_t* aperture_y = nullptr;
    std::uint16_t* ipd_f = nullptr;
    std::uint16_t* dur_f = nullptr;
    float* bin0_intensity = nullptr;
    float* bin1_intensity = nullptr;
    float* bin0_bg_mean = nullptr;
    float* bin1_bg_mean = nullptr;
    float* bin0_bg_std = nullptr;
    float* bin1_bg_std = nullptr;
    std::uint32_t* start_f = nullptr;  ///< running sum of ipd_f within the block, wrapping
    FormattedRecordType* record_type = nullptr;
    double* long_pulse_duration_f = nullptr;  ///< NaN when absent
    double* event_f = nullptr;                ///< NaN when absent
};

/// Where the pulses' columns go, in the order of NormalizedPulse.
struct PulseTable {
    std::uint64_t* aperture_index = nullptr;
    std::uint64_t* index = nullptr;
    std::uint32_t* aperture_x = nullptr;
    std::uint32_t* aperture_y = nullptr;
    std::uint32_t* start_f = nullptr;
    std::uint32_t* end_f = nullptr;
    std::uint32_t* dur_f = nullptr;
    float* dur_s = nullptr;
    std::uint32_t* ipd_f = nullptr;
    float* ipd_s = nullptr;
    float* snr = nullptr;
    float* intensity = nullptr;
    float* bin0_intensity = nullptr;
    float* intensity_display = nullptr;
    float* binratio = nullptr;
    float* bg_mean = nullptr;
    float* bg_std = nullptr;
    float* bin0_bg_mean = nullptr;
    float* bin0_bg_std = nullptr;
};

/// One aperture's summary: its record kinds and the pulses the filter keeps.
struct ApertureSummary {
    std::uint64_t aperture_index = 0;
    std::uint32_t aperture_x = 0;
    std::uint32_t aperture_y = 0;
    std::uint64_t num_records = 0;
    std::uint64_t num_pulses = 0;  ///< kept pulses
    /// Records of each kind, by FormattedRecordType code (pulses unfiltered).
    std::uint64_t kinds[formatted_record_type_count] = {};
    double first_start_s = 0.0;  ///< NaN without kept pulses
    double last_end_s = 0.0;
    double mean_dur_s = 0.0;
    double mean_ipd_s = 0.0;  ///< over the kept pulses after the first
    double mean_intensity = 0.0;  ///< over the kept pulses whose value is finite
    double mean_snr = 0.0;
    double mean_bg_std = 0.0;
};

/// Where the summaries' columns go, one row per aperture; every column is
/// asked for.
struct SummaryTable {
    std::uint64_t* aperture_index = nullptr;
    std::uint32_t* aperture_x = nullptr;
    std::uint32_t* aperture_y = nullptr;
    std::uint64_t* num_records = nullptr;
    std::uint64_t* num_pulses = nullptr;
    /// Records of each kind but pulses, by FormattedRecordType code (index 0 unused).
    std::uint64_t* num_kind[formatted_record_type_count] = {};
    double* first_start_s = nullptr;
    double* last_end_s = nullptr;
    double* mean_dur_s = nullptr;
    double* mean_ipd_s = nullptr;
    double* mean_intensity = nullptr;
    double* mean_snr = nullptr;
    double* mean_bg_std = nullptr;
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
    std::size_t threads = 1;                        ///< at least 1
    std::size_t unit_records = std::size_t{1} << 13;  ///< records of a work unit (its rows stay in the cache)
    bool keep_headers = false;                        ///< return every block's header
    bool name_apertures = true;  ///< errors of the filter name the aperture
};

struct PlanRows {
    std::size_t rows = 0;
    std::vector<SkippedAperture> skipped;  ///< apertures skipped, in plan order
    std::vector<ApertureHeader> headers;  ///< each block's, in plan order, when asked for
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
