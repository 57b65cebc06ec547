// Arrow streams of a whole run: PulseReader.stream_pulses and stream_records.
//
// A stream object implements the Arrow PyCapsule interface: __arrow_c_stream__
// hands out, once, an ArrowArrayStream of the Arrow C data interface, and
// __arrow_c_schema__ its schema. The stream's batches are the batches of
// iter_pulses (or of read_records, cut the same way): whole apertures, closed
// once they hold at least batch_records records, read when the consumer asks
// for the next one and not before, so memory stays bounded by about a batch.
//
// A batch is a struct array whose children lend the very column buffers that
// the plan reader filled: nothing is copied. Every child owns a share of the
// batch's columns, so a consumer may keep or move one column and release the
// rest; the memory goes when the last share is released, from whatever
// thread the consumer releases it on. No column has nulls, so no validity
// bitmap is given: "long_pulse_duration_f" and "event_f" mark an absent value
// with NaN as the DataFrames do. "record_type" is dictionary-encoded: int8
// indices, which are the record kind codes themselves, over the eight kind
// words in code order.
//
// The consumer may ask for the next batch from any thread: the read takes the
// interpreter lock to reach the reader, holds the reader exclusively for the
// read only (as iter_pulses does), and releases the lock while the core reads.
// A failure is reported through get_last_error with the module's message.
#include <array>
#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "errors.hpp"
#include "pulse_reader/reader_object.hpp"
#include "pulse_reader/whole_run.hpp"

// ---------------------------------------------------------------------------
// The Arrow C data interface: a stable ABI, copied into every producer and
// consumer; the guard lets another copy in the same unit win.

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE

}  // extern "C"

namespace kvt::python {

namespace {

static_assert(sizeof(FormattedRecordType) == 1, "record kinds are lent as int8 dictionary indices");

// ---------------------------------------------------------------------------
// Schemas.

const char* arrow_format(ColumnType type) noexcept {
    switch (type) {
        case ColumnType::u16: return "S";
        case ColumnType::u32: return "I";
        case ColumnType::u64: return "L";
        case ColumnType::f32: return "f";
        case ColumnType::f64: return "g";
        case ColumnType::kind: return "c";  // int8 indices into the kind words
    }
    return "n";
}

/// What a node of either kind (ArrowSchema, ArrowArray) owns of its own
/// kind: its children and its dictionary. Those that the consumer did not move
/// out are released with their parent.
template <class Node>
struct NodeParts {
    std::vector<Node> children;
    std::vector<Node*> pointers;
    std::unique_ptr<Node> dictionary;

