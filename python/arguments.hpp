// Binding of call arguments to parameters, and their conversion.
//
// Binding follows the interpreter's own rules and wording for Python
// functions ("PulseReader.get_all_records() missing 1 required positional
// argument: 'aperture_index'"). A conversion that fails with TypeError is
// re-raised as TypeError "argument '<name>': <message>"; other conversion
// errors (OverflowError for a negative unsigned value) pass unchanged.
#pragma once

#include "py_ref.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kvt::python {

struct Signature {
    const char* function_name;           ///< as shown in messages, e.g. "PulseReader.get_pulses"
    std::span<const char* const> names;  ///< every parameter, in order
    std::size_t required;                ///< the first `required` parameters have no default
    std::size_t positional = SIZE_MAX;   ///< how many may be given by position; the rest are keyword-only
};

/// Binds vectorcall arguments: `out[i]` becomes the borrowed argument of
/// parameter i, or nullptr when it was not given. False with TypeError set on
/// a binding error.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out);

/// The same for a tuple of positional arguments and a dict of keywords.
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

/// Whether an optional argument was given: present and not None.
inline bool given(PyObject* argument) noexcept { return argument != nullptr && argument != Py_None; }

/// Re-raises a pending TypeError as "argument '<name>': <message>".
void prefix_argument_error(const char* name);

/// Raises TypeError "'<type>' object cannot be converted to '<expected>'".
void raise_wrong_type(PyObject* object, const char* expected);

/// An integer from 0 to 2^64 - 1 (an int or an object with __index__).
bool convert_u64(PyObject* object, const char* name, std::uint64_t& out);
/// True or False (NumPy's boolean scalar too); an int is refused.
bool convert_bool(PyObject* object, const char* name, bool& out);
/// A str, as UTF-8.
bool convert_string(PyObject* object, const char* name, std::string& out);
/// A file name: a str, or an os.PathLike (pathlib.Path) whose path is a str;
/// bytes are refused as by convert_string. The path as UTF-8 in `out`; the
/// result is the path as a str object, null with an exception set on failure.
OwnedRef convert_path(PyObject* object, const char* name, std::string& out);
/// A dict (a subclass too).
bool check_dict(PyObject* object, const char* name);
/// A sequence other than str whose items are integers from 0 to 2^64 - 1.
bool convert_u64_sequence(PyObject* object, const char* name, std::vector<std::uint64_t>& out);
/// A sequence other than str whose items are file names (see convert_path).
bool convert_path_sequence(PyObject* object, const char* name, std::vector<std::string>& out);

/// The unconverted forms used by the conversions above, without any prefix.
bool extract_u64(PyObject* object, std::uint64_t& out);
bool extract_bool(PyObject* object, bool& out);

}  // namespace kvt::python
