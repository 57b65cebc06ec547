#include "pulse_reader/py_pulse_reader.hpp"

#include "pulse_reader/docstrings.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <memory>

#include "arguments.hpp"
#include "errors.hpp"
#include "pulse_filter/py_pulse_filter.hpp"
#include "pulse_reader/reader_object.hpp"
#include "records/to_pydict.hpp"
#include "pulse_reader/plan_reader.hpp"
#include "pulse_reader/whole_run.hpp"

namespace kvt::python {

namespace {

// ---------------------------------------------------------------------------
// Run attributes, computed once per reader.

/// fps x duration in single precision, rounded up, saturated to u64.
std::uint64_t run_duration_frames(float fps, float duration) {
    const float frames = std::ceil(fps * duration);
    if (!(frames > 0.0F)) return 0;  // negative, zero or NaN
    if (frames >= 18446744073709551616.0F) return UINT64_MAX;
    return static_cast<std::uint64_t>(frames);
}

bool set_item(PyObject* dict, const char* key, OwnedRef value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

OwnedRef make_run_attrs(PyObject* file_name, const PulseReader& reader) {
    OwnedRef attrs(PyDict_New());
    if (!attrs) return {};
    if (!set_item(attrs.get(), "source", OwnedRef(PyUnicode_FromString("pulses.bin")))) return {};

    // The file name up to its first "." anywhere, directories included.
    const Py_ssize_t length = PyUnicode_GetLength(file_name);
    if (length < 0) return {};
    const Py_ssize_t dot = PyUnicode_FindChar(file_name, '.', 0, length, 1);
    if (dot == -2) return {};
    if (!set_item(attrs.get(), "analysis_id", OwnedRef(PyUnicode_Substring(file_name, 0, dot < 0 ? length : dot)))) {
        return {};
    }
    const float fps = reader.fps();
    if (!set_item(attrs.get(), "frame_dur_s", OwnedRef(PyFloat_FromDouble(static_cast<double>(1.0F / fps))))) {
        return {};
    }
    const auto duration_value = metadata_number(reader.metadata(), "duration");
    if (!duration_value) {
        raise_runtime_error(Error(ErrorCode::invalid_metadata, "Missing or invalid 'duration' field in metadata"),
                            {.file = reader.path(), .reader = &reader});
        return {};
    }
    const auto duration = static_cast<float>(*duration_value);
    if (!set_item(attrs.get(), "run_dur_f",
                  OwnedRef(PyLong_FromUnsignedLongLong(run_duration_frames(fps, duration))))) {
        return {};
    }
    if (!set_item(attrs.get(), "run_dur_s", OwnedRef(PyFloat_FromDouble(static_cast<double>(duration))))) return {};
    return attrs;
}

// ---------------------------------------------------------------------------
// Construction.

constexpr std::array<const char*, 3> new_names = {"file_name", "pulse_filter", "pulse_filter_kwargs"};
constexpr Signature new_signature = {"PulseReader.__new__", new_names, 1};

PyObject* pulse_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 3> argument{};
        if (!bind_arguments(new_signature, args, kwargs, argument)) return nullptr;
        std::string path;
        OwnedRef file_name = convert_path(argument[0], "file_name", path);
        if (!file_name) return nullptr;
        PyObject* filter_object = given(argument[1]) ? argument[1] : nullptr;
        if (filter_object != nullptr && !is_pulse_filter(filter_object)) {
            if (!PyErr_Occurred()) raise_wrong_type(filter_object, "PulseFilter");
            prefix_argument_error("pulse_filter");
            return nullptr;
        }
        PyObject* filter_kwargs = given(argument[2]) ? argument[2] : nullptr;
        if (filter_kwargs != nullptr && !check_dict(filter_kwargs, "pulse_filter_kwargs")) return nullptr;

        auto opened = PulseReader::open(path);
        if (!opened) return raise_runtime_error(opened.error(), {.file = path});
        if (filter_object != nullptr && filter_kwargs != nullptr) {
            return raise_runtime_error(
                Error(ErrorCode::invalid_argument,
                      "Cannot provide both a PulseFilter object and keyword arguments for the filter!"));
        }
        std::optional<PulseFilter> default_filter;
        if (filter_kwargs != nullptr) {
            default_filter = pulse_filter_from_kwargs(filter_kwargs);
            if (!default_filter) return nullptr;
        } else if (filter_object != nullptr) {
            default_filter = reinterpret_cast<PyPulseFilter*>(filter_object)->filter;
        }
        OwnedRef run_attrs = make_run_attrs(file_name.get(), *opened);
        if (!run_attrs) return nullptr;
        OwnedRef json(PyImport_ImportModule("json"));
        if (!json) return nullptr;
        const std::string& text = opened->metadata_text();
        OwnedRef metadata(
            PyObject_CallMethod(json.get(), "loads", "s#", text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!metadata) return nullptr;

        OwnedRef self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        PyPulseReader* object = as_reader(self.get());
        std::construct_at(&object->reader, std::move(opened).value());
        std::construct_at(&object->default_filter, default_filter);
        object->pandas_module = nullptr;
        object->run_attrs = run_attrs.release();
        object->metadata = metadata.release();
        object->file_name = file_name.release();
        object->aperture_count = 0;
        object->aperture_count_known = false;
        object->access = 0;
        return self.release();
    });
}

/// The Python objects that a reader holds references to.
constexpr std::array<PyObject * PyPulseReader::*, 4> held_objects = {
    &PyPulseReader::pandas_module, &PyPulseReader::run_attrs, &PyPulseReader::metadata, &PyPulseReader::file_name};

int pulse_reader_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (PyObject* PyPulseReader::* held : held_objects) Py_VISIT(as_reader(self)->*held);
    return 0;
}

