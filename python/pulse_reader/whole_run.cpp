// The whole-run methods of PulseReader: read_pulses, read_records, summarize
// and iter_pulses. Each reads a selection of apertures (every aperture by
// default) in one call, through the block plans of the core, on as many
// threads as asked, without the interpreter lock; the columns are lent to
// NumPy and the frame is built over them without a copy.
//
// With errors="skip" an aperture that cannot be read soundly (its block runs
// past the end of the file, or its pulses are out of order for the filter)
// gives no rows, and attrs["skipped_apertures"] and attrs["skipped_reasons"]
// list it. Ctrl-C stops every read within a few work units and raises
// KeyboardInterrupt (interruptible.hpp).
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pulse_reader/whole_run.hpp"

#include "arguments.hpp"
#include "errors.hpp"
#include "interruptible.hpp"
#include "records/to_pydict.hpp"

namespace kvt::python {

namespace {

// ---------------------------------------------------------------------------
// Arguments.

/// Integers from 0 to 2^64 - 1, from a range, an integer array or any iterable.
bool convert_apertures(PyObject* object, std::vector<std::uint64_t>& out) {
    // Integer arrays (NumPy's among them) are read through the buffer protocol.
    if (PyObject_CheckBuffer(object) != 0 && !PyBytes_Check(object) && !PyByteArray_Check(object)) {
        Py_buffer view{};
        if (PyObject_GetBuffer(object, &view, PyBUF_FORMAT | PyBUF_ND | PyBUF_C_CONTIGUOUS) == 0) {
            const std::string format = view.format == nullptr ? "B" : view.format;
            const auto count = static_cast<std::size_t>(view.itemsize > 0 ? view.len / view.itemsize : 0);
            const char kind = format.empty() ? 'B' : format.back();
            const bool is_signed = std::strchr("bhilq", kind) != nullptr;
            const bool is_unsigned = std::strchr("BHILQ", kind) != nullptr;
            if (view.ndim <= 1 && (is_signed || is_unsigned) && view.itemsize >= 1 && view.itemsize <= 8 &&
                (format.size() == 1 || (format.size() == 2 && std::strchr("<=@", format[0]) != nullptr))) {
                out.resize(count);
                const auto* bytes = static_cast<const unsigned char*>(view.buf);
                bool negative = false;
                for (std::size_t i = 0; i < count; ++i) {
                    std::uint64_t value = 0;
                    std::memcpy(&value, bytes + i * static_cast<std::size_t>(view.itemsize),
                                static_cast<std::size_t>(view.itemsize));
                    const unsigned bits = 8U * static_cast<unsigned>(view.itemsize);
                    if (is_signed && bits < 64 && (value >> (bits - 1)) != 0) negative = true;
                    if (is_signed && bits == 64 && (value >> 63) != 0) negative = true;
                    out[i] = value;
                }
                PyBuffer_Release(&view);
                if (negative) {
                    PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
                    return false;
                }
                return true;
            }
            PyBuffer_Release(&view);
        } else {
            PyErr_Clear();
        }
    }
    OwnedRef iterator(PyObject_GetIter(object));
    if (!iterator) {
        prefix_argument_error("apertures");
        return false;
    }
    const Py_ssize_t hint = PyObject_LengthHint(object, 0);
    if (hint < 0) return false;
    out.clear();
    out.reserve(static_cast<std::size_t>(hint));
    while (OwnedRef item{PyIter_Next(iterator.get())}) {
        std::uint64_t value = 0;
        if (!extract_u64(item.get(), value)) {
            prefix_argument_error("apertures");
            return false;
        }
        out.push_back(value);
    }
    return PyErr_Occurred() == nullptr;
}

/// The columns named by `object` (an iterable of str), or the default ones.
bool convert_columns(PyObject* object, std::span<const ColumnDefinition> definitions,
                     std::vector<const ColumnDefinition*>& out) {
    if (!given(object)) {
        out = default_columns(definitions);
        return true;
    }
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "argument 'columns': expected a list of column names, not a str");
        return false;
    }
    OwnedRef iterator(PyObject_GetIter(object));
    if (!iterator) {
        prefix_argument_error("columns");
        return false;
    }
    out.clear();
    while (OwnedRef item{PyIter_Next(iterator.get())}) {
        if (!PyUnicode_Check(item.get())) {
            raise_wrong_type(item.get(), "PyString");
            prefix_argument_error("columns");
            return false;
        }
        const char* name = PyUnicode_AsUTF8(item.get());
        if (name == nullptr) return false;
        const ColumnDefinition* definition = find_column(definitions, name);
        if (definition == nullptr) {
            raise_runtime_error(Error(ErrorCode::invalid_argument, unknown_column_message(definitions, name)));
            return false;
        }
        if (std::find(out.begin(), out.end(), definition) != out.end()) {
            raise_runtime_error(
                Error(ErrorCode::invalid_argument, "Column '" + std::string(name) + "' is named twice"));
            return false;
        }
        out.push_back(definition);
    }
    return PyErr_Occurred() == nullptr;
}