    NodeParts() = default;
    NodeParts(const NodeParts&) = delete;
    NodeParts& operator=(const NodeParts&) = delete;
    ~NodeParts() {
        for (Node& child : children) {
            if (child.release != nullptr) child.release(&child);
        }
        if (dictionary && dictionary->release != nullptr) dictionary->release(dictionary.get());
    }
};

/// The release callback of a node whose private data is its `Parts`.
template <class Parts, class Node>
void release_node(Node* node) noexcept {
    std::unique_ptr<Parts> parts(static_cast<Parts*>(node->private_data));
    node->private_data = nullptr;
    node->release = nullptr;
}

/// What a schema node owns: its children, its dictionary's schema and its
/// metadata.
struct SchemaParts : NodeParts<ArrowSchema> {
    std::string metadata;
};

constexpr auto release_schema = release_node<SchemaParts, ArrowSchema>;

/// A node with no parts yet: nullable, names and formats of static storage.
ArrowSchema schema_node(const char* format, const char* name) noexcept {
    ArrowSchema node{};
    node.format = format;
    node.name = name;
    node.flags = ARROW_FLAG_NULLABLE;
    node.release = release_schema;
    return node;
}

/// Arrow's encoding of key-value metadata: the number of pairs, then each key
/// and value as its length and its bytes (32-bit lengths, native order).
std::string arrow_metadata(std::initializer_list<std::pair<std::string_view, std::string_view>> pairs) {
    std::string out;
    const auto put_length = [&out](std::size_t length) {
        const auto value = static_cast<std::int32_t>(length);
        out.append(reinterpret_cast<const char*>(&value), sizeof value);
    };
    put_length(pairs.size());
    for (const auto& [key, value] : pairs) {
        put_length(key.size());
        out += key;
        put_length(value.size());
        out += value;
    }
    return out;
}

/// The schema of a column, with its meaning and unit as the field's metadata
/// ("description", "unit"); "record_type" with its dictionary of words.
void column_schema(const ColumnDefinition& definition, ArrowSchema& out) {
    out = schema_node(arrow_format(definition.type), definition.name);
    auto parts = std::make_unique<SchemaParts>();
    parts->metadata = arrow_metadata({{"description", definition.meaning}, {"unit", definition.unit}});
    out.metadata = parts->metadata.data();
    if (definition.type == ColumnType::kind) {
        parts->dictionary = std::make_unique<ArrowSchema>(schema_node("u", nullptr));
        out.dictionary = parts->dictionary.get();
    }
    out.private_data = parts.release();
}

/// The schema of a batch: a struct of the columns, in the run's order.
void batch_schema(const std::vector<const ColumnDefinition*>& columns, ArrowSchema& out) {
    auto parts = std::make_unique<SchemaParts>();
    parts->children.resize(columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) {
        parts->children[i] = ArrowSchema{};  // released (null release) until made
        column_schema(*columns[i], parts->children[i]);
        parts->pointers.push_back(&parts->children[i]);
    }
    out = schema_node("+s", "");
    out.flags = 0;
    out.n_children = static_cast<std::int64_t>(columns.size());
    out.children = parts->pointers.data();
    out.private_data = parts.release();
}

// ---------------------------------------------------------------------------
// Arrays.

/// The eight kind words in code order, as a utf8 array's offsets and bytes.
struct KindWords {
    std::vector<std::int32_t> offsets;
    std::string bytes;
};

const KindWords& kind_words() {
    static const KindWords words = [] {
        KindWords made;
        made.offsets.push_back(0);
        for (std::size_t code = 0; code < formatted_record_type_count; ++code) {
            made.bytes += record_type_name(static_cast<FormattedRecordType>(code));
            made.offsets.push_back(static_cast<std::int32_t>(made.bytes.size()));
        }
        return made;
    }();
    return words;
}

/// What an array node owns: a share of its batch's columns (the memory its
/// buffers point into), its buffer list, its children and its dictionary.
struct ArrayParts : NodeParts<ArrowArray> {
    std::shared_ptr<const ColumnSet> columns;
    std::vector<const void*> buffers;
};

constexpr auto release_array = release_node<ArrayParts, ArrowArray>;

/// A node of `length` rows without nulls over `parts`' buffers.
void array_node(std::int64_t length, std::unique_ptr<ArrayParts> parts, ArrowArray& out) noexcept {
    out = ArrowArray{};
    out.length = length;
    out.n_buffers = static_cast<std::int64_t>(parts->buffers.size());
    out.buffers = parts->buffers.data();
    out.n_children = static_cast<std::int64_t>(parts->children.size());
    out.children = parts->pointers.empty() ? nullptr : parts->pointers.data();
    out.dictionary = parts->dictionary.get();
    out.release = release_array;
    out.private_data = parts.release();
}

/// The dictionary of "record_type": the kind words, of static storage.
std::unique_ptr<ArrowArray> kind_dictionary() {
    const KindWords& words = kind_words();
    auto parts = std::make_unique<ArrayParts>();
    parts->buffers = {nullptr, words.offsets.data(), words.bytes.data()};
    auto dictionary = std::make_unique<ArrowArray>();
    array_node(static_cast<std::int64_t>(formatted_record_type_count), std::move(parts), *dictionary);
    return dictionary;
}

/// A batch of `rows` rows over the columns, which it takes.
void batch_array(ColumnSet&& taken, std::size_t rows, ArrowArray& out) {
    const auto columns = std::make_shared<ColumnSet>(std::move(taken));
    const auto length = static_cast<std::int64_t>(rows);
    const std::vector<Column>& list = columns->columns();
    auto parts = std::make_unique<ArrayParts>();
    parts->buffers = {nullptr};
    parts->children.resize(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        auto child = std::make_unique<ArrayParts>();
        child->columns = columns;
        child->buffers = {nullptr, list[i].buffer.data()};
        if (list[i].definition->type == ColumnType::kind) child->dictionary = kind_dictionary();
        array_node(length, std::move(child), parts->children[i]);
        parts->pointers.push_back(&parts->children[i]);
    }
    array_node(length, std::move(parts), out);
}

// ---------------------------------------------------------------------------
// The interpreter, from a thread the consumer chose.

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

/// Holds the interpreter lock, from any thread, and keeps an exception that
/// the thread had pending before (none is left pending by the holder).
class GilHold {
public:
    GilHold() noexcept : state_(PyGILState_Ensure()) { PyErr_Fetch(&type_, &value_, &traceback_); }
    GilHold(const GilHold&) = delete;
    GilHold& operator=(const GilHold&) = delete;
    ~GilHold() {
        PyErr_Restore(type_, value_, traceback_);
        PyGILState_Release(state_);
    }

private:
    PyGILState_STATE state_;
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

/// The pending exception's message, cleared; its errno for the consumer. A
/// KeyboardInterrupt (Ctrl-C stopped the read) cannot travel through the
/// stream, which carries an error number and a message only: the interrupt is
/// raised again, so that Python raises KeyboardInterrupt as soon as the
/// consumer hands control back.
int take_exception(std::string& message) {
    const PendingError pending;
    if (pending.type && PyErr_GivenExceptionMatches(pending.type.get(), PyExc_KeyboardInterrupt)) {
        message = "KeyboardInterrupt";
        PyErr_Clear();
        PyErr_SetInterrupt();
        return EINTR;
    }
    const int code = pending.type && PyErr_GivenExceptionMatches(pending.type.get(), PyExc_MemoryError) ? ENOMEM : EIO;
    message = "unknown error";
    if (pending.value) {
        OwnedRef text(PyObject_Str(pending.value.get()));
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (utf8 != nullptr) message = utf8;
    }
    PyErr_Clear();
    return code;
}

// ---------------------------------------------------------------------------
// The ArrowArrayStream.

/// What an exported stream owns.
struct StreamState {
    PyObject* reader = nullptr;  ///< a strong reference, dropped under the interpreter lock
    RunBatches batches;
    std::string last_error;

