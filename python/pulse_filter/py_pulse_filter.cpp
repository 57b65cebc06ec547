#include "pulse_filter/py_pulse_filter.hpp"

#include <cstring>
#include <limits>
#include <string_view>

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

/// Stores one keyword's value; unknown keywords are skipped.
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
    return true;
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
