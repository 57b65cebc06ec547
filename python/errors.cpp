#include "errors.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "pulse_reader/file.hpp"
#include "pulse_reader/headers/aperture_header.hpp"
#include "pulse_reader/headers/pulse_file_header.hpp"
#include "pulse_reader/pulse_reader.hpp"

namespace kvt::python {

namespace {

PyObject* panic_exception_type() {
    // Created once, under the interpreter lock, and kept for the process.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("kvt_pulse_reader.PanicException",
                                         "An internal fault of the pulse-file library.", PyExc_BaseException, nullptr);
    }
    return type;
}

// ---------------------------------------------------------------------------
// The exception classes. Each error code has one class; the classes for
// failures of the operating system derive from the matching OSError class
// too, so that `except FileNotFoundError` catches a missing pulse file.

enum Kind : std::size_t {
    base,
    truncated,
    invalid_file,
    missing_aperture,
    unsorted_pulses,
    writer_refused,
    invalid_argument,
    os,
    not_found,
    permission,
    is_a_directory,
    exists,
    kind_count
};

struct ErrorClass {
    const char* name;
    const char* doc;
    PyObject** builtin_base;   // first base, or nullptr
    std::array<int, 2> bases;  // the module's own bases (Kind), -1 for none
};

/// A class below PulseFileError alone.
constexpr ErrorClass library_class(const char* name, const char* doc) { return {name, doc, nullptr, {base, -1}}; }

/// A failure of the operating system: below the OSError subclass `builtin`,
/// PulseFileOSError and, when given, the module's class `also`.
constexpr ErrorClass os_class(const char* name, const char* doc, PyObject** builtin, int also = -1) {
    return {name, doc, builtin, {os, also}};
}

constexpr std::array<ErrorClass, kind_count> error_classes = {{
    {"PulseFileError",
     "A failure of the pulse-file library: the base of its exceptions.",
     &PyExc_RuntimeError,
     {-1, -1}},
    library_class("TruncatedFileError",
                  "A read ran past the end of the file: the file was cut short, or a size or "
                  "count in it is wrong."),
    library_class("InvalidFileError", "The file breaks the pulse-file format: its header, metadata, index or a block."),
    library_class("MissingApertureError", "An aperture number the file does not hold."),
    library_class("UnsortedPulsesError",
                  "An aperture's pulses overlap or run backwards, so a filter cannot judge them."),
    library_class("WriterRefusedError",
                  "A writer refused its source or destination (the source itself, an existing "
                  "file, a file it cannot write)."),
    library_class("InvalidArgumentError", "A call's arguments cannot be carried out."),
    {"PulseFileOSError",
     "The operating system failed a call on a file: errno, strerror and filename are set; str() is the message.",
     &PyExc_OSError,
     {base, -1}},
    os_class("PulseFileNotFoundError", "The file or its folder does not exist.", &PyExc_FileNotFoundError),
    os_class("PulseFilePermissionError", "The file or its folder may not be read or written.", &PyExc_PermissionError),
    os_class("PulseFileIsADirectoryError", "A folder was given where a file is needed.", &PyExc_IsADirectoryError),
    os_class("PulseFileExistsError", "A writer refused to replace an existing file.", &PyExc_FileExistsError,
             writer_refused),
}};

/// The classes, made once under the interpreter lock and kept for the process.
std::array<PyObject*, kind_count> made_classes{};

