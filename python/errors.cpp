#include "errors.hpp"

#include <string>

namespace kvt::python {

PyObject* raise_runtime_error(std::string_view message) {
    PyErr_SetString(PyExc_RuntimeError, std::string(message).c_str());
    return nullptr;
}

namespace {

PyObject* panic_exception_type() {
    // Created once, under the interpreter lock, and kept for the process.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("kvt_pulse_reader.PanicException",
                                         "An internal fault of the pulse-file library.", PyExc_BaseException, nullptr);
    }
    return type;
}

}  // namespace

PyObject* raise_panic(std::string_view message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return nullptr;
    OwnedRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return nullptr;
    PyErr_SetObject(type, text.get());
    return nullptr;
}

}  // namespace kvt::python
