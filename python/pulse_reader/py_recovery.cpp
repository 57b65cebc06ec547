// recover_pulse_file: the sound blocks of a damaged pulse file copied into a
// new one, and a report of what was kept and lost as a dict.
//
// The recovery runs on a thread of its own without the interpreter lock. The
// calling thread waits for it in short slices, taking the lock between them
// to let the interpreter run its signal handlers: on Ctrl-C the recovery is
// told to stop, it removes its unfinished file, and the KeyboardInterrupt
// raised by the handler is the call's outcome.
#include "pulse_reader/py_recovery.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <unistd.h>

#include "arguments.hpp"
#include "errors.hpp"
#include "pulse_reader/recovery.hpp"

namespace kvt::python {

namespace {

constexpr std::array<const char*, 3> recover_names = {"file_name", "new_file_name", "keep_partial"};
constexpr Signature recover_signature = {"recover_pulse_file", recover_names, 2, 2};

/// How long the caller waits for the recovery between two looks for signals.
constexpr std::chrono::milliseconds signal_interval{20};

/// Sets `dict[key] = value`, stealing `value`.
bool put(PyObject* dict, const char* key, PyObject* value) {
    OwnedRef owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* report_to_dict(const RecoveryReport& report) {
    OwnedRef dict(PyDict_New());
    if (!dict) return nullptr;
    OwnedRef lost(PyList_New(static_cast<Py_ssize_t>(report.apertures_lost.size())));
    if (!lost) return nullptr;
    for (std::size_t i = 0; i < report.apertures_lost.size(); ++i) {
        PyObject* number = PyLong_FromUnsignedLong(report.apertures_lost[i]);
        if (number == nullptr) return nullptr;
        PyList_SET_ITEM(lost.get(), static_cast<Py_ssize_t>(i), number);
    }
    OwnedRef partial(Py_NewRef(Py_None));
    if (const auto& cut = report.partial_block) {
        partial = OwnedRef(PyDict_New());
        if (!partial || !put(partial.get(), "aperture", PyLong_FromUnsignedLong(cut->aperture)) ||
            !put(partial.get(), "byte_offset", PyLong_FromUnsignedLongLong(cut->byte_offset)) ||
            !put(partial.get(), "records_claimed", PyLong_FromUnsignedLong(cut->records_claimed)) ||
            !put(partial.get(), "records_complete", PyLong_FromUnsignedLong(cut->records_complete)) ||
            !put(partial.get(), "kept", PyBool_FromLong(cut->kept ? 1 : 0))) {
            return nullptr;
        }
    }
    PyObject* d = dict.get();
    const bool filled =
        put(d, "apertures_kept", PyLong_FromUnsignedLongLong(report.apertures_kept)) &&
        put(d, "records_kept", PyLong_FromUnsignedLongLong(report.records_kept)) &&
        put(d, "apertures_lost", lost.release()) && put(d, "partial_block", partial.release()) &&
        put(d, "bytes_discarded", PyLong_FromUnsignedLongLong(report.bytes_discarded)) &&
        put(d, "walk_end", PyLong_FromUnsignedLongLong(report.walk_end)) &&
        put(d, "walk_stop", PyUnicode_FromStringAndSize(report.walk_stop.data(),
                                                        static_cast<Py_ssize_t>(report.walk_stop.size()))) &&
        put(d, "index_offset", report.index_offset ? PyLong_FromUnsignedLongLong(*report.index_offset)
                                                   : Py_NewRef(Py_None)) &&
        put(d, "index_rebuilt", PyBool_FromLong(report.index_offset ? 0 : 1)) &&
        put(d, "index_confirmed", PyLong_FromUnsignedLongLong(report.index_confirmed)) &&
        put(d, "apertures_from_index", PyLong_FromUnsignedLongLong(report.apertures_from_index));
    return filled ? dict.release() : nullptr;
}

}  // namespace

PyObject* recover_pulse_file_function(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 3> argument{};
        if (!bind_arguments(recover_signature, args, nargs, kwnames, argument)) return nullptr;
        std::string file_name;
        if (!convert_path(argument[0], "file_name", file_name)) return nullptr;
        std::string new_file_name;
        if (!convert_path(argument[1], "new_file_name", new_file_name)) return nullptr;
        bool keep_partial = false;
        if (argument[2] != nullptr && !convert_bool(argument[2], "keep_partial", keep_partial)) return nullptr;

        std::atomic<bool> cancelled{false};
        // The future's destructor waits for the thread, so none outlives the call.
        std::future<Result<RecoveryReport>> running = std::async(std::launch::async, [&] {
            return recover_pulse_file(file_name, new_file_name, keep_partial, &cancelled);
        });
        bool interrupted = false;
        for (;;) {
            std::future_status status;
            {
                GilRelease unlocked;
                status = running.wait_for(signal_interval);
            }
            if (status == std::future_status::ready) break;
            if (PyErr_CheckSignals() != 0) {
                cancelled.store(true, std::memory_order_relaxed);
                GilRelease unlocked;
                running.wait();
                interrupted = true;
                break;
            }
        }
        Result<RecoveryReport> outcome = running.get();
        if (interrupted) {
            // Stopped by a signal handler's exception, which stands. A recovery
            // that had already given its file its name is undone: an
            // interrupted call leaves nothing.
            if (outcome) ::unlink(new_file_name.c_str());
            return nullptr;
        }
        if (!outcome) {
            return raise_runtime_error(std::move(outcome).error().prefixed("Failed to recover " + file_name + ": "));
        }
        return report_to_dict(*outcome);
    });
}

}  // namespace kvt::python