int pulse_reader_clear(PyObject* self) {
    for (PyObject* PyPulseReader::* held : held_objects) Py_CLEAR(as_reader(self)->*held);
    return 0;
}

void pulse_reader_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    pulse_reader_clear(self);
    PyPulseReader* object = as_reader(self);
    std::destroy_at(&object->reader);
    std::destroy_at(&object->default_filter);
    free_instance(self);
}

// ---------------------------------------------------------------------------
// DataFrames.

/// pandas.DataFrame(columns) with the aperture's and the run's attrs.
OwnedRef to_dataframe(PyPulseReader* object, const ApertureHeader& header, OwnedRef columns) {
    PyObject* pandas = pandas_of(object);
    if (pandas == nullptr) return {};
    OwnedRef constructor(PyObject_GetAttrString(pandas, "DataFrame"));
    if (!constructor) return {};
    OwnedRef frame(PyObject_CallOneArg(constructor.get(), columns.get()));
    if (!frame) return {};
    columns.reset();
    OwnedRef attrs(PyDict_New());
    if (!attrs) return {};
    if (!set_item(attrs.get(), "aperture_index", OwnedRef(PyLong_FromUnsignedLong(header.aperture_index))) ||
        !set_item(attrs.get(), "aperture_x", OwnedRef(PyLong_FromUnsignedLong(header.aperture_x))) ||
        !set_item(attrs.get(), "aperture_y", OwnedRef(PyLong_FromUnsignedLong(header.aperture_y))) ||
        !set_item(attrs.get(), "aperture_byteloc", OwnedRef(PyLong_FromUnsignedLongLong(header.aperture_byteloc))) ||
        PyDict_Update(attrs.get(), object->run_attrs) != 0 ||
        PyObject_SetAttrString(frame.get(), "attrs", attrs.get()) != 0) {
        return {};
    }
    return frame;
}

// ---------------------------------------------------------------------------
// Methods.

}  // namespace

bool convert_filter_arguments(PyObject* filter_object, PyObject* filter_kwargs, FilterArguments& out) {
    out.object = given(filter_object) ? filter_object : nullptr;
    if (out.object != nullptr && !is_pulse_filter(out.object)) {
        if (!PyErr_Occurred()) raise_wrong_type(out.object, "PulseFilter");
        prefix_argument_error("pulse_filter");
        return false;
    }
    out.kwargs = given(filter_kwargs) ? filter_kwargs : nullptr;
    return out.kwargs == nullptr || check_dict(out.kwargs, "pulse_filter_kwargs");
}

bool choose_filter(const PyPulseReader* object, const FilterArguments& arguments, std::optional<PulseFilter>& out) {
    if (arguments.object != nullptr && arguments.kwargs != nullptr) {
        raise_runtime_error(Error(ErrorCode::invalid_argument,
                                  "Cannot provide both a PulseFilter object and keyword arguments for the filter!"));
        return false;
    }
    // The first that applies: the call's keywords, the call's PulseFilter,
    // the reader's default, none. Settings are never merged.
    if (arguments.kwargs != nullptr) {
        out = pulse_filter_from_kwargs(arguments.kwargs);
        return out.has_value();
    }
    if (arguments.object != nullptr) {
        out = reinterpret_cast<PyPulseFilter*>(arguments.object)->filter;
    } else {
        out = object->default_filter;
    }
    return true;
}