PyObject* make_class(const ErrorClass& entry) {
    std::vector<PyObject*> parts;
    if (entry.builtin_base != nullptr) parts.push_back(*entry.builtin_base);
    for (const int kind : entry.bases) {
        if (kind >= 0) parts.push_back(made_classes[static_cast<std::size_t>(kind)]);
    }
    OwnedRef bases(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    if (!bases) return nullptr;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        PyTuple_SET_ITEM(bases.get(), static_cast<Py_ssize_t>(i), Py_NewRef(parts[i]));
    }
    OwnedRef members(PyDict_New());
    if (!members) return nullptr;
    if (entry.builtin_base == &PyExc_OSError) {
        // OSError's str() rewrites the text as "[Errno 2] ...: 'name'" once
        // filename is set; the message stays the library's own.
        OwnedRef text(PyObject_GetAttrString(PyExc_BaseException, "__str__"));
        if (!text || PyDict_SetItemString(members.get(), "__str__", text.get()) != 0) return nullptr;
    }
    const std::string name = std::string("kvt_pulse_reader.") + entry.name;
    return PyErr_NewExceptionWithDoc(name.c_str(), entry.doc, bases.get(), members.get());
}

PyObject* error_class(Kind kind) {
    for (std::size_t i = 0; i <= kind; ++i) {
        if (made_classes[i] == nullptr) made_classes[i] = make_class(error_classes[i]);
        if (made_classes[i] == nullptr) return nullptr;
    }
    return made_classes[kind];
}

Kind kind_of(const Error& error) {
    switch (error.code()) {
        case ErrorCode::io:
            switch (error.os_error_number()) {
                case ENOENT: return not_found;
                case EACCES:
                case EPERM: return permission;
                case EISDIR: return is_a_directory;
                case EEXIST: return exists;
                default: return os;
            }
        case ErrorCode::truncated: return truncated;
        case ErrorCode::invalid_header:
        case ErrorCode::invalid_metadata:
        case ErrorCode::invalid_index:
        case ErrorCode::invalid_block: return invalid_file;
        case ErrorCode::missing_aperture: return missing_aperture;
        case ErrorCode::unsorted_pulses: return unsorted_pulses;
        case ErrorCode::already_exists: return exists;
        case ErrorCode::refused: return writer_refused;
        case ErrorCode::invalid_argument: return invalid_argument;
        case ErrorCode::cancelled:
        case ErrorCode::internal: return base;
    }
    return base;
}

/// Sets `name` on `object` to `value`, which it steals.
bool set_attribute(PyObject* object, const char* name, PyObject* value) {
    OwnedRef owned(value);
    return owned && PyObject_SetAttrString(object, name, owned.get()) == 0;
}

}  // namespace

bool for_each_error_class(const std::function<bool(const char* name, PyObject* type)>& add) {
    for (std::size_t i = 0; i < kind_count; ++i) {
        PyObject* type = error_class(static_cast<Kind>(i));
        if (type == nullptr || !add(error_classes[i].name, type)) return false;
    }
    return true;
}

PyObject* raise_runtime_error(std::string_view message) {
    PyObject* type = error_class(base);
    if (type == nullptr) return nullptr;
    OwnedRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return nullptr;
    PyErr_SetObject(type, text.get());
    return nullptr;
}

namespace {

// ---------------------------------------------------------------------------
// Where an error happened. Everything here runs after the failure, once, so
// it reads the file afresh rather than trusting what the failed call saw.

/// "1 byte", "808 bytes".
std::string counted(std::uint64_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

/// " to byte 900, 808 bytes past the end of the file" when [from, from + length) runs
/// past `size`; empty otherwise.
std::string past_the_end(std::uint64_t from, std::uint64_t length, std::uint64_t size) {
    const std::uint64_t end = from > UINT64_MAX - length ? UINT64_MAX : from + length;
    if (end <= size) return {};
    return " to byte " + std::to_string(end) + ", " + counted(end - size, "byte") + " past the end of the file";
}

/// What was found of a failure's place in its file.
struct Finding {
    std::string text;
    bool past_end = false;     ///< a part of the file runs past its end
    bool salvageable = false;  ///< and it is the data or the index: the recovery can keep what comes before
};

/// Python's repr() of `bytes` (b'xxxx'), or empty.
std::string bytes_repr(std::span<const std::byte> bytes) {
    OwnedRef object(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size())));
    OwnedRef repr(object ? PyObject_Repr(object.get()) : nullptr);
    const char* text = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return {};
    }
    return text;
}