    StreamState() = default;
    StreamState(const StreamState&) = delete;
    StreamState& operator=(const StreamState&) = delete;
    ~StreamState() {
        // A stream released while the interpreter shuts down keeps its reader.
        if (reader == nullptr || interpreter_finalizing()) return;
        const PyGILState_STATE state = PyGILState_Ensure();
        Py_DECREF(reader);
        PyGILState_Release(state);
    }
};

StreamState& state_of(ArrowArrayStream* stream) noexcept { return *static_cast<StreamState*>(stream->private_data); }

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
    try {
        batch_schema(state_of(stream).batches.run.columns, *out);
        return 0;
    } catch (const std::bad_alloc&) {
        state_of(stream).last_error = "out of memory";
        return ENOMEM;
    }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
    StreamState& state = state_of(stream);
    if (interpreter_finalizing()) {
        state.last_error = "The Python interpreter is shutting down";
        return EIO;
    }
    const GilHold gil;
    const int code = guarded([&]() -> int {
        ColumnSet columns;
        PlanRows rows;
        switch (read_next_batch(state.reader, state.batches, columns, rows)) {
            case BatchRead::done:
                *out = ArrowArray{};  // released: the end of the stream
                return 0;
            case BatchRead::failed: return take_exception(state.last_error);
            case BatchRead::read: break;
        }
        batch_array(std::move(columns), rows.rows, *out);
        return 0;
    });
    // A C++ exception became a Python one (MemoryError among them).
    return code < 0 ? take_exception(state.last_error) : code;
}

const char* stream_get_last_error(ArrowArrayStream* stream) noexcept {
    const std::string& error = state_of(stream).last_error;
    return error.empty() ? nullptr : error.c_str();
}

void release_stream(ArrowArrayStream* stream) noexcept {
    std::unique_ptr<StreamState> state(static_cast<StreamState*>(stream->private_data));
    stream->private_data = nullptr;
    stream->release = nullptr;
}

// ---------------------------------------------------------------------------
// Capsules: each owns its structure and releases it unless the consumer
// moved it out (and marked the capsule's copy released).

constexpr const char* stream_capsule_name = "arrow_array_stream";
constexpr const char* schema_capsule_name = "arrow_schema";

void destroy_stream_capsule(PyObject* capsule) noexcept {
    std::unique_ptr<ArrowArrayStream> stream(
        static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, stream_capsule_name)));
    if (!stream) {
        PyErr_Clear();
        return;
    }
    if (stream->release != nullptr) stream->release(stream.get());
}

