// PulseReader._repr_html_: the small card with which a reader shows itself in
// Jupyter: the file, the run (fps, duration, sensor, trimming) and the
// header's counts. Everything comes from what the open reader already holds,
// so showing a reader reads nothing from the file but its size.
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "pulse_reader/metadata.hpp"
#include "pulse_reader/reader_object.hpp"

namespace kvt::python {

namespace {

std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string number(double value) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.10g", value);
    return text.data();
}

void row(std::string& card, std::string_view name, const std::string& value) {
    card += "<tr><th style=\"text-align:left;padding-right:1em\">";
    card += name;
    card += "</th><td style=\"text-align:left\">";
    card += value;
    card += "</td></tr>";
}

std::string metadata_text(const Metadata& metadata, std::string_view key, std::string_view unit = {}) {
    const auto value = metadata_number(metadata, key);
    if (!value) return "–";
    return number(*value) + std::string(unit);
}

}  // namespace

PyObject* repr_html_method(PyObject* self, PyObject* /*unused*/) {
    return guarded([&]() -> PyObject* {
        PyPulseReader* object = as_reader(self);
        SharedAccess access(object);
        if (!access) return nullptr;
        std::string card = "<div style=\"font-family:sans-serif;font-size:0.9em\"><b>PulseReader</b>";
        if (!object->reader) {
            card += " (closed)</div>";
            return PyUnicode_FromStringAndSize(card.data(), static_cast<Py_ssize_t>(card.size()));
        }
        const PulseReader& reader = *object->reader;
        const PulseFileHeader& header = reader.header();
        card += " <code>" + escaped(reader.path()) + "</code><table>";
        row(card, "fps", number(static_cast<double>(reader.fps())) + " frames/s");
        row(card, "duration", metadata_text(reader.metadata(), "duration", " s"));
        row(card, "sensor",
            metadata_text(reader.metadata(), "rows") + " rows × " + metadata_text(reader.metadata(), "cols") + " cols");
        row(card, "trimmed", reader.trimmed() ? "yes" : "no");
        row(card, "apertures", std::to_string(reader.index().size()) + " in the index");
        // Blocks lie back to back from data_offset to the index in every file
        // the writers make: the region's size then gives the record count.
        const std::uint64_t blocks = 16 * static_cast<std::uint64_t>(reader.index().size());
        const std::uint64_t region =
            header.index_offset > header.data_offset ? header.index_offset - header.data_offset : 0;
        if (region >= blocks && header.record_size != 0) {
            row(card, "records", std::to_string((region - blocks) / header.record_size) + " (from the data's size)");
        }
        row(card, "data", std::to_string(region) + " bytes from byte " + std::to_string(header.data_offset));
        const auto size = reader.file().size();
        if (size) row(card, "file", std::to_string(size.value()) + " bytes");
        row(card, "metadata", std::to_string(header.metadata_length) + " bytes");
        card += "</table></div>";
        return PyUnicode_FromStringAndSize(card.data(), static_cast<Py_ssize_t>(card.size()));
    });
}

}  // namespace kvt::python
