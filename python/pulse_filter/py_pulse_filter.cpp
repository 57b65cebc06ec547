#include "pulse_filter/py_pulse_filter.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
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

bool extract(PyObject* value, std::optional<float>& out) { return extract_f32(value, out); }
bool extract(PyObject* value, std::optional<std::uint32_t>& out) { return extract_u32(value, out); }
bool extract(PyObject* value, std::optional<std::pair<float, float>>& out) { return extract_pair(value, out); }
bool extract(PyObject* value, bool& out) { return extract_bool(value, out); }

/// A keyword's Python type, as the stubs write it.
template <class T>
constexpr const char* bound_type() noexcept {
    return std::is_integral_v<T> ? "int" : "float";
}

struct Keyword {
    std::string_view name;
    const char* type;
    const char* unit;
    const char* meaning;
};

#define KVT_BOUND_KEYWORD(name, type, unit, meaning) Keyword{#name, bound_type<type>(), unit, meaning},
#define KVT_PAIR_KEYWORD(name, type, unit, meaning) Keyword{#name, "tuple[float, float]", unit, meaning},
#define KVT_FLAG_KEYWORD(name, type, unit, meaning) Keyword{#name, "bool", unit, meaning},
constexpr std::array keywords = {KVT_FILTER_KEYWORDS(KVT_BOUND_KEYWORD, KVT_PAIR_KEYWORD, KVT_FLAG_KEYWORD)};
#undef KVT_BOUND_KEYWORD
#undef KVT_PAIR_KEYWORD
#undef KVT_FLAG_KEYWORD

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
    for (const Keyword& entry : keywords) {
        const std::string_view keyword = entry.name;
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
        for (std::size_t i = 0; i < keywords.size(); ++i) text += (i == 0 ? " " : ", ") + std::string(keywords[i].name);
    }
    return PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) == 0;
}

/// Stores one keyword's value; an unknown keyword is warned about and skipped.
bool store_setting(PulseFilter& filter, std::string_view key, PyObject* value) {
#define KVT_STORE_SETTING(name, type, unit, meaning) \
    if (key == #name) return extract(value, filter.name);
    KVT_FILTER_KEYWORDS(KVT_STORE_SETTING, KVT_STORE_SETTING, KVT_STORE_SETTING)
#undef KVT_STORE_SETTING
    return warn_unknown_keyword(key);
}

PyObject* pulse_filter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (args != nullptr && PyTuple_GET_SIZE(args) > 0) {
            const Py_ssize_t count = PyTuple_GET_SIZE(args);
            PyErr_Format(PyExc_TypeError, "PulseFilter.__new__() takes 0 positional arguments but %zd %s given", count,
                         count == 1 ? "was" : "were");
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

PyObject* setting_object(const std::optional<std::uint32_t>& value) { return PyLong_FromUnsignedLong(*value); }
PyObject* setting_object(const std::optional<float>& value) { return PyFloat_FromDouble(static_cast<double>(*value)); }
PyObject* setting_object(const std::optional<std::pair<float, float>>& value) {
    return Py_BuildValue("(dd)", static_cast<double>(value->first), static_cast<double>(value->second));
}
PyObject* setting_object(bool value) { return PyBool_FromLong(value ? 1 : 0); }

/// "PulseFilter(min_snr=5.0, recalc_ipd=True)": the settings that are set.
PyObject* pulse_filter_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const PulseFilter& filter = reinterpret_cast<PyPulseFilter*>(self)->filter;
        OwnedRef parts(PyList_New(0));
        if (!parts) return nullptr;
        const auto add = [&](const char* name, bool set, const auto& value) {
            if (!set) return true;
            OwnedRef object(setting_object(value));
            if (!object) return false;
            OwnedRef part(PyUnicode_FromFormat("%s=%R", name, object.get()));
            return part && PyList_Append(parts.get(), part.get()) == 0;
        };
#define KVT_ADD_SETTING(name, type, unit, meaning) \
    if (!add(#name, static_cast<bool>(filter.name), filter.name)) return nullptr;
        KVT_FILTER_KEYWORDS(KVT_ADD_SETTING, KVT_ADD_SETTING, KVT_ADD_SETTING)
#undef KVT_ADD_SETTING
        OwnedRef separator(PyUnicode_FromString(", "));
        if (!separator) return nullptr;
        OwnedRef joined(PyUnicode_Join(separator.get(), parts.get()));
        if (!joined) return nullptr;
        return PyUnicode_FromFormat("PulseFilter(%U)", joined.get());
    });
}

/// The class's help: its signature, then every keyword with its type, unit
/// and meaning.
const std::string& pulse_filter_doc() {
    static const std::string doc = [] {
        std::string text =
            "PulseFilter(**kwargs)\n--\n\n"
            "Criteria that a pulse must meet to be kept, and how the kept pulses'\n"
            "inter-pulse durations are counted. Every keyword is optional: an unset\n"
            "bound keeps every pulse; bounds are inclusive, and a NaN value fails any\n"
            "bound set on it. Time is counted from frame 0 of the aperture's records.\n"
            "A keyword the class does not know is ignored with a UserWarning naming\n"
            "it. Raises TypeError for a positional argument or a value of the wrong\n"
            "type, OverflowError for min_dur_f outside 0..2**32-1, ValueError for a\n"
            "mask_s that is not a pair.\n\nKeywords:\n";
        for (const Keyword& keyword : keywords) {
            text += "    " + std::string(keyword.name) + " (" + keyword.type;
            if (*keyword.unit != '\0') text += std::string(", ") + keyword.unit;
            text += std::string("): ") + keyword.meaning + "\n";
        }
        return text;
    }();
    return doc;
}

void pulse_filter_dealloc(PyObject* self) {
    std::destroy_at(&reinterpret_cast<PyPulseFilter*>(self)->filter);
    free_instance(self);
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
    return heap_type(type, "builtins.PulseFilter", sizeof(PyPulseFilter), pulse_filter_dealloc,
                     pulse_filter_doc().c_str(),
                     {{Py_tp_new, reinterpret_cast<void*>(pulse_filter_new)},
                      {Py_tp_repr, reinterpret_cast<void*>(pulse_filter_repr)}},
                     Py_TPFLAGS_DEFAULT);
}

PyObject* filter_keyword_table() {
    OwnedRef table(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    if (!table) return nullptr;
    for (std::size_t i = 0; i < keywords.size(); ++i) {
        const Keyword& k = keywords[i];
        PyObject* row =
            Py_BuildValue("(s#sss)", k.name.data(), static_cast<Py_ssize_t>(k.name.size()), k.type, k.unit, k.meaning);
        if (row == nullptr) return nullptr;
        PyTuple_SET_ITEM(table.get(), static_cast<Py_ssize_t>(i), row);
    }
    return table.release();
}

bool is_pulse_filter(PyObject* object) {
    PyTypeObject* type = pulse_filter_type();
    return type != nullptr && PyObject_TypeCheck(object, type);
}

}  // namespace kvt::python
