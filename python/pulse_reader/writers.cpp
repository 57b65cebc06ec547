// The Python entry points of the file writers: PulseReader.copy_apertures_to_new_file
// and the module function merge_pulse_files. Both release the interpreter lock
// while they read and write files, so that other Python threads run during a
// long write: the copy keeps its PulseReader object exclusively held (its
// access flag stays set), and the merge's readers belong to the call alone.
// Arguments are converted, and exceptions raised, with the lock held.
// The files are read and written on a thread of their own while the calling
// thread waits for Ctrl-C (interruptible.hpp): an interrupted writer stops
// between chunks and leaves no file behind.
#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "errors.hpp"
#include "interruptible.hpp"
#include "pulse_reader/file_merge.hpp"
#include "pulse_reader/py_pulse_reader.hpp"
#include "pulse_reader/reader_object.hpp"

namespace kvt::python {

namespace {

/// "[4, 17]"
std::string bracketed_list(const std::vector<std::uint64_t>& numbers) {
    std::string text = "[";
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(numbers[i]);
    }
    text += ']';
    return text;
}

constexpr std::array<const char*, 3> copy_names = {"apertures", "file_name", "ignore_missing_apertures"};
constexpr Signature copy_signature = {"PulseReader.copy_apertures_to_new_file", copy_names, 2};

constexpr std::array<const char*, 2> merge_names = {"file_names", "new_file_name"};
constexpr Signature merge_signature = {"merge_pulse_files", merge_names, 2};

}  // namespace

PyObject* copy_apertures_to_new_file_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
    const auto body = [&](PyPulseReader* object, const auto& argument) -> PyObject* {
        std::vector<std::uint64_t> requested;
        if (!convert_u64_sequence(argument[0], "apertures", requested)) return nullptr;
        std::string file_name;
        if (!convert_path(argument[1], "file_name", file_name)) return nullptr;
        bool ignore_missing = false;
        if (argument[2] != nullptr && !convert_bool(argument[2], "ignore_missing_apertures", ignore_missing)) {
            return nullptr;
        }
        if (!object->reader) return raise_runtime_error(closed_reader_message);

        std::sort(requested.begin(), requested.end());
        requested.erase(std::unique(requested.begin(), requested.end()), requested.end());
        // Walk the request beside the file's aperture list, sorted (an index
        // out of order is looked up all the same).
        std::vector<std::uint64_t> in_file = object->reader->index().apertures();
        if (!std::is_sorted(in_file.begin(), in_file.end())) std::sort(in_file.begin(), in_file.end());
        std::vector<std::uint64_t> found;
        std::vector<std::uint64_t> missing;
        std::size_t f = 0;
        for (std::uint64_t aperture : requested) {
            while (f < in_file.size() && in_file[f] < aperture) ++f;
            if (f < in_file.size() && in_file[f] == aperture) {
                found.push_back(aperture);
                ++f;
            } else {
                missing.push_back(aperture);
            }
        }
        if (!missing.empty() && !ignore_missing) {
            return raise_runtime_error(
                Error(ErrorCode::missing_aperture,
                      "The following apertures were not found in the file: " + bracketed_list(missing)),
                {.file = object->reader->path(), .reader = &*object->reader});
        }
        Status copied;
        const bool finished = run_interruptible([&](const CancellationToken& token) {
            copied = object->reader->copy_apertures_to_new_file(found, file_name, &token);
        });
        if (!finished) return nullptr;
        if (!copied) {
            return raise_runtime_error(copied.error(), {.file = object->reader->path(), .reader = &*object->reader});
        }
        Py_RETURN_NONE;
    };
    return reader_method<3>(self, copy_signature, args, nargs, kwnames, body);
}

PyObject* merge_pulse_files_function(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 2> argument{};
        if (!bind_arguments(merge_signature, args, nargs, kwnames, argument)) return nullptr;
        std::vector<std::string> file_names;
        if (!convert_path_sequence(argument[0], "file_names", file_names)) return nullptr;
        std::string new_file_name;
        if (!convert_path(argument[1], "new_file_name", new_file_name)) return nullptr;

        // Every input is opened before the destination is looked at; the
        // readers live for this call only.
        std::vector<PulseReader> readers;
        std::optional<Error> failed_open;  // of file_names[readers.size()]
        Status merged;
        const bool finished = run_interruptible([&](const CancellationToken& token) {
            readers.reserve(file_names.size());
            for (const std::string& name : file_names) {
                auto reader = PulseReader::open(name);
                if (!reader) {
                    failed_open.emplace(std::move(reader).error());
                    break;
                }
                readers.push_back(std::move(reader).value());
            }
            if (!failed_open) {
                std::vector<const PulseReader*> inputs;
                inputs.reserve(readers.size());
                for (const PulseReader& reader : readers) inputs.push_back(&reader);
                merged = merge_pulse_files(inputs, new_file_name, &token);
            }
        });
        if (!finished) return nullptr;
        if (failed_open) return raise_runtime_error(*failed_open, {.file = file_names[readers.size()]});
        if (!merged) return raise_runtime_error(merged.error());
        Py_RETURN_NONE;
    });
}

}  // namespace kvt::python
