#include "arguments.hpp"

#include <cstring>

namespace kvt::python {

namespace {

std::string quoted_names(std::span<const char* const> names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() > 2 ? ", " : " ";
        if (i > 0 && i + 1 == names.size()) text += "and ";
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

bool raise_too_many_positional(const Signature& signature, Py_ssize_t given_count) {
    const std::size_t most = signature.names.size();
    std::string text = std::string(signature.function_name) + "() takes ";
    if (signature.required < most) {
        text += "from " + std::to_string(signature.required) + " to " + std::to_string(most);
    } else {
        text += std::to_string(most);
    }
    text += most == 1 && signature.required == most ? " positional argument but " : " positional arguments but ";
    text += std::to_string(given_count) + (given_count == 1 ? " was given" : " were given");
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return false;
}

bool raise_missing(const Signature& signature, std::span<PyObject*> out) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (out[i] == nullptr) missing.push_back(signature.names[i]);
    }
    std::string text = std::string(signature.function_name) + "() missing " + std::to_string(missing.size()) +
                       " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                       quoted_names(missing);
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return false;
}

/// Places one keyword argument; false with TypeError set when it has no parameter
/// or its parameter was already given.
bool bind_keyword(const Signature& signature, PyObject* key, PyObject* value, std::span<PyObject*> out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", signature.function_name);
        return false;
    }
    Py_ssize_t key_size = 0;
    const char* key_text = PyUnicode_AsUTF8AndSize(key, &key_size);
    if (key_text == nullptr) return false;
    for (std::size_t i = 0; i < signature.names.size(); ++i) {
        const char* name = signature.names[i];
        if (std::strlen(name) == static_cast<std::size_t>(key_size) &&
            std::memcmp(name, key_text, static_cast<std::size_t>(key_size)) == 0) {
            if (out[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.function_name,
                             name);
                return false;
            }
            out[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.function_name, key);
    return false;
}

bool bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, std::span<PyObject*> out) {
    for (PyObject*& slot : out) slot = nullptr;
    if (static_cast<std::size_t>(nargs) > std::min(signature.names.size(), signature.positional)) {
        return raise_too_many_positional(signature, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
    return true;
}

bool check_required(const Signature& signature, std::span<PyObject*> out) {
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (out[i] == nullptr) return raise_missing(signature, out);
    }
    return true;
}

std::string type_name(PyObject* object) {
    OwnedRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (!name) {
        PyErr_Clear();
        return Py_TYPE(object)->tp_name;
    }
    const char* text = PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return Py_TYPE(object)->tp_name;
    }
    return text;
}

/// NumPy's boolean scalar, recognised by its type's name so that NumPy need
/// not be imported.
bool is_numpy_bool(PyObject* object) {
    const char* name = Py_TYPE(object)->tp_name;
    return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out) {
    nargs = PyVectorcall_NARGS(nargs);
    if (!bind_positional(signature, args, nargs, out)) return false;
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
        }
    }
    return check_required(signature, out);
}

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
    const Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
    if (!bind_positional(signature, args == nullptr ? nullptr : &PyTuple_GET_ITEM(args, 0), nargs, out)) {
        return false;
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!bind_keyword(signature, key, value, out)) return false;
        }
    }
    return check_required(signature, out);
}

void prefix_argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    const PendingError pending;
    OwnedRef message(pending.value ? PyObject_Str(pending.value.get()) : PyUnicode_FromString(""));
    if (!message) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, message.get());
}

void raise_wrong_type(PyObject* object, const char* expected) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name(object).c_str(), expected);
}

bool extract_u64(PyObject* object, std::uint64_t& out) {
    OwnedRef integer(PyNumber_Index(object));
    if (!integer) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool extract_bool(PyObject* object, bool& out) {
    if (PyBool_Check(object)) {
        out = object == Py_True;
        return true;
    }
    if (is_numpy_bool(object)) {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) return false;
        out = truth == 1;
        return true;
    }
    raise_wrong_type(object, "PyBool");
    return false;
}

bool convert_u64(PyObject* object, const char* name, std::uint64_t& out) {
    if (extract_u64(object, out)) return true;
    prefix_argument_error(name);
    return false;
}

bool convert_bool(PyObject* object, const char* name, bool& out) {
    if (extract_bool(object, out)) return true;
    prefix_argument_error(name);
    return false;
}

bool convert_string(PyObject* object, const char* name, std::string& out) {
    if (!PyUnicode_Check(object)) {
        raise_wrong_type(object, "PyString");
        prefix_argument_error(name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) {
        prefix_argument_error(name);
        return false;
    }
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

namespace {

/// The path of a file-name argument as a str object, or null with TypeError
/// "'<type>' object cannot be converted to 'PyString'" (unprefixed): a str
/// as it is, an os.PathLike through its __fspath__, and nothing else. A
/// path-like whose path is bytes is refused like bytes themselves.
OwnedRef path_text(PyObject* object) {
    if (PyUnicode_Check(object)) return OwnedRef(Py_NewRef(object));
    if (!PyBytes_Check(object) && !PyByteArray_Check(object)) {
        OwnedRef has_fspath(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__fspath__"));
        if (has_fspath) {
            OwnedRef path(PyOS_FSPath(object));
            if (!path) return {};
            if (PyUnicode_Check(path.get())) return path;
        } else {
            PyErr_Clear();
        }
    }
    raise_wrong_type(object, "PyString");
    return {};
}

bool utf8_text(PyObject* text_object, std::string& out) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(text_object, &size);
    if (text == nullptr) return false;
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

}  // namespace

OwnedRef convert_path(PyObject* object, const char* name, std::string& out) {
    OwnedRef text = path_text(object);
    if (!text || !utf8_text(text.get(), out)) {
        prefix_argument_error(name);
        return {};
    }
    return text;
}

bool check_dict(PyObject* object, const char* name) {
    if (PyDict_Check(object)) return true;
    raise_wrong_type(object, "PyDict");
    prefix_argument_error(name);
    return false;
}

namespace {

/// Walks a sequence argument (not a str), converting each item with `convert`.
template <class Convert>
bool convert_sequence(PyObject* object, const char* name, Convert&& convert) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        prefix_argument_error(name);
        return false;
    }
    if (!PySequence_Check(object)) {
        raise_wrong_type(object, "Sequence");
        prefix_argument_error(name);
        return false;
    }
    const Py_ssize_t size = PySequence_Size(object);
    if (size < 0) {
        prefix_argument_error(name);
        return false;
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        OwnedRef item(PySequence_GetItem(object, i));
        if (!item || !convert(item.get())) {
            prefix_argument_error(name);
            return false;
        }
    }
    return true;
}

}  // namespace

bool convert_u64_sequence(PyObject* object, const char* name, std::vector<std::uint64_t>& out) {
    out.clear();
    return convert_sequence(object, name, [&](PyObject* item) {
        std::uint64_t value = 0;
        if (!extract_u64(item, value)) return false;
        out.push_back(value);
        return true;
    });
}

bool convert_path_sequence(PyObject* object, const char* name, std::vector<std::string>& out) {
    out.clear();
    return convert_sequence(object, name, [&](PyObject* item) {
        OwnedRef text = path_text(item);
        if (!text) return false;
        std::string path;
        if (!utf8_text(text.get(), path)) return false;
        out.push_back(std::move(path));
        return true;
    });
}

}  // namespace kvt::python