/// None: every CPU the process may use; else a number from 1 up.
bool convert_threads(PyObject* object, std::size_t& out) {
    if (!given(object)) {
        out = usable_cpus();
        return true;
    }
    std::uint64_t threads = 0;
    if (!convert_u64(object, "threads", threads)) return false;
    if (threads == 0) {
        raise_runtime_error(Error(ErrorCode::invalid_argument, "argument 'threads': at least one thread is needed"));
        return false;
    }
    out = static_cast<std::size_t>(std::min<std::uint64_t>(threads, 1024));
    return true;
}

/// "raise" or "skip": whether an aperture that cannot be read soundly fails the call.
bool convert_errors(PyObject* object, bool& skip) {
    skip = false;
    if (object == nullptr) return true;
    std::string text;
    if (!convert_string(object, "errors", text)) return false;
    if (text != "raise" && text != "skip") {
        raise_runtime_error(Error(ErrorCode::invalid_argument,
                                  "argument 'errors': must be \"raise\" or \"skip\", not \"" + text + "\""));
        return false;
    }
    skip = text == "skip";
    return true;
}

// ---------------------------------------------------------------------------
// What every whole-run call shares.

/// Converts `apertures`: the first argument of every whole-run call.
bool take_apertures(PyObject* argument, WholeRun& run) {
    run.all_apertures = !given(argument);
    return run.all_apertures || convert_apertures(argument, run.apertures);
}

