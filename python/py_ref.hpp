// A thin RAII layer over the CPython C API: owned references and a scoped
// release of the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <utility>
#include <vector>

namespace kvt::python {

/// One owned (strong) reference, dropped when the holder goes. A null holder
/// stands for "an exception is set".
class OwnedRef {
public:
    OwnedRef() = default;
    /// Takes over a new reference (the result of most C API calls).
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
    /// Takes a new reference to a borrowed object.
    static OwnedRef borrowed(PyObject* object) noexcept {
        Py_XINCREF(object);
        return OwnedRef(object);
    }
    OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { Py_XDECREF(object_); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    /// Gives up ownership, e.g. to return the reference to the interpreter.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset(PyObject* object = nullptr) noexcept {
        PyObject* old = std::exchange(object_, object);
        Py_XDECREF(old);
    }

private:
    PyObject* object_ = nullptr;
};

/// The pending Python exception, taken out of the interpreter (and
/// normalized) for the life of the holder; nothing is pending afterwards.
struct PendingError {
    OwnedRef type;
    OwnedRef value;  ///< null when nothing was pending
    OwnedRef traceback;

    PendingError() noexcept {
        PyObject* t = nullptr;
        PyObject* v = nullptr;
        PyObject* tb = nullptr;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        type.reset(t);
        value.reset(v);
        traceback.reset(tb);
    }
};

/// A scope that calls `enter()` as it starts and `leave(state)` with its
/// result as it ends.
template <class State, State (*enter)(), void (*leave)(State)>
class ScopedState {
public:
    ScopedState() noexcept : state_(enter()) {}
    ScopedState(const ScopedState&) = delete;
    ScopedState& operator=(const ScopedState&) = delete;
    ~ScopedState() { leave(state_); }

private:
    State state_;
};

/// Releases the interpreter lock for the lifetime of the guard. No Python
/// object may be touched while it is alive.
using GilRelease = ScopedState<PyThreadState*, PyEval_SaveThread, PyEval_RestoreThread>;

/// Takes the interpreter lock back for a moment on a thread that released it.
using GilTake = ScopedState<PyGILState_STATE, PyGILState_Ensure, PyGILState_Release>;

/// The class of instances of `size` bytes, destroyed by `dealloc`, made by
/// the first call that succeeds (null with an exception set until then) and
/// cached in `made`. By default it cannot be made from Python. `name`, and
/// the tables that slots point to, must outlive the class.
inline PyTypeObject* heap_type(PyTypeObject*& made, const char* name, std::size_t size, destructor dealloc,
                               const char* doc, std::initializer_list<PyType_Slot> slots = {},
                               unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION) {
    if (made == nullptr) {
        std::vector<PyType_Slot> all(slots);
        all.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
        all.push_back({Py_tp_doc, const_cast<char*>(doc)});
        all.push_back({0, nullptr});
        PyType_Spec type_spec = {name, static_cast<int>(size), 0, flags, all.data()};
        made = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    }
    return made;
}

/// The end of a heap class's tp_dealloc, once the instance's C++ members are
/// destroyed: frees the instance and drops its reference to its class.
inline void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace kvt::python