/// A file that does not start with the magic, or the first of the file's
/// fixed parts (header, metadata, index) that does not fit in it.
Finding misplaced_file_part(const InputFile& file, std::uint64_t size) {
    std::array<std::byte, pulse_file_header_size> bytes{};
    const auto magic_length = static_cast<std::size_t>(std::min<std::uint64_t>(size, 4));
    if (!file.read_exact_at(0, std::span(bytes).first(magic_length))) return {};
    const auto magic = std::as_bytes(std::span("KVtP", 4));
    if (!std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(magic_length), magic.begin())) {
        return {"not a pulse file: it starts with " + bytes_repr(std::span(bytes).first(magic_length)) +
                ", not b'KVtP'"};
    }
    if (size < pulse_file_header_size) return {"the file is shorter than its 48-byte header", true};
    if (!file.read_exact_at(0, bytes)) return {};
    const PulseFileHeader header = PulseFileHeader::new_(bytes);
    const std::uint64_t metadata_at = pulse_file_header_size + encoding_record_size * encoding_record_count;
    if (std::string beyond = past_the_end(metadata_at, header.metadata_length, size); !beyond.empty()) {
        return {"its metadata runs from byte " + std::to_string(metadata_at) + beyond, true};
    }
    const std::uint64_t index_length =
        header.num_apertures > (UINT64_MAX - 8) / 12 ? UINT64_MAX : 8 + 12 * header.num_apertures;
    if (std::string beyond = past_the_end(header.index_offset, index_length, size); !beyond.empty()) {
        return {"its index of " + counted(header.num_apertures, "aperture") + " runs from byte " +
                    std::to_string(header.index_offset) + beyond,
                true, true};
    }
    return {};
}

/// Where the aperture's block lies, and whether it fits in the file.
Finding aperture_block(const PulseReader& reader, std::uint64_t aperture, std::uint64_t size) {
    const auto at = reader.index().get(aperture);
    if (!at) return {};
    const std::string where = "its block at byte " + std::to_string(*at);
    if (!past_the_end(*at, aperture_header_size, size).empty()) {
        return {where + " lies past the end of the file", true, true};
    }
    std::array<std::byte, aperture_header_size> header{};
    if (!reader.file().read_exact_at(*at, header)) return {};
    const std::uint32_t records = block_record_count(header);
    const std::uint64_t length = block_size(records);
    std::string text = where + " holds " + counted(records, "record") + " (" + counted(length, "byte") + ")";
    if (std::string beyond = past_the_end(*at, length, size); !beyond.empty()) {
        return {text + " and so runs" + beyond + ": the file was cut short or the block's header is damaged", true,
                true};
    }
    return {text};
}

/// For a failure in a read of many apertures that does not say which one:
/// the first of the blocks nearest the file's end that runs past it. Only
/// those blocks are looked at, since a file cut short loses its last blocks.
Finding block_past_the_end(const PulseReader& reader, std::uint64_t size) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> last_blocks;  // (position, aperture)
    for (const std::uint64_t aperture : reader.index().apertures()) {
        const auto at = reader.index().get(aperture);
        if (at) last_blocks.emplace_back(*at, aperture);
    }
    constexpr std::size_t looked_at = 64;
    const std::size_t count = std::min(looked_at, last_blocks.size());
    std::partial_sort(last_blocks.begin(), last_blocks.begin() + static_cast<std::ptrdiff_t>(count), last_blocks.end(),
                      std::greater<>());
    last_blocks.resize(count);
    std::sort(last_blocks.begin(), last_blocks.end());
    for (const auto& [at, aperture] : last_blocks) {
        Finding finding = aperture_block(reader, aperture, size);
        if (finding.past_end) {
            finding.text = "aperture " + std::to_string(aperture) + ": " + finding.text;
            return finding;
        }
    }
    return {};
}

