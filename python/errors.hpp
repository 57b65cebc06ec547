// How failures become Python exceptions.
//
// The module raises its own failures as RuntimeError; argument errors are
// TypeError or OverflowError; exceptions raised by Python code the module
// calls pass unchanged. A C++ exception never crosses into the interpreter:
// every entry point runs its body through `guarded`.
#pragma once

#include "py_ref.hpp"

#include <exception>
#include <new>
#include <string_view>

#include "result.hpp"

namespace kvt::python {

/// Raises RuntimeError with `message`; returns nullptr for convenience.
PyObject* raise_runtime_error(std::string_view message);
inline PyObject* raise_runtime_error(const Error& error) { return raise_runtime_error(error.message()); }

/// Raises the module's exception for internal faults, `PanicException`, a
/// direct subclass of BaseException created on first use.
PyObject* raise_panic(std::string_view message);

/// Runs `body`, turning a C++ exception that escapes it into a Python one:
/// MemoryError for an exhausted allocator, PanicException for anything else.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("unknown internal error");
    }
    if constexpr (std::is_same_v<decltype(body()), int>) {
        return -1;
    } else {
        return nullptr;
    }
}

}  // namespace kvt::python
