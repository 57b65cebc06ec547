// What the whole-run methods share: their arguments, converted, and the
// reading of a run in batches of whole apertures (iter_pulses and the Arrow
// streams read the same batches).
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "arguments.hpp"
#include "pulse_reader/plan_reader.hpp"
#include "pulse_reader/reader_object.hpp"
#include "records/columns.hpp"

namespace kvt::python {

/// The arguments of a call, converted, and the reader's state checked.
struct WholeRun {
    bool all_apertures = true;
    std::vector<std::uint64_t> apertures;
    std::optional<PulseFilter> filter;
    std::vector<const ColumnDefinition*> columns;
    PlanReading how;

    /// What the call's errors start with.
    const char* failure_prefix = "Failed to get pulses: ";
};

enum class Table { pulses, records };

/// The prologue of the pulse methods (read_pulses, summarize, iter_pulses,
/// stream_pulses): arguments in order, then the closed reader, then the
/// filter's choice. `columns` null: the method takes none. False with an
/// exception set.
bool pulse_run_arguments(PyPulseReader* object, PyObject* apertures, PyObject* filter_object, PyObject* filter_kwargs,
                         PyObject* columns, PyObject* threads, PyObject* errors, WholeRun& run);

/// The prologue of the record methods (read_records, stream_records).
bool record_run_arguments(PyPulseReader* object, PyObject* apertures, PyObject* columns, PyObject* threads,
                          PyObject* errors, WholeRun& run);

/// Plans the run's blocks; call without the interpreter lock. With
/// errors="skip", blocks past the end of the file are marked, not refused.
Result<BlockPlan> plan_run(const PulseReader& reader, WholeRun& run);

/// The skipped apertures as two lists, numbers and reasons, in order. False
/// with an exception set.
bool skipped_lists(const std::vector<SkippedAperture>& skipped, OwnedRef& numbers, OwnedRef& reasons);

/// Reads `plan` into `columns` as `how` says; the columns hold the rows
/// afterwards. Call without the interpreter lock.
Result<PlanRows> read_table(const PulseReader& reader, BlockPlan plan, Table table, ColumnSet& columns,
                            const PlanReading& how);

/// A run read in batches: each holds whole apertures and closes once it holds
/// at least `batch_records` records, so a single large aperture makes a batch
/// of its own. Only the plan is kept between batches, never the reader.
struct RunBatches {
    WholeRun run;
    Table table = Table::pulses;
    BlockPlan plan;
    std::size_t next = 0;  ///< the plan's next block
    std::uint64_t batch_records = 1'000'000;
    /// Every batch's skipped apertures so far; shared with the stream object,
    /// which shows them once the stream has moved to its consumer. Touched
    /// under the interpreter lock only.
    std::shared_ptr<std::vector<SkippedAperture>> skipped = std::make_shared<std::vector<SkippedAperture>>();

    [[nodiscard]] bool done() const noexcept { return next >= plan.blocks.size(); }
};

/// The arguments of iter_pulses and stream_pulses (apertures, pulse_filter,
/// pulse_filter_kwargs, *, batch_records, columns, threads, errors), bound,
/// converted and planned. False with an exception set.
bool start_pulse_batches(PyObject* self, const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, RunBatches& out);

/// The arguments of stream_records (apertures, *, batch_records, columns,
/// threads, errors), likewise.
bool start_record_batches(PyObject* self, const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, RunBatches& out);

enum class BatchRead { done, read, failed };

/// Reads the next batch into `columns` (made here, of the run's columns):
/// takes `reader_object` (a PulseReader) exclusively for the read, refuses it
/// closed, and reads without the interpreter lock. A failure ends the batches
/// and leaves a RuntimeError set (a signal's exception, e.g. KeyboardInterrupt,
/// when one stopped the read). Call with the interpreter lock.
BatchRead read_next_batch(PyObject* reader_object, RunBatches& batches, ColumnSet& columns, PlanRows& rows);

}  // namespace kvt::python
