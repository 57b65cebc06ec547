// The Python class PulseReader: one open pulse file.
#pragma once

#include "py_ref.hpp"

namespace kvt::python {

/// The class object, made once per process. Null with an exception set on failure.
PyTypeObject* pulse_reader_type();

/// The module function merge_pulse_files(file_names, new_file_name).
PyObject* merge_pulse_files_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace kvt::python