/// Converts the run's columns (of `definitions`), threads and errors, in that
/// order, then checks that the reader is open.
bool take_run_options(PyPulseReader* object, PyObject* columns, std::span<const ColumnDefinition> definitions,
                      PyObject* threads, PyObject* errors, WholeRun& run) {
    if (!convert_columns(columns, definitions, run.columns)) return false;
    if (!convert_threads(threads, run.how.threads)) return false;
    if (!convert_errors(errors, run.how.skip_unreadable)) return false;
    if (object->reader) return true;
    raise_runtime_error(closed_reader_message);
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared with the Arrow streams (whole_run.hpp).

bool pulse_run_arguments(PyPulseReader* object, PyObject* apertures, PyObject* filter_object, PyObject* filter_kwargs,
                         PyObject* columns, PyObject* threads, PyObject* errors, WholeRun& run) {
    if (!take_apertures(apertures, run)) return false;
    FilterArguments filter_arguments;
    if (!convert_filter_arguments(filter_object, filter_kwargs, filter_arguments)) return false;
    if (!take_run_options(object, columns, pulse_column_definitions(), threads, errors, run)) return false;
    if (!choose_filter(object, filter_arguments, run.filter)) return false;
    run.how.filter = run.filter ? &*run.filter : nullptr;
    return true;
}

bool record_run_arguments(PyPulseReader* object, PyObject* apertures, PyObject* columns, PyObject* threads,
                          PyObject* errors, WholeRun& run) {
    run.failure_prefix = "Failed to get records: ";
    return take_apertures(apertures, run) &&
           take_run_options(object, columns, record_column_definitions(), threads, errors, run);
}

Result<BlockPlan> plan_run(const PulseReader& reader, WholeRun& run) {
    if (run.all_apertures) run.apertures = lookup_apertures(reader.index());
    return plan_blocks(reader, run.apertures, PlanHeaders::infer,
                       run.how.skip_unreadable ? DamagedBlocks::mark : DamagedBlocks::fail, run.how.cancel);
}

bool skipped_lists(const std::vector<SkippedAperture>& skipped, OwnedRef& numbers, OwnedRef& reasons) {
    numbers = OwnedRef(PyList_New(static_cast<Py_ssize_t>(skipped.size())));
    reasons = OwnedRef(PyList_New(static_cast<Py_ssize_t>(skipped.size())));
    if (!numbers || !reasons) return false;
    for (std::size_t i = 0; i < skipped.size(); ++i) {
        PyObject* number = PyLong_FromUnsignedLongLong(skipped[i].aperture);
        if (number == nullptr) return false;
        PyList_SET_ITEM(numbers.get(), static_cast<Py_ssize_t>(i), number);
        PyObject* reason = PyUnicode_FromString(skip_reason_text(skipped[i].reason));
        if (reason == nullptr) return false;
        PyList_SET_ITEM(reasons.get(), static_cast<Py_ssize_t>(i), reason);
    }
    return true;
}

Result<PlanRows> read_table(const PulseReader& reader, BlockPlan plan, Table table, ColumnSet& columns,
                            const PlanReading& how) {
    const auto allocated = [&columns](std::size_t rows) -> ColumnSet& {
        columns.allocate(rows);
        return columns;
    };
    auto rows = table == Table::pulses
                    ? read_plan_pulses(
                          reader, std::move(plan),
                          [&](std::size_t n) -> Result<PulseTable> { return allocated(n).pulse_table(); }, how)
                    : read_plan_records(
                          reader, std::move(plan),
                          [&](std::size_t n) -> Result<RecordTable> { return allocated(n).record_table(); }, how);
    if (rows) columns.finish(rows->rows);
    return rows;
}

namespace {

/// Runs `work(reader)`, which returns a Status, without the interpreter lock
/// and with the run's cancellation token set, so that Ctrl-C stops it. False
/// with an exception set: the signal handler's, or the work's error after the
/// run's failure prefix, placed in the reader's file.
template <class Work>
bool run_unlocked(PyPulseReader* object, WholeRun& run, Work&& work) {
    Status status;
    const bool finished = run_interruptible([&](const CancellationToken& token) {
        run.how.cancel = &token;
        status = work(static_cast<const PulseReader&>(*object->reader));
        run.how.cancel = nullptr;
    });
    if (!finished) return false;
    if (status) return true;
    raise_runtime_error(status.error().prefixed(run.failure_prefix), {object->reader->path(), &*object->reader});
    return false;
}

/// Converts batch_records (1,000,000 when None), then the run's other
/// arguments through `take_run(run)`, and plans the run of `object` into
/// `out`, without the interpreter lock.
template <class TakeRun>
bool start_batches(PyPulseReader* object, PyObject* batch_argument, Table table, RunBatches& out, TakeRun&& take_run) {
    WholeRun run;
    std::uint64_t batch_records = 1'000'000;
    if (given(batch_argument) && !convert_u64(batch_argument, "batch_records", batch_records)) return false;
    if (!take_run(run)) return false;
    BlockPlan plan;
    const bool planned = run_unlocked(object, run, [&](const PulseReader& reader) -> Status {
        auto made = plan_run(reader, run);
        if (!made) return std::move(made).error();
        plan = std::move(made).value();
        return {};
    });
    if (!planned) return false;
    out.run = std::move(run);
    out.table = table;
    out.plan = std::move(plan);
    out.next = 0;
    out.batch_records = batch_records;
    return true;
}

/// The blocks of the next batch: whole apertures, until the batch holds
/// batch_records records (a first block larger than that alone).
BlockPlan take_batch(RunBatches& batches) {
    BlockPlan batch;
    batch.headers_read = batches.plan.headers_read;
    std::uint64_t records = 0;
    while (!batches.done() && (batch.blocks.empty() || records < batches.batch_records)) {
        const PlannedBlock& block = batches.plan.blocks[batches.next++];
        records += block.num_records;
        batch.blocks.push_back(block);
    }
    return batch;
}

}  // namespace

bool start_pulse_batches(PyObject* self, const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, RunBatches& out) {
    return with_reader<7>(self, signature, args, nargs, kwnames, [&](PyPulseReader* object, const auto& a) {
        return start_batches(object, a[3], Table::pulses, out, [&](WholeRun& run) {
            return pulse_run_arguments(object, a[0], a[1], a[2], a[4], a[5], a[6], run);
        });
    });
}

bool start_record_batches(PyObject* self, const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, RunBatches& out) {
    return with_reader<5>(self, signature, args, nargs, kwnames, [&](PyPulseReader* object, const auto& a) {
        return start_batches(object, a[1], Table::records, out,
                             [&](WholeRun& run) { return record_run_arguments(object, a[0], a[2], a[3], a[4], run); });
    });
}

BatchRead read_next_batch(PyObject* reader_object, RunBatches& batches, ColumnSet& columns, PlanRows& rows) {
    if (batches.done()) return BatchRead::done;
    PyPulseReader* object = as_reader(reader_object);
    ExclusiveAccess access(object);
    if (!access) return BatchRead::failed;
    if (!object->reader) {
        raise_runtime_error(closed_reader_message);
        return BatchRead::failed;
    }
    BlockPlan batch = take_batch(batches);
    columns = ColumnSet(batches.run.columns);
    // The run may have moved since it was made: its filter is its own copy.
    batches.run.how.filter = batches.run.filter ? &*batches.run.filter : nullptr;
    const bool read = run_unlocked(object, batches.run, [&](const PulseReader& reader) -> Status {
        auto table = read_table(reader, std::move(batch), batches.table, columns, batches.run.how);
        if (!table) return std::move(table).error();
        rows = std::move(table).value();
        return {};
    });
    if (!read) {
        batches.next = batches.plan.blocks.size();
        return BatchRead::failed;
    }
    batches.skipped->insert(batches.skipped->end(), rows.skipped.begin(), rows.skipped.end());
    return BatchRead::read;
}

namespace {

/// attrs: the run attributes, and the skipped apertures and their reasons
/// when skipping.
bool set_run_attrs(PyPulseReader* object, PyObject* frame, const WholeRun& run,
                   const std::vector<SkippedAperture>& skipped) {
    OwnedRef attrs(PyDict_Copy(object->run_attrs));
    if (!attrs) return false;
    if (run.how.skip_unreadable) {
        OwnedRef numbers;
        OwnedRef reasons;
        if (!skipped_lists(skipped, numbers, reasons)) return false;
        if (PyDict_SetItemString(attrs.get(), "skipped_apertures", numbers.get()) != 0) return false;
        if (PyDict_SetItemString(attrs.get(), "skipped_reasons", reasons.get()) != 0) return false;
    }
    return PyObject_SetAttrString(frame, "attrs", attrs.get()) == 0;
}

/// pandas.DataFrame(columns, copy=False): the frame lends the columns' memory.
OwnedRef frame_over(PyPulseReader* object, ColumnSet&& columns, KindColumn kinds, const WholeRun& run,
                    const std::vector<SkippedAperture>& skipped) {
    PyObject* pandas = pandas_of(object);
    if (pandas == nullptr) return {};
    OwnedRef dict = to_pydict(std::move(columns), kinds, pandas);
    if (!dict) return {};
    OwnedRef constructor(PyObject_GetAttrString(pandas, "DataFrame"));
    if (!constructor) return {};
    OwnedRef args(PyTuple_Pack(1, dict.get()));
    OwnedRef kwargs(Py_BuildValue("{s:O}", "copy", Py_False));
    if (!args || !kwargs) return {};
    OwnedRef frame(PyObject_Call(constructor.get(), args.get(), kwargs.get()));
    if (!frame || !set_run_attrs(object, frame.get(), run, skipped)) return {};
    return frame;
}

/// Plans and reads a table of the run, without the interpreter lock.
PyObject* read_run_table(PyPulseReader* object, WholeRun& run, Table table) {
    ColumnSet columns(run.columns);
    PlanRows rows;
    const bool read = run_unlocked(object, run, [&](const PulseReader& reader) -> Status {
        auto plan = plan_run(reader, run);
        if (!plan) return std::move(plan).error();
        auto read_rows = read_table(reader, std::move(plan).value(), table, columns, run.how);
        if (!read_rows) return std::move(read_rows).error();
        rows = std::move(read_rows).value();
        return {};
    });
    if (!read) return nullptr;
    return frame_over(object, std::move(columns), table == Table::records ? KindColumn::categorical : KindColumn::words,
                      run, rows.skipped)
        .release();
}

// ---------------------------------------------------------------------------
// The methods.

constexpr std::array<const char*, 6> read_pulses_names = {"apertures", "pulse_filter", "pulse_filter_kwargs",
                                                          "columns",   "threads",      "errors"};
constexpr Signature read_pulses_signature = {"PulseReader.read_pulses", read_pulses_names, 0, 3};

PyObject* read_pulses(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto body = [&](PyPulseReader* object, const auto& a) -> PyObject* {
        WholeRun run;
        if (!pulse_run_arguments(object, a[0], a[1], a[2], a[3], a[4], a[5], run)) return nullptr;
        return read_run_table(object, run, Table::pulses);
    };
    return reader_method<6>(self, read_pulses_signature, args, nargs, kwnames, body);
}

constexpr std::array<const char*, 4> read_records_names = {"apertures", "columns", "threads", "errors"};
constexpr Signature read_records_signature = {"PulseReader.read_records", read_records_names, 0, 1};

PyObject* read_records(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto body = [&](PyPulseReader* object, const auto& a) -> PyObject* {
        WholeRun run;
        if (!record_run_arguments(object, a[0], a[1], a[2], a[3], run)) return nullptr;
        return read_run_table(object, run, Table::records);
    };
    return reader_method<4>(self, read_records_signature, args, nargs, kwnames, body);
}

constexpr std::array<const char*, 5> summarize_names = {"apertures", "pulse_filter", "pulse_filter_kwargs", "threads",
                                                        "errors"};
constexpr Signature summarize_signature = {"PulseReader.summarize", summarize_names, 0, 3};

PyObject* summarize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto body = [&](PyPulseReader* object, const auto& a) -> PyObject* {
        WholeRun run;
        run.failure_prefix = "Failed to summarize: ";
        if (!pulse_run_arguments(object, a[0], a[1], a[2], nullptr, a[3], a[4], run)) return nullptr;
        PyObject* seconds_object = PyDict_GetItemString(object->run_attrs, "run_dur_s");
        const double seconds = seconds_object == nullptr ? 0.0 : PyFloat_AsDouble(seconds_object);
        if (PyErr_Occurred()) return nullptr;

        ColumnSet columns = summary_columns();
        PlanRows rows;
        const bool read = run_unlocked(object, run, [&](const PulseReader& reader) -> Status {
            auto plan = plan_run(reader, run);
            if (!plan) return std::move(plan).error();
            const auto make_table = [&columns](std::size_t n) -> Result<SummaryTable> {
                columns.allocate(n);
                return summary_table(columns);
            };
            auto read_rows = summarize_plan(reader, std::move(plan).value(), make_table, run.how);
            if (!read_rows) return std::move(read_rows).error();
            columns.finish(read_rows->rows);
            fill_pulse_rates(columns, seconds);
            rows = std::move(read_rows).value();
            return {};
        });
        if (!read) return nullptr;
        return frame_over(object, std::move(columns), KindColumn::words, run, rows.skipped).release();
    };
    return reader_method<5>(self, summarize_signature, args, nargs, kwnames, body);
}

// ---------------------------------------------------------------------------
// iter_pulses: batches of whole apertures, read one at a time.

struct PulseBatches {
    PyObject_HEAD PyObject* reader;  ///< the PulseReader, held for the life of the iterator
    RunBatches batches;
};

void batches_dealloc(PyObject* self) {
    auto* iterator = reinterpret_cast<PulseBatches*>(self);
    Py_CLEAR(iterator->reader);
    std::destroy_at(&iterator->batches);
    free_instance(self);
}

PyObject* batches_next(PyObject* self) {
    return guarded([&]() -> PyObject* {
        auto* iterator = reinterpret_cast<PulseBatches*>(self);
        ColumnSet columns;
        PlanRows rows;
        switch (read_next_batch(iterator->reader, iterator->batches, columns, rows)) {
            case BatchRead::done: return nullptr;  // StopIteration
            case BatchRead::failed: return nullptr;
            case BatchRead::read: break;
        }
        return frame_over(as_reader(iterator->reader), std::move(columns), KindColumn::words, iterator->batches.run,
                          rows.skipped)
            .release();
    });
}

PyTypeObject* batches_type() {
    static PyTypeObject* type = nullptr;
    return heap_type(type, "builtins.PulseBatches", sizeof(PulseBatches), batches_dealloc,
                     "Batches of pulses of whole apertures, as DataFrames.",
                     {{Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
                      {Py_tp_iternext, reinterpret_cast<void*>(batches_next)}});
}

constexpr std::array<const char*, 7> iter_pulses_names = {
    "apertures", "pulse_filter", "pulse_filter_kwargs", "batch_records", "columns", "threads", "errors"};
constexpr Signature iter_pulses_signature = {"PulseReader.iter_pulses", iter_pulses_names, 0, 3};

PyObject* iter_pulses(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        RunBatches batches;
        if (!start_pulse_batches(self, iter_pulses_signature, args, nargs, kwnames, batches)) return nullptr;
        PyTypeObject* type = batches_type();
        if (type == nullptr) return nullptr;
        OwnedRef made(type->tp_alloc(type, 0));
        if (!made) return nullptr;
        auto* iterator = reinterpret_cast<PulseBatches*>(made.get());
        iterator->reader = Py_NewRef(self);
        std::construct_at(&iterator->batches, std::move(batches));
        return made.release();
    });
}

}  // namespace

PyObject* read_pulses_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return read_pulses(self, args, nargs, kwnames);
}
PyObject* read_records_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return read_records(self, args, nargs, kwnames);
}
PyObject* summarize_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return summarize(self, args, nargs, kwnames);
}
PyObject* iter_pulses_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return iter_pulses(self, args, nargs, kwnames);
}

}  // namespace kvt::python
