// The module kvt_pulse_reader: created once per process, for one interpreter.
//
// Importing registers, in this order, merge_pulse_files, PulseReader,
// PulseFilter and recover_pulse_file, each appended to __all__, then the data
// dictionary: COLUMNS, RECORD_KINDS and FILTER_KEYWORDS, and the exception
// classes (PulseFileError and its subclasses), also appended to __all__. NumPy
// and pandas are not imported here: NumPy is located on the first column
// conversion, pandas by each reader's first frame.
#include "py_ref.hpp"

#include <atomic>
#include <cstdint>

#include "errors.hpp"
#include "pulse_filter/py_pulse_filter.hpp"
#include "pulse_reader/docstrings.hpp"
#include "pulse_reader/py_pulse_reader.hpp"
#include "pulse_reader/py_recovery.hpp"
#include "records/column_table.hpp"

namespace kvt::python {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "kvt_pulse_reader", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyMethodDef merge_definition = {
    "merge_pulse_files",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(merge_pulse_files_function)),
    METH_FASTCALL | METH_KEYWORDS,
    docs::merge_pulse_files,
};

PyMethodDef recover_definition = {
    "recover_pulse_file",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(recover_pulse_file_function)),
    METH_FASTCALL | METH_KEYWORDS,
    recover_pulse_file_doc,
};

constexpr std::int64_t no_interpreter = -1;
std::atomic<std::int64_t> owning_interpreter{no_interpreter};
PyObject* module_object = nullptr;

/// Appends `name` to __all__ and sets the attribute; steals `value`.
bool add_public(PyObject* module, const char* name, PyObject* value) {
    OwnedRef owned(value);
    if (!owned) return false;
    OwnedRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = OwnedRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
    }
    OwnedRef key(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) != 0) return false;
    return PyObject_SetAttr(module, key.get(), owned.get()) == 0;
}

/// Sets a data attribute (not in __all__); steals `value`.
bool add_data(PyObject* module, const char* name, PyObject* value) {
    OwnedRef owned(value);
    return owned && PyObject_SetAttrString(module, name, owned.get()) == 0;
}

bool initialise(PyObject* module) {
    return add_public(module, "merge_pulse_files", PyCFunction_NewEx(&merge_definition, module, nullptr)) &&
           add_public(module, "PulseReader", Py_XNewRef(reinterpret_cast<PyObject*>(pulse_reader_type()))) &&
           add_public(module, "PulseFilter", Py_XNewRef(reinterpret_cast<PyObject*>(pulse_filter_type()))) &&
           add_public(module, "recover_pulse_file", PyCFunction_NewEx(&recover_definition, module, nullptr)) &&
           add_data(module, "COLUMNS", column_table()) && add_data(module, "RECORD_KINDS", record_kind_table()) &&
           add_data(module, "FILTER_KEYWORDS", filter_keyword_table()) &&
           for_each_error_class(
               [module](const char* name, PyObject* type) { return add_public(module, name, Py_NewRef(type)); });
}

PyObject* create_module() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    std::int64_t expected = no_interpreter;
    if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "kvt_pulse_reader does not support sub-interpreters: it can be imported by one "
                        "interpreter per process only");
        return nullptr;
    }
    if (module_object != nullptr) return Py_NewRef(module_object);
    OwnedRef module(PyModule_Create2(&module_definition, 1013));
    if (!module || !initialise(module.get())) return nullptr;
    module_object = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace kvt::python

PyMODINIT_FUNC PyInit_kvt_pulse_reader() {
    return kvt::python::guarded([] { return kvt::python::create_module(); });
}
