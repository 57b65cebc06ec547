#include "records/to_pydict.hpp"

#include <array>
#include <span>
#include <new>
#include <utility>

#include "errors.hpp"

namespace kvt::python {

namespace {

// ---------------------------------------------------------------------------
// NumPy's C interface, located once per process through the "_ARRAY_API"
// capsule of its multiarray module. Only four entries of its function table
// are used; their positions are fixed parts of NumPy's ABI (1.x and 2.x).

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*, const Py_ssize_t*, void*, int,
                                   PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

constexpr std::size_t array_type_slot = 2;
constexpr std::size_t descr_from_type_slot = 45;
constexpr std::size_t new_from_descr_slot = 94;
constexpr std::size_t set_base_object_slot = 282;
constexpr int array_writeable_flag = 0x0400;

// NumPy type numbers.
constexpr int npy_byte = 1;
constexpr int npy_ushort = 4;
constexpr int npy_uint = 6;
constexpr int npy_ulong = 8;  // uint64 on 64-bit Linux and macOS
constexpr int npy_float = 11;
constexpr int npy_double = 12;

static_assert(sizeof(unsigned long) == 8, "NumPy's unsigned long must be 64 bits wide here");

void** numpy_api = nullptr;  // published once, under the interpreter lock

/// Raises "Failed to access NumPy array API capsule: <the pending error>". A
/// KeyboardInterrupt or SystemExit (no Exception: a signal's handler ran while
/// NumPy's Python code did) is no failure to access NumPy: it stays as it is.
void raise_numpy_unavailable() {
    PendingError pending;
    if (pending.type && !PyErr_GivenExceptionMatches(pending.type.get(), PyExc_Exception)) {
        PyErr_Restore(pending.type.release(), pending.value.release(), pending.traceback.release());
        return;
    }
    OwnedRef cause = std::move(pending.value);
    if (!cause) {
        raise_runtime_error("Failed to access NumPy array API capsule");
        return;
    }
    if (pending.traceback) PyException_SetTraceback(cause.get(), pending.traceback.get());
    OwnedRef type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(cause.get())), "__name__"));
    OwnedRef text(PyObject_Str(cause.get()));
    if (!type_name || !text) return;
    PyErr_Format(PyExc_RuntimeError, "Failed to access NumPy array API capsule: %U: %U", type_name.get(), text.get());
    // Chain the original error as the cause, as `raise ... from` would.
    PyObject* new_type = nullptr;
    PyObject* new_value = nullptr;
    PyObject* new_traceback = nullptr;
    PyErr_Fetch(&new_type, &new_value, &new_traceback);
    PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
    if (new_value != nullptr) PyException_SetCause(new_value, cause.release());
    PyErr_Restore(new_type, new_value, new_traceback);
}

