// How failures become Python exceptions.
//
// The module raises its own failures as RuntimeError; argument errors are
// TypeError or OverflowError; exceptions raised by Python code the module
// calls pass unchanged. A C++ exception never crosses into the interpreter:
// every entry point runs its body through `guarded`.
#pragma once

#include "py_ref.hpp"

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string_view>

#include "result.hpp"

namespace kvt {
class PulseReader;
}

namespace kvt::python {

/// Raises RuntimeError with `message`; returns nullptr for convenience.
PyObject* raise_runtime_error(std::string_view message);
inline PyObject* raise_runtime_error(const Error& error) { return raise_runtime_error(error.message()); }

/// What the caller of a failed core operation knows of where it failed.
struct ErrorPlace {
    std::string_view file;                   ///< the pulse file's path
    const PulseReader* reader = nullptr;     ///< the open file, when there is one
    std::optional<std::uint64_t> aperture{}; ///< the aperture being read
};

/// Raises RuntimeError with the error's message, unchanged, and (from Python
/// 3.11) a note (PEP 678) that places it: which file and how long it is, which
/// aperture, and which of the file's parts ends past the end of the file. A
/// user who sees "failed to fill whole buffer" so learns that the file was
/// cut short, and where.
PyObject* raise_runtime_error(const Error& error, const ErrorPlace& place);

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