void destroy_schema_capsule(PyObject* capsule) noexcept {
    std::unique_ptr<ArrowSchema> schema(static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, schema_capsule_name)));
    if (!schema) {
        PyErr_Clear();
        return;
    }
    if (schema->release != nullptr) schema->release(schema.get());
}

// ---------------------------------------------------------------------------
// The Python stream object.

struct PyArrowStream {
    PyObject_HEAD PyObject* reader;  ///< the PulseReader until the stream is exported
    RunBatches batches;
    std::shared_ptr<std::vector<SkippedAperture>> skipped;  ///< the batches', also once exported
    std::vector<const ColumnDefinition*> columns;           ///< kept for the schema after the export
    bool exported;
};

PyArrowStream* as_stream(PyObject* self) noexcept { return reinterpret_cast<PyArrowStream*>(self); }

void arrow_stream_dealloc(PyObject* self) {
    PyArrowStream* stream = as_stream(self);
    Py_CLEAR(stream->reader);
    std::destroy_at(&stream->batches);
    std::destroy_at(&stream->skipped);
    std::destroy_at(&stream->columns);
    free_instance(self);
}

constexpr std::array<const char*, 1> export_names = {"requested_schema"};
constexpr Signature export_signature = {"ArrowStream.__arrow_c_stream__", export_names, 0};

/// The stream, once; `requested_schema` is accepted and ignored (the stream
/// keeps its own types, which the interface allows).
PyObject* arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> a{};
        if (!bind_arguments(export_signature, args, nargs, kwnames, a)) return nullptr;
        PyArrowStream* object = as_stream(self);
        if (object->exported) {
            return raise_runtime_error(
                "This stream has already been exported: a stream is read once; call stream_pulses or "
                "stream_records again for another");
        }
        // A reader closed before the export: refused here, where the error can
        // still be a RuntimeError (once exported, errors reach the consumer
        // through the stream, which names no exception class).
        if (object->reader != nullptr && !as_reader(object->reader)->reader) {
            return raise_runtime_error(closed_reader_message);
        }
        auto state = std::make_unique<StreamState>();
        auto stream = std::make_unique<ArrowArrayStream>();
        state->batches = std::move(object->batches);
        state->reader = std::exchange(object->reader, nullptr);
        object->exported = true;
        stream->get_schema = stream_get_schema;
        stream->get_next = stream_get_next;
        stream->get_last_error = stream_get_last_error;
        stream->release = release_stream;
        stream->private_data = state.release();
        PyObject* capsule = PyCapsule_New(stream.get(), stream_capsule_name, destroy_stream_capsule);
        if (capsule == nullptr) {
            stream->release(stream.get());
            return nullptr;
        }
        static_cast<void>(stream.release());  // the capsule owns it now
        return capsule;
    });
}

