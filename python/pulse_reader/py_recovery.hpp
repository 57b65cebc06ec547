// The module function recover_pulse_file.
#pragma once

#include "py_ref.hpp"

namespace kvt::python {

/// The function's help.
extern const char* const recover_pulse_file_doc;

/// recover_pulse_file(file_name, new_file_name, *, keep_partial=False) -> dict
PyObject* recover_pulse_file_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace kvt::python
