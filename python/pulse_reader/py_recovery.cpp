// recover_pulse_file: the sound blocks of a damaged pulse file copied into a
// new one, and a report of what was kept and lost as a dict.
//
// The recovery runs without the interpreter lock on a thread of its own, and
// Ctrl-C stops it (interruptible.hpp): its unfinished file is removed, and the
// KeyboardInterrupt raised by the handler is the call's outcome.
#include "pulse_reader/py_recovery.hpp"

#include <array>
#include <optional>
#include <string>
#include <unistd.h>

#include "arguments.hpp"
#include "errors.hpp"
#include "interruptible.hpp"
#include "pulse_reader/recovery.hpp"

namespace kvt::python {

namespace {

constexpr std::array<const char*, 3> recover_names = {"file_name", "new_file_name", "keep_partial"};
constexpr Signature recover_signature = {"recover_pulse_file", recover_names, 2, 2};

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
        put(d, "walk_stop",
            PyUnicode_FromStringAndSize(report.walk_stop.data(), static_cast<Py_ssize_t>(report.walk_stop.size()))) &&
        put(d, "index_offset",
            report.index_offset ? PyLong_FromUnsignedLongLong(*report.index_offset) : Py_NewRef(Py_None)) &&
        put(d, "index_rebuilt", PyBool_FromLong(report.index_offset ? 0 : 1)) &&
        put(d, "index_confirmed", PyLong_FromUnsignedLongLong(report.index_confirmed)) &&
        put(d, "apertures_from_index", PyLong_FromUnsignedLongLong(report.apertures_from_index));
    return filled ? dict.release() : nullptr;
}

}  // namespace

const char* const recover_pulse_file_doc =
    "recover_pulse_file(file_name, new_file_name, *, keep_partial=False)\n--\n\n"
    "Copy the sound aperture blocks of a damaged pulse file (cut short, its index lost, zeros or garbage\n"
    "after its data, a block with a wrong record count) into a new file with a fresh index.\n\n"
    "The blocks are walked back to back from the header's data_offset up to the first block header that\n"
    "breaks a rule (its number not above the previous one, its column or row outside the sensor, its\n"
    "records running past the end of the data, or zero bytes); an index that survives confirms the walk\n"
    "and places the blocks after a damaged one. What cannot be placed soundly is reported, never guessed.\n\n"
    "# Arguments\n\n"
    "* `file_name` - the damaged file (str or os.PathLike); it is only read.\n"
    "* `new_file_name` - the file to write (str or os.PathLike); it must not exist, nor be the input\n"
    "  under any name or link: a recovery never replaces a file.\n"
    "* `keep_partial` - keep the complete records of the block that was cut, its count rewritten\n"
    "  (default False: the cut block is dropped and named).\n\n"
    "# Returns\n\n"
    "A dict: apertures_kept, records_kept, apertures_lost (the numbers the index names whose blocks\n"
    "could not be placed), partial_block (None, or a dict: aperture, byte_offset, records_claimed,\n"
    "records_complete, kept), bytes_discarded, walk_end and walk_stop (where the walk stopped and why),\n"
    "index_offset (None when no index survived), index_rebuilt, index_confirmed, apertures_from_index.\n\n"
    "# Raises\n\n"
    "RuntimeError when the header or metadata is damaged, no block can be recovered, the destination\n"
    "exists or is the input, or the new file cannot be written (nothing is left behind);\n"
    "KeyboardInterrupt on Ctrl-C (nothing is left behind); TypeError for arguments of the wrong type.";

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

        std::optional<Result<RecoveryReport>> outcome;
        const bool finished = run_interruptible([&](const CancellationToken& token) {
            outcome.emplace(recover_pulse_file(file_name, new_file_name, keep_partial, &token));
        });
        if (!finished) {
            // Stopped by a signal handler's exception, which stands. A recovery
            // that had already given its file its name is undone: an
            // interrupted call leaves nothing.
            if (outcome && *outcome) ::unlink(new_file_name.c_str());
            return nullptr;
        }
        if (!*outcome) {
            return raise_runtime_error(std::move(*outcome).error().prefixed("Failed to recover " + file_name + ": "));
        }
        return report_to_dict(**outcome);
    });
}

}  // namespace kvt::python