void** locate_numpy_api() {
    OwnedRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    OwnedRef version(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return nullptr;
    OwnedRef lib(PyImport_ImportModule("numpy.lib"));
    if (!lib) return nullptr;
    OwnedRef parsed(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) return nullptr;
    OwnedRef major_object(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_object) return nullptr;
    const long major = PyLong_AsLong(major_object.get());
    if (major == -1 && PyErr_Occurred()) return nullptr;
    if (major < 0 || major > 255) {
        PyErr_Format(PyExc_ValueError, "unexpected NumPy major version %ld", major);
        return nullptr;
    }
    OwnedRef multiarray(PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
    if (!multiarray) return nullptr;
    OwnedRef capsule(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return nullptr;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
        return nullptr;
    }
    const char* name = PyCapsule_GetName(capsule.get());
    if (name == nullptr && PyErr_Occurred()) return nullptr;
    void* table = PyCapsule_GetPointer(capsule.get(), name);
    if (table == nullptr) return nullptr;
    // The capsule's module stays imported for the life of the process, and
    // with it the table.
    return static_cast<void**>(table);
}

void** get_numpy_api() {
    if (numpy_api == nullptr) {
        void** table = locate_numpy_api();
        if (table == nullptr) {
            raise_numpy_unavailable();
            return nullptr;
        }
        numpy_api = table;
    }
    return numpy_api;
}

// ---------------------------------------------------------------------------
// PySliceContainer: the owner of one column buffer, kept alive by NumPy as
// the array's base object.

struct SliceContainer {
    PyObject_HEAD ColumnBuffer buffer;
};

void slice_container_dealloc(PyObject* self) {
    std::destroy_at(&reinterpret_cast<SliceContainer*>(self)->buffer);
    free_instance(self);
}

PyTypeObject* slice_container_type() {
    static PyTypeObject* type = nullptr;
    return heap_type(type, "builtins.PySliceContainer", sizeof(SliceContainer), slice_container_dealloc,
                     "Owner of the memory of one column array.");
}

OwnedRef new_slice_container(ColumnBuffer&& buffer) {
    PyTypeObject* type = slice_container_type();
    if (type == nullptr) {
        PyErr_Clear();
        raise_runtime_error("Failed to create slice container");
        return {};
    }
    OwnedRef object(type->tp_alloc(type, 0));
    if (!object) {
        PyErr_Clear();
        raise_runtime_error("Failed to create slice container");
        return {};
    }
    std::construct_at(&reinterpret_cast<SliceContainer*>(object.get())->buffer, std::move(buffer));
    return object;
}

/// Lends `buffer` to NumPy as a one-dimensional array of `type_number`.
OwnedRef lend_to_numpy(ColumnBuffer&& buffer, int type_number) {
    void** api = get_numpy_api();
    if (api == nullptr) return {};
    const auto count = static_cast<Py_ssize_t>(buffer.count());
    const auto stride = static_cast<Py_ssize_t>(buffer.element_size());
    void* data = buffer.data();
    OwnedRef owner = new_slice_container(std::move(buffer));
    if (!owner) return {};

    auto* descr_from_type = reinterpret_cast<DescrFromType>(api[descr_from_type_slot]);
    auto* new_from_descr = reinterpret_cast<NewFromDescr>(api[new_from_descr_slot]);
    auto* set_base_object = reinterpret_cast<SetBaseObject>(api[set_base_object_slot]);
    auto* array_type = static_cast<PyTypeObject*>(api[array_type_slot]);

    PyObject* descr = descr_from_type(type_number);
    if (descr == nullptr) return {};
    // Steals the descriptor.
    OwnedRef array(new_from_descr(array_type, descr, 1, &count, &stride, data, array_writeable_flag, nullptr));
    if (!array) return {};
    // Steals the owner, also when it fails.
    if (set_base_object(array.get(), owner.release()) != 0) return {};
    return array;
}

bool insert(PyObject* dict, const char* key, OwnedRef value) {
    if (!value) return false;
    return PyDict_SetItemString(dict, key, value.get()) == 0;
}

/// One str per record kind, made once and shared by every "record_type" list.
PyObject* record_type_word(FormattedRecordType type) {
    static std::array<PyObject*, formatted_record_type_count> words{};
    auto& word = words[static_cast<std::size_t>(type)];
    if (word == nullptr) {
        const std::string_view text = record_type_name(type);
        word = PyUnicode_InternFromString(std::string(text).c_str());
    }
    return word;
}

OwnedRef record_type_list(const ColumnBuffer& column) {
    const std::span<const FormattedRecordType> types(column.as<FormattedRecordType>(), column.count());
    OwnedRef list(PyList_New(static_cast<Py_ssize_t>(types.size())));
    if (!list) return {};
    std::array<PyObject*, formatted_record_type_count> words{};
    for (std::size_t k = 0; k < formatted_record_type_count; ++k) {
        words[k] = record_type_word(static_cast<FormattedRecordType>(k));
        if (words[k] == nullptr) return {};
    }
    for (std::size_t i = 0; i < types.size(); ++i) {
        PyObject* word = words[static_cast<std::size_t>(types[i])];
        Py_INCREF(word);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), word);
    }
    return list;
}

/// pandas.Categorical.from_codes(codes, the eight words): the codes lent as int8.
OwnedRef categorical(ColumnBuffer&& codes, PyObject* pandas_module) {
    OwnedRef array = lend_to_numpy(std::move(codes), npy_byte);
    if (!array) return {};
    OwnedRef words(PyList_New(formatted_record_type_count));
    if (!words) return {};
    for (std::size_t k = 0; k < formatted_record_type_count; ++k) {
        PyObject* word = record_type_word(static_cast<FormattedRecordType>(k));
        if (word == nullptr) return {};
        PyList_SET_ITEM(words.get(), static_cast<Py_ssize_t>(k), Py_NewRef(word));
    }
    OwnedRef type(PyObject_GetAttrString(pandas_module, "Categorical"));
    if (!type) return {};
    return OwnedRef(PyObject_CallMethod(type.get(), "from_codes", "OO", array.get(), words.get()));
}

int numpy_type(ColumnType type) noexcept {
    switch (type) {
        case ColumnType::u16: return npy_ushort;
        case ColumnType::u32: return npy_uint;
        case ColumnType::u64: return npy_ulong;
        case ColumnType::f32: return npy_float;
        case ColumnType::f64: return npy_double;
        case ColumnType::kind: return npy_byte;
    }
    return npy_byte;
}

}  // namespace

OwnedRef to_pydict(ColumnSet&& columns, KindColumn kinds, PyObject* pandas_module) {
    OwnedRef dict(PyDict_New());
    if (!dict) return {};
    for (Column& column : columns.columns()) {
        OwnedRef value;
        if (column.definition->type != ColumnType::kind) {
            value = lend_to_numpy(std::move(column.buffer), numpy_type(column.definition->type));
        } else if (kinds == KindColumn::words) {
            value = record_type_list(column.buffer);
        } else {
            value = categorical(std::move(column.buffer), pandas_module);
        }
        if (!insert(dict.get(), column.definition->name, std::move(value))) return {};
    }
    return dict;
}

}  // namespace kvt::python