namespace {

/// Reads one aperture's records (no filter) or pulses into `columns`, as a plan
/// of one block: a very large block is shared out between the process's CPUs.
Result<PlanRows> read_one_aperture(const PulseReader& reader, std::uint64_t aperture_index, ColumnSet& columns,
                                   bool pulses, const PulseFilter* filter) {
    GilRelease unlocked;
    auto plan = plan_blocks(reader, std::span(&aperture_index, 1), PlanHeaders::infer);
    if (!plan) return std::move(plan).error();
    PlanReading how;
    how.filter = filter;
    how.threads = usable_cpus();
    how.keep_headers = true;
    how.name_apertures = false;
    return read_table(reader, std::move(plan).value(), pulses ? Table::pulses : Table::records, columns, how);
}

constexpr std::array<const char*, 1> get_all_records_names = {"aperture_index"};
constexpr Signature get_all_records_signature = {"PulseReader.get_all_records", get_all_records_names, 1};

PyObject* get_all_records(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto body = [&](PyPulseReader* object, const auto& argument) -> PyObject* {
        std::uint64_t aperture_index = 0;
        if (!convert_u64(argument[0], "aperture_index", aperture_index)) return nullptr;
        if (!object->reader) return raise_runtime_error(closed_reader_message);

        // The record columns of one aperture, without the whole-run columns.
        std::vector<const ColumnDefinition*> definitions = default_columns(record_column_definitions());
        definitions.erase(definitions.begin(), definitions.begin() + 2);
        ColumnSet columns(std::move(definitions));
        auto rows = read_one_aperture(*object->reader, aperture_index, columns, false, nullptr);
        if (!rows) {
            return raise_runtime_error(rows.error().prefixed("Failed to get records: "),
                                       {object->reader->path(), &*object->reader, aperture_index});
        }
        OwnedRef dict = to_pydict(std::move(columns), KindColumn::words, object->pandas_module);
        if (!dict) return nullptr;
        return to_dataframe(object, rows->headers.front(), std::move(dict)).release();
    };
    return reader_method<1>(self, get_all_records_signature, args, nargs, kwnames, body);
}

constexpr std::array<const char*, 4> get_pulses_names = {"aperture_index", "include_aperture_index", "pulse_filter",
                                                         "pulse_filter_kwargs"};
constexpr Signature get_pulses_signature = {"PulseReader.get_pulses", get_pulses_names, 1};

PyObject* get_pulses(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto body = [&](PyPulseReader* object, const auto& argument) -> PyObject* {
        std::uint64_t aperture_index = 0;
        if (!convert_u64(argument[0], "aperture_index", aperture_index)) return nullptr;
        bool include_aperture_index = true;
        if (argument[1] != nullptr && !convert_bool(argument[1], "include_aperture_index", include_aperture_index)) {
            return nullptr;
        }
        FilterArguments filter_arguments;
        if (!convert_filter_arguments(argument[2], argument[3], filter_arguments)) return nullptr;
        if (!object->reader) return raise_runtime_error(closed_reader_message);
        std::optional<PulseFilter> filter;
        if (!choose_filter(object, filter_arguments, filter)) return nullptr;

        // "index" first (it becomes the frame's index), then the aperture's
        // number when asked for, then the pulse columns.
        std::vector<const ColumnDefinition*> definitions = default_columns(pulse_column_definitions());
        std::swap(definitions[0], definitions[1]);
        if (!include_aperture_index) definitions.erase(definitions.begin() + 1);
        ColumnSet columns(std::move(definitions));
        auto rows = read_one_aperture(*object->reader, aperture_index, columns, true, filter ? &*filter : nullptr);
        if (!rows) {
            return raise_runtime_error(rows.error().prefixed("Failed to get pulses: "),
                                       {object->reader->path(), &*object->reader, aperture_index});
        }
        OwnedRef dict = to_pydict(std::move(columns), KindColumn::words, object->pandas_module);
        if (!dict) return nullptr;
        OwnedRef frame = to_dataframe(object, rows->headers.front(), std::move(dict));
        if (!frame) return nullptr;
        OwnedRef index(PyObject_CallMethod(frame.get(), "pop", "s", "index"));
        if (!index) return nullptr;
        return PyObject_CallMethod(frame.get(), "set_index", "O", index.get());
    };
    return reader_method<4>(self, get_pulses_signature, args, nargs, kwnames, body);
}

PyObject* close_reader(PyPulseReader* object) {
    ExclusiveAccess access(object);
    if (!access) return nullptr;
    if (object->reader && !object->aperture_count_known) {
        object->aperture_count = object->reader->index().apertures().size();
        object->aperture_count_known = true;
    }
    object->reader.reset();
    kvt::give_back_free_memory();
    Py_RETURN_NONE;
}

PyObject* close(PyObject* self, PyObject* /*unused*/) {
    return guarded([&]() -> PyObject* { return close_reader(as_reader(self)); });
}

/// "<PulseReader 'run.bin': 2000 apertures, open>" (or "closed").
PyObject* pulse_reader_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        PyPulseReader* object = as_reader(self);
        if (object->reader && !object->aperture_count_known) {
            object->aperture_count = object->reader->index().apertures().size();
            object->aperture_count_known = true;
        }
        return PyUnicode_FromFormat("<PulseReader %R: %zu apertures, %s>", object->file_name, object->aperture_count,
                                    object->reader ? "open" : "closed");
    });
}

