#include "errors.hpp"

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "pulse_reader/file.hpp"
#include "pulse_reader/headers/byte_order.hpp"
#include "pulse_reader/headers/pulse_file_header.hpp"
#include "pulse_reader/pulse_reader.hpp"

namespace kvt::python {

PyObject* raise_runtime_error(std::string_view message) {
    PyErr_SetString(PyExc_RuntimeError, std::string(message).c_str());
    return nullptr;
}

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

/// The first of the file's fixed parts (header, metadata, index) that does
/// not fit in it, or empty.
std::string misplaced_file_part(const InputFile& file, std::uint64_t size) {
    if (size < pulse_file_header_size) return "the file is shorter than its 48-byte header";
    std::array<std::byte, pulse_file_header_size> bytes{};
    if (!file.read_exact_at(0, bytes)) return {};
    const PulseFileHeader header = PulseFileHeader::new_(bytes);
    const std::uint64_t metadata_at = pulse_file_header_size + encoding_record_size * encoding_record_count;
    if (std::string beyond = past_the_end(metadata_at, header.metadata_length, size); !beyond.empty()) {
        return "its metadata runs from byte " + std::to_string(metadata_at) + beyond;
    }
    const std::uint64_t index_length =
        header.num_apertures > (UINT64_MAX - 8) / 12 ? UINT64_MAX : 8 + 12 * header.num_apertures;
    if (std::string beyond = past_the_end(header.index_offset, index_length, size); !beyond.empty()) {
        return "its index of " + counted(header.num_apertures, "aperture") + " runs from byte " +
               std::to_string(header.index_offset) + beyond;
    }
    return {};
}

/// Where the aperture's block lies, and whether it fits in the file.
std::string aperture_block(const PulseReader& reader, std::uint64_t aperture, std::uint64_t size) {
    const auto at = reader.index().get(aperture);
    if (!at) return {};
    const std::string where = "its block at byte " + std::to_string(*at);
    if (std::string beyond = past_the_end(*at, 16, size); !beyond.empty()) return where + " lies past the end of the file";
    std::array<std::byte, 16> header{};
    if (!reader.file().read_exact_at(*at, header)) return {};
    const auto records = load_le<std::uint32_t>(header.data() + 12);
    const std::uint64_t length = 16 + std::uint64_t{16} * records;
    std::string text = where + " holds " + counted(records, "record") + " (" + counted(length, "byte") + ")";
    if (std::string beyond = past_the_end(*at, length, size); !beyond.empty()) {
        return text + " and so runs" + beyond + ": the file was cut short or the block's header is damaged";
    }
    return text;
}

/// For a failure in a read of many apertures that does not say which one:
/// the first of the blocks nearest the file's end that runs past it. Only
/// those blocks are looked at, since a file cut short loses its last blocks.
std::string block_past_the_end(const PulseReader& reader, std::uint64_t size) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> last_blocks;  // (position, aperture)
    for (const std::uint64_t aperture : reader.index().apertures()) {
        const auto at = reader.index().get(aperture);
        if (at) last_blocks.emplace_back(*at, aperture);
    }
    constexpr std::size_t looked_at = 64;
    const std::size_t count = std::min(looked_at, last_blocks.size());
    std::partial_sort(last_blocks.begin(), last_blocks.begin() + static_cast<std::ptrdiff_t>(count),
                      last_blocks.end(), std::greater<>());
    last_blocks.resize(count);
    std::sort(last_blocks.begin(), last_blocks.end());
    for (const auto& [at, aperture] : last_blocks) {
        std::string finding = aperture_block(reader, aperture, size);
        if (finding.find("past the end") != std::string::npos) {
            return "aperture " + std::to_string(aperture) + ": " + finding;
        }
    }
    return {};
}

// Unused where the interpreter has no exception notes (before 3.11).
[[maybe_unused]] std::string note_text(const ErrorPlace& place) {
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
    std::string finding;
    if (place.reader != nullptr) {
        finding = place.aperture ? aperture_block(*place.reader, *place.aperture, *size)
                                 : block_past_the_end(*place.reader, *size);
    }
    if (finding.find("past the end") == std::string::npos) {
        const std::string part = misplaced_file_part(file, *size);
        if (!part.empty()) finding += (finding.empty() ? "" : "; ") + part;
    }
    if (!finding.empty()) text += ": " + finding;
    return text;
}

}  // namespace

PyObject* raise_runtime_error(const Error& error, const ErrorPlace& place) {
    OwnedRef message(PyUnicode_FromStringAndSize(error.message().data(),
                                                 static_cast<Py_ssize_t>(error.message().size())));
    if (!message) return nullptr;
    OwnedRef exception(PyObject_CallOneArg(PyExc_RuntimeError, message.get()));
    if (!exception) return nullptr;
#if PY_VERSION_HEX >= 0x030B0000
    const std::string note = note_text(place);
    OwnedRef added(PyObject_CallMethod(exception.get(), "add_note", "s#", note.data(),
                                       static_cast<Py_ssize_t>(note.size())));
    if (!added) return nullptr;
#else
    (void)place;
#endif
    PyErr_SetObject(PyExc_RuntimeError, exception.get());
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
