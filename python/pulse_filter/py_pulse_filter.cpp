#include "pulse_filter/py_pulse_filter.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "arguments.hpp"
#include "errors.hpp"

namespace kvt::python {

namespace {

/// A real number (float, int, bool or anything with __float__ or __index__),
/// rounded to the nearest f32.
bool extract_f32(PyObject* value, std::optional<float>& out) {
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) return false;
    out = static_cast<float>(number);
    return true;
}

bool extract_u32(PyObject* value, std::optional<std::uint32_t>& out) {
    OwnedRef integer(PyNumber_Index(value));
    if (!integer) return false;
    const unsigned long long number = PyLong_AsUnsignedLongLong(integer.get());
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (number > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(number);
    return true;
}

bool extract_pair(PyObject* value, std::optional<std::pair<float, float>>& out) {
    if (!PyTuple_Check(value)) {
        raise_wrong_type(value, "PyTuple");
        return false;
    }
    const Py_ssize_t length = PyTuple_GET_SIZE(value);
    if (length != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", length);
        return false;
    }
    std::optional<float> first;
    std::optional<float> second;
    if (!extract_f32(PyTuple_GET_ITEM(value, 0), first) || !extract_f32(PyTuple_GET_ITEM(value, 1), second)) {
        return false;
    }
    out.emplace(*first, *second);
    return true;
}

constexpr std::array<std::string_view, 11> keywords = {
    "min_dur_f", "min_dur_s",    "max_dur_s", "min_snr", "min_intensity", "min_binratio",
    "max_binratio", "start_m", "end_m",     "mask_s",  "recalc_ipd",
};

/// The number of single-character edits that turn `a` into `b`.
std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

/// A misspelt keyword would otherwise filter nothing while the analysis goes
/// on with unfiltered data, so each unknown keyword is named in a UserWarning
/// (with the closest keyword when one is near). It is still ignored, so that
/// callers passing extra keys keep working. False when the warning was turned
/// into an exception.
bool warn_unknown_keyword(std::string_view key) {
    std::string text = "PulseFilter ignores the unknown keyword '" + std::string(key) + "'";
    std::string_view closest;
    std::size_t best = 3;  // suggest only within two edits
    std::string lower(key);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    for (std::string_view keyword : keywords) {
        const std::size_t distance = edit_distance(lower, keyword);
        if (distance < best) {
            best = distance;
            closest = keyword;
        }
    }
    if (!closest.empty()) {
        text += "; did you mean '" + std::string(closest) + "'?";
    } else {
        text += "; the keywords are";
        for (std::size_t i = 0; i < keywords.size(); ++i) text += (i == 0 ? " " : ", ") + std::string(keywords[i]);
    }
    return PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) == 0;
}

/// Stores one keyword's value; an unknown keyword is warned about and skipped.
bool store_setting(PulseFilter& filter, std::string_view key, PyObject* value) {
    if (key == "min_dur_f") return extract_u32(value, filter.min_dur_f);
    if (key == "min_dur_s") return extract_f32(value, filter.min_dur_s);
    if (key == "max_dur_s") return extract_f32(value, filter.max_dur_s);
    if (key == "min_snr") return extract_f32(value, filter.min_snr);
    if (key == "min_intensity") return extract_f32(value, filter.min_intensity);
    if (key == "min_binratio") return extract_f32(value, filter.min_binratio);
    if (key == "max_binratio") return extract_f32(value, filter.max_binratio);
    if (key == "start_m") return extract_f32(value, filter.start_m);
    if (key == "end_m") return extract_f32(value, filter.end_m);
    if (key == "mask_s") return extract_pair(value, filter.mask_s);
    if (key == "recalc_ipd") return extract_bool(value, filter.recalc_ipd);
    return warn_unknown_keyword(key);
}

PyObject* pulse_filter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (args != nullptr && PyTuple_GET_SIZE(args) > 0) {
            const Py_ssize_t count = PyTuple_GET_SIZE(args);
            PyErr_Format(PyExc_TypeError, "PulseFilter.__new__() takes 0 positional arguments but %zd %s given",
                         count, count == 1 ? "was" : "were");
            return nullptr;
        }
        std::optional<PulseFilter> filter = pulse_filter_from_kwargs(kwargs);
        if (!filter) return nullptr;
        OwnedRef self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        std::construct_at(&reinterpret_cast<PyPulseFilter*>(self.get())->filter, *filter);
        return self.release();
    });
}

void pulse_filter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&reinterpret_cast<PyPulseFilter*>(self)->filter);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace

std::optional<PulseFilter> pulse_filter_from_kwargs(PyObject* kwargs) {
    PulseFilter filter;
    if (kwargs == nullptr) return filter;
    // A snapshot of the items: a value's conversion hook may change the dict
    // while it is walked, and the snapshot stays valid whatever it does.
    OwnedRef items(PyDict_Items(kwargs));
    if (!items) return std::nullopt;
    const Py_ssize_t count = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        if (!PyUnicode_Check(key)) {
            raise_wrong_type(key, "PyString");
            return std::nullopt;
        }
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &size);
        if (text == nullptr) return std::nullopt;
        if (!store_setting(filter, std::string_view(text, static_cast<std::size_t>(size)), PyTuple_GET_ITEM(item, 1))) {
            return std::nullopt;
        }
    }
    return filter;
}

PyTypeObject* pulse_filter_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(pulse_filter_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(pulse_filter_dealloc)},
            {Py_tp_doc, const_cast<char*>("PulseFilter(**kwargs)\n--\n\n")},
            {0, nullptr},
        };
        static PyType_Spec type_shape = {
            "builtins.PulseFilter",
            static_cast<int>(sizeof(PyPulseFilter)),
            0,
            Py_TPFLAGS_DEFAULT,
            slots,
        };
        type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_shape));
    }
    return type;
}

bool is_pulse_filter(PyObject* object) {
    PyTypeObject* type = pulse_filter_type();
    return type != nullptr && PyObject_TypeCheck(object, type);
}

}  // namespace kvt::python