/// Adds `note` to the exception's notes (PEP 678). Python 3.10 has no
/// add_note: there the list is set as the attribute add_note keeps,
/// __notes__, so that callers read the place alike on every version (the
/// command's one error line among them), though 3.10's tracebacks omit it.
bool add_note(PyObject* exception, const std::string& note) {
#if PY_VERSION_HEX >= 0x030B0000
    OwnedRef added(PyObject_CallMethod(exception, "add_note", "s#", note.data(), static_cast<Py_ssize_t>(note.size())));
    return static_cast<bool>(added);
#else
    OwnedRef notes(Py_BuildValue("[s#]", note.data(), static_cast<Py_ssize_t>(note.size())));
    return notes && PyObject_SetAttrString(exception, "__notes__", notes.get()) == 0;
#endif
}

std::string note_text(const ErrorPlace& place) {
    std::string text = "in ";
    if (place.aperture) text += "aperture " + std::to_string(*place.aperture) + " of ";
    text += "the file '" + std::string(place.file) + "'";
    auto opened = InputFile::open(std::string(place.file));
    if (!opened) return text;
    const InputFile& file = place.reader != nullptr ? place.reader->file() : *opened;
    const auto size = file.size();
    if (!size) return text;
    text += " (" + counted(*size, "byte") + " long)";
    // The aperture's own block first: a file cut inside it has lost its index
    // too, but the block is what the failed read was after.
    Finding finding;
    if (place.reader != nullptr) {
        finding = place.aperture ? aperture_block(*place.reader, *place.aperture, *size)
                                 : block_past_the_end(*place.reader, *size);
    }
    if (!finding.past_end) {
        Finding part = misplaced_file_part(file, *size);
        if (!part.text.empty()) {
            finding.text += (finding.text.empty() ? "" : "; ") + part.text;
            finding.salvageable = part.salvageable;
        }
    }
    if (!finding.text.empty()) text += ": " + finding.text;
    if (finding.salvageable) text += "; `kvt-pulses recover` can salvage the apertures it still holds";
    return text;
}

/// The note for `error`, or empty for none: the place in the file it
/// concerns, or just the file's name where the failure was not in reading it.
std::string note_for(const Error& error, const ErrorPlace& place) {
    // A file that exists is named by its message; arguments are not in a file.
    if (error.code() == ErrorCode::already_exists || error.code() == ErrorCode::invalid_argument) return {};
    if (!error.path().empty() && error.path() != place.file) return "in the file '" + error.path() + "'";
    if (place.file.empty()) return {};
    return note_text(place);
}

}  // namespace

PyObject* raise_runtime_error(const Error& error, const ErrorPlace& place) {
    const Kind kind = kind_of(error);
    PyObject* type = error_class(kind);
    if (type == nullptr) return nullptr;
    OwnedRef message(
        PyUnicode_FromStringAndSize(error.message().data(), static_cast<Py_ssize_t>(error.message().size())));
    if (!message) return nullptr;
    OwnedRef exception(PyObject_CallOneArg(type, message.get()));
    if (!exception) return nullptr;
    if (kind >= os) {
        const int number = error.os_error_number();
        const std::string_view file = error.path().empty() ? place.file : std::string_view(error.path());
        if (number != 0 && (!set_attribute(exception.get(), "errno", PyLong_FromLong(number)) ||
                            !set_attribute(exception.get(), "strerror", PyUnicode_FromString(std::strerror(number))))) {
            return nullptr;
        }
        if (!file.empty() &&
            !set_attribute(exception.get(), "filename",
                           PyUnicode_DecodeFSDefaultAndSize(file.data(), static_cast<Py_ssize_t>(file.size())))) {
            return nullptr;
        }
    }
    const std::string note = note_for(error, place);
    if (!note.empty() && !add_note(exception.get(), note)) return nullptr;
    PyErr_SetObject(type, exception.get());
    return nullptr;
}

PyObject* raise_panic(std::string_view message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return nullptr;
    OwnedRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return nullptr;
    PyErr_SetObject(type, text.get());
    return nullptr;
}

}  // namespace kvt::python