PyObject* arrow_c_schema(PyObject* self, PyObject* /*unused*/) {
    return guarded([&]() -> PyObject* {
        auto schema = std::make_unique<ArrowSchema>();
        batch_schema(as_stream(self)->columns, *schema);
        PyObject* capsule = PyCapsule_New(schema.get(), schema_capsule_name, destroy_schema_capsule);
        if (capsule == nullptr) {
            schema->release(schema.get());
            return nullptr;
        }
        static_cast<void>(schema.release());
        return capsule;
    });
}

/// The stream's skipped apertures so far (all of them once it is consumed):
/// numbers (`which` 0) or reasons (1).
PyObject* skipped_list(PyObject* self, void* which) {
    return guarded([&]() -> PyObject* {
        OwnedRef numbers;
        OwnedRef reasons;
        if (!skipped_lists(*as_stream(self)->skipped, numbers, reasons)) return nullptr;
        return which == nullptr ? numbers.release() : reasons.release();
    });
}

PyGetSetDef stream_getset[] = {
    {"skipped_apertures", skipped_list, nullptr,
     "The apertures skipped so far (errors=\"skip\"), in stream order: all of them once the stream is consumed.",
     nullptr},
    {"skipped_reasons", skipped_list, nullptr, "Why each of skipped_apertures was skipped, in the same order.",
     const_cast<char*>("reasons")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class Function>
PyCFunction as_c_function(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef stream_methods[] = {
    {"__arrow_c_stream__", as_c_function(arrow_c_stream), METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The stream as a PyCapsule \"arrow_array_stream\" (an ArrowArrayStream), once: a second export\n"
     "raises RuntimeError. `requested_schema` is ignored: the stream keeps its own types."},
    {"__arrow_c_schema__", arrow_c_schema, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe schema of the stream's batches as a PyCapsule \"arrow_schema\"."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* arrow_stream_type() {
    static PyTypeObject* type = nullptr;
    return heap_type(type, "builtins.ArrowStream", sizeof(PyArrowStream), arrow_stream_dealloc,
                     "A one-shot Arrow stream of record batches of whole apertures (the Arrow PyCapsule interface).",
                     {{Py_tp_methods, stream_methods}, {Py_tp_getset, stream_getset}});
}

// Moved into place after the object is allocated, where nothing may fail.
static_assert(std::is_nothrow_move_constructible_v<RunBatches>);

/// A stream object over the planned batches of the reader `self`.
PyObject* make_stream(PyObject* self, RunBatches&& batches) {
    std::vector<const ColumnDefinition*> columns = batches.run.columns;  // copied before anything is made
    PyTypeObject* type = arrow_stream_type();
    if (type == nullptr) return nullptr;
    OwnedRef made(type->tp_alloc(type, 0));
    if (!made) return nullptr;
    PyArrowStream* stream = as_stream(made.get());
    stream->reader = Py_NewRef(self);
    std::construct_at(&stream->columns, std::move(columns));
    std::construct_at(&stream->skipped, batches.skipped);
    std::construct_at(&stream->batches, std::move(batches));
    stream->exported = false;
    return made.release();
}

constexpr std::array<const char*, 7> stream_pulses_names = {
    "apertures", "pulse_filter", "pulse_filter_kwargs", "batch_records", "columns", "threads", "errors"};
constexpr Signature stream_pulses_signature = {"PulseReader.stream_pulses", stream_pulses_names, 0, 3};

constexpr std::array<const char*, 5> stream_records_names = {"apertures", "batch_records", "columns", "threads",
                                                             "errors"};
constexpr Signature stream_records_signature = {"PulseReader.stream_records", stream_records_names, 0, 1};

}  // namespace

PyObject* stream_pulses_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        RunBatches batches;
        if (!start_pulse_batches(self, stream_pulses_signature, args, nargs, kwnames, batches)) return nullptr;
        return make_stream(self, std::move(batches));
    });
}

PyObject* stream_records_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        RunBatches batches;
        if (!start_record_batches(self, stream_records_signature, args, nargs, kwnames, batches)) return nullptr;
        return make_stream(self, std::move(batches));
    });
}

}  // namespace kvt::python
