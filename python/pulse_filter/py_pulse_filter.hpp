// The Python class PulseFilter: pulse criteria built from keyword arguments.
#pragma once

#include "py_ref.hpp"

#include <optional>

#include "pulse_filter/pulse_filter.hpp"

namespace kvt::python {

struct PyPulseFilter {
    PyObject_HEAD PulseFilter filter;
};

/// The class object, made once per process. Null with an exception set on failure.
PyTypeObject* pulse_filter_type();

/// The keywords as a tuple of (name, type, unit, meaning) tuples, in order;
/// a new reference, or null with an exception set.
PyObject* filter_keyword_table();

/// Whether `object` is a PulseFilter.
bool is_pulse_filter(PyObject* object);

/// Builds a filter from a dict of keywords ("min_dur_f", "min_snr", ...);
/// each unknown keyword is named in a UserWarning and ignored. `kwargs` may be null (no keywords). Nothing
/// with a Python exception set on failure.
std::optional<PulseFilter> pulse_filter_from_kwargs(PyObject* kwargs);

}  // namespace kvt::python
