// A thin RAII layer over the CPython C API: owned references and a scoped
// release of the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

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

/// Releases the interpreter lock for the lifetime of the guard. No Python
/// object may be touched while it is alive.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

}  // namespace kvt::python