PyObject* enter(PyObject* self, PyObject* /*unused*/) {
    SharedAccess access(as_reader(self));
    if (!access) return nullptr;
    return Py_NewRef(self);
}

constexpr std::array<const char*, 3> exit_names = {"_exc_type", "_exc_value", "_traceback"};
constexpr Signature exit_signature = {"PulseReader.__exit__", exit_names, 3};

PyObject* exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 3> argument{};
        if (!bind_arguments(exit_signature, args, nargs, kwnames, argument)) return nullptr;
        return close_reader(as_reader(self));
    });
}

// ---------------------------------------------------------------------------
// Properties.

PyObject* get_apertures(PyObject* self, void* /*closure*/) {
    return guarded([&]() -> PyObject* {
        PyPulseReader* object = as_reader(self);
        SharedAccess access(object);
        if (!access) return nullptr;
        if (!object->reader) return raise_runtime_error(closed_reader_message);
        const std::vector<std::uint64_t> apertures = object->reader->index().apertures();
        OwnedRef list(PyList_New(static_cast<Py_ssize_t>(apertures.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < apertures.size(); ++i) {
            PyObject* number = PyLong_FromUnsignedLongLong(apertures[i]);
            if (number == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), number);
        }
        return list.release();
    });
}

PyObject* get_metadata(PyObject* self, void* /*closure*/) {
    PyPulseReader* object = as_reader(self);
    SharedAccess access(object);
    if (!access) return nullptr;
    return Py_NewRef(object->metadata);
}

PyObject* get_trimmed(PyObject* self, void* /*closure*/) {
    PyPulseReader* object = as_reader(self);
    SharedAccess access(object);
    if (!access) return nullptr;
    if (!object->reader) return raise_runtime_error(closed_reader_message);
    return PyBool_FromLong(object->reader->trimmed() ? 1 : 0);
}

// ---------------------------------------------------------------------------
// The class.

template <class Function>
PyCFunction as_c_function(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"get_all_records", as_c_function(get_all_records), METH_FASTCALL | METH_KEYWORDS, docs::get_all_records},
    {"get_pulses", as_c_function(get_pulses), METH_FASTCALL | METH_KEYWORDS, docs::get_pulses},
    {"copy_apertures_to_new_file", as_c_function(copy_apertures_to_new_file_method), METH_FASTCALL | METH_KEYWORDS,
     docs::copy_apertures},
    {"read_pulses", as_c_function(read_pulses_method), METH_FASTCALL | METH_KEYWORDS, docs::read_pulses},
    {"read_records", as_c_function(read_records_method), METH_FASTCALL | METH_KEYWORDS, docs::read_records},
    {"summarize", as_c_function(summarize_method), METH_FASTCALL | METH_KEYWORDS, docs::summarize},
    {"iter_pulses", as_c_function(iter_pulses_method), METH_FASTCALL | METH_KEYWORDS, docs::iter_pulses},
    {"stream_pulses", as_c_function(stream_pulses_method), METH_FASTCALL | METH_KEYWORDS, docs::stream_pulses},
    {"stream_records", as_c_function(stream_records_method), METH_FASTCALL | METH_KEYWORDS, docs::stream_records},
    {"block_table", as_c_function(block_table_method), METH_FASTCALL | METH_KEYWORDS, docs::block_table},
    {"_repr_html_", repr_html_method, METH_NOARGS,
     "_repr_html_($self)\n--\n\nA small HTML card of the file, its run and its counts, for Jupyter."},
    {"close", close, METH_NOARGS, docs::close},
    {"__enter__", enter, METH_NOARGS, docs::enter},
    {"__exit__", as_c_function(exit), METH_FASTCALL | METH_KEYWORDS, docs::exit},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"apertures", get_apertures, nullptr, docs::apertures, nullptr},
    {"metadata", get_metadata, nullptr, docs::metadata, nullptr},
    {"trimmed", get_trimmed, nullptr, docs::trimmed, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* pulse_reader_type() {
    static PyTypeObject* type = nullptr;
    return heap_type(type, "builtins.PulseReader", sizeof(PyPulseReader), pulse_reader_dealloc, docs::pulse_reader(),
                     {{Py_tp_new, reinterpret_cast<void*>(pulse_reader_new)},
                      {Py_tp_traverse, reinterpret_cast<void*>(pulse_reader_traverse)},
                      {Py_tp_clear, reinterpret_cast<void*>(pulse_reader_clear)},
                      {Py_tp_methods, methods},
                      {Py_tp_getset, properties},
                      {Py_tp_repr, reinterpret_cast<void*>(pulse_reader_repr)}},
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC);
}

}  // namespace kvt::python
