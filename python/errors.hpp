// How failures become Python exceptions.
//
// The module raises its own failures as subclasses of PulseFileError, itself
// a RuntimeError, chosen by the core error's code: a cut file, an invalid
// file, a missing aperture, unsorted pulses, a writer's refusal, an invalid
// argument; failures of the operating system are at once PulseFileError and
// the matching OSError (FileNotFoundError, PermissionError, ...), with errno
// and filename set. Messages are the core's, unchanged; an exception note
// (PEP 678; on Python 3.10 the __notes__ list alone) places the failure in its file. Argument errors
// are TypeError or OverflowError; exceptions raised by Python code the module
// calls pass unchanged. A C++ exception never crosses into the interpreter:
// every entry point runs its body through `guarded`.
#pragma once

#include "py_ref.hpp"

#include <cstdint>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <string_view>

#include "result.hpp"

namespace kvt {
class PulseReader;
}

namespace kvt::python {

/// Calls `add(name, type)` for each of the module's exception classes, base
/// first, creating them on the first call; false, with an exception set, on
/// a failure of either.
bool for_each_error_class(const std::function<bool(const char* name, PyObject* type)>& add);

/// Raises PulseFileError with `message`; returns nullptr for convenience.
PyObject* raise_runtime_error(std::string_view message);

/// What the caller of a failed core operation knows of where it failed.
struct ErrorPlace {
    std::string_view file;                    ///< the pulse file's path
    const PulseReader* reader = nullptr;      ///< the open file, when there is one
    std::optional<std::uint64_t> aperture{};  ///< the aperture being read
};

/// Raises the class of the error's code with the error's message, unchanged.
/// A failure of the operating system gets errno, strerror and filename (the
/// error's own file, else the place's). A note (PEP 678; on 3.10 in __notes__)
/// names the file the error concerns and places the failure in it: how long
/// the file is, which aperture, which of the file's parts ends past its end
/// (and then that `kvt-pulses recover` can salvage it), or that it is not a
/// pulse file at all. A user who sees "failed to fill whole buffer" so learns
/// that the file was cut short, and where.
PyObject* raise_runtime_error(const Error& error, const ErrorPlace& place = {});

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
