// The memory layout of a Python PulseReader and its access flag.
//
// Access to one object is tested, never waited for: a reading, copying or
// closing call holds it exclusively; a property holds it shared. A request
// that conflicts fails at once with "Already borrowed" (exclusive refused) or
// "Already mutably borrowed" (shared refused). The flag changes only under the
// interpreter lock; it stays held while a call runs without the lock.
#pragma once

#include "py_ref.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <utility>

#include "arguments.hpp"
#include "errors.hpp"
#include "pulse_filter/py_pulse_filter.hpp"
#include "pulse_reader/pulse_reader.hpp"

namespace kvt::python {

struct PyPulseReader {
    PyObject_HEAD std::optional<PulseReader> reader;  ///< empty once closed
    std::optional<PulseFilter> default_filter;
    PyObject* pandas_module;  ///< null until pandas_of() first imports it
    PyObject* run_attrs;
    PyObject* metadata;
    PyObject* file_name;         ///< the path opened, as a str, for repr
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

/// Holds the access flag of `object` for the life of the guard, exclusively
/// or shared; false, with the RuntimeError set, when a holder conflicts.
template <bool exclusive>
class ReaderAccess {
public:
    explicit ReaderAccess(PyPulseReader* object) noexcept : object_(object) {
        if (exclusive ? object_->access == 0 : object_->access >= 0) {
            object_->access += step;
        } else {
            object_ = nullptr;
            raise_runtime_error(exclusive ? "Already borrowed" : "Already mutably borrowed");
        }
    }
    ReaderAccess(const ReaderAccess&) = delete;
    ReaderAccess& operator=(const ReaderAccess&) = delete;
    ~ReaderAccess() {
        if (object_ != nullptr) object_->access -= step;
    }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    static constexpr int step = exclusive ? -1 : 1;
    PyPulseReader* object_;
};

using ExclusiveAccess = ReaderAccess<true>;
using SharedAccess = ReaderAccess<false>;

/// The shape of a reading method: binds the call's arguments to `signature`
/// (N parameters), holds the reader exclusively, and returns
/// `body(object, arguments)`; the empty result (null, false) with an
/// exception set when binding or access fails.
template <std::size_t N, class Body>
auto with_reader(PyObject* self, const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 Body&& body) {
    using Returned = decltype(body(nullptr, std::declval<const std::array<PyObject*, N>&>()));
    std::array<PyObject*, N> arguments{};
    if (!bind_arguments(signature, args, nargs, kwnames, arguments)) return Returned{};
    PyPulseReader* object = as_reader(self);
    ExclusiveAccess access(object);
    if (!access) return Returned{};
    return body(object, std::as_const(arguments));
}

/// A reading method's whole body: `with_reader` run through `guarded`.
template <std::size_t N, class Body>
PyObject* reader_method(PyObject* self, const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, Body&& body) {
    return guarded([&]() -> PyObject* { return with_reader<N>(self, signature, args, nargs, kwnames, body); });
}

inline constexpr const char* closed_reader_message = "PulseReader cannot be used after the pulse file has been closed!";

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
PyObject* copy_apertures_to_new_file_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace kvt::python
