// The memory layout of a Python PulseReader and its access flag.
//
// Access to one object is tested, never waited for: a reading, copying or
// closing call holds it exclusively; a property holds it shared. A request
// that conflicts fails at once with "Already borrowed" (exclusive refused) or
// "Already mutably borrowed" (shared refused). The flag changes only under the
// interpreter lock; it stays held while a call runs without the lock.
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <optional>

#include "errors.hpp"
#include "pulse_filter/py_pulse_filter.hpp"
#include "pulse_reader/pulse_reader.hpp"

namespace kvt::python {

struct PyPulseReader {
    PyObject_HEAD
    std::optional<PulseReader> reader;  ///< empty once closed
    std::optional<PulseFilter> default_filter;
    PyObject* pandas_module;  ///< null until pandas_of() first imports it
    PyObject* run_attrs;
    PyObject* metadata;
    PyObject* file_name;  ///< the path opened, as a str, for repr
    std::size_t aperture_count;  ///< learned on the first repr or at close
    bool aperture_count_known;
    /// 0 free, -1 held exclusively, n > 0 held shared n times.
    int access;
};

inline PyPulseReader* as_reader(PyObject* self) noexcept { return reinterpret_cast<PyPulseReader*>(self); }

/// pandas, imported by the first call that makes a frame, so that opening a
/// file and reading its block plan (`kvt-pulses info`) cost no pandas.
/// Null with an exception set when it cannot be imported.
inline PyObject* pandas_of(PyPulseReader* object) noexcept {
    if (object->pandas_module == nullptr) object->pandas_module = PyImport_ImportModule("pandas");
    return object->pandas_module;
}

class ExclusiveAccess {
public:
    explicit ExclusiveAccess(PyPulseReader* object) noexcept : object_(object) {
        if (object_->access == 0) {
            object_->access = -1;
        } else {
            object_ = nullptr;
            raise_runtime_error("Already borrowed");
        }
    }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
    ~ExclusiveAccess() {
        if (object_ != nullptr) object_->access = 0;
    }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyPulseReader* object_;
};

class SharedAccess {
public:
    explicit SharedAccess(PyPulseReader* object) noexcept : object_(object) {
        if (object_->access >= 0) {
            ++object_->access;
        } else {
            object_ = nullptr;
            raise_runtime_error("Already mutably borrowed");
        }
    }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;
    ~SharedAccess() {
        if (object_ != nullptr) --object_->access;
    }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyPulseReader* object_;
};

inline constexpr const char* closed_reader_message =
    "PulseReader cannot be used after the pulse file has been closed!";

/// The filter arguments of a call, checked for their types (None is absent).
struct FilterArguments {
    PyObject* object = nullptr;  ///< a PulseFilter
    PyObject* kwargs = nullptr;  ///< a dict of filter keywords
};

/// Checks `pulse_filter` and `pulse_filter_kwargs`; false with TypeError set.
bool convert_filter_arguments(PyObject* filter_object, PyObject* filter_kwargs, FilterArguments& out);

/// The call's filter: its keywords, else its PulseFilter, else the reader's
/// default, else none; both given is a RuntimeError. False with an exception set.
bool choose_filter(const PyPulseReader* object, const FilterArguments& arguments, std::optional<PulseFilter>& out);

/// The whole-run methods.
PyObject* read_pulses_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* read_records_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* summarize_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* iter_pulses_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

/// The Arrow streams of the whole-run batches (arrow_stream.cpp).
PyObject* stream_pulses_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* stream_records_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

/// The block plan as NumPy arrays (block_table.cpp).
PyObject* block_table_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

/// The card that Jupyter shows for a reader (repr_html.cpp).
PyObject* repr_html_method(PyObject* self, PyObject* unused);

/// The method copy_apertures_to_new_file.
PyObject* copy_apertures_to_new_file_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames);

}  // namespace kvt::python
