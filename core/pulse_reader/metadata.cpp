#include "pulse_reader/metadata.hpp"

#include <cstdint>

namespace kvt {

std::optional<std::string> find_invalid_utf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t width = 0;
        // The allowed range of the second byte narrows for the leads that would
        // otherwise admit overlong forms, surrogates or values above U+10FFFF.
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            width = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            width = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            width = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return "invalid utf-8 sequence of 1 bytes from index " + std::to_string(i);
        }
        // Count the continuation bytes that are valid before the first that is not.
        std::size_t valid = 1;
        while (valid < width && i + valid < size) {
            const unsigned char next = bytes[i + valid];
            const unsigned char lo = valid == 1 ? low : 0x80;
            const unsigned char hi = valid == 1 ? high : 0xBF;
            if (next < lo || next > hi) break;
            ++valid;
        }
        if (valid == width) {
            i += width;
            continue;
        }
        if (i + valid == size) return "incomplete utf-8 byte sequence from index " + std::to_string(i);
        return "invalid utf-8 sequence of " + std::to_string(valid) + " bytes from index " + std::to_string(i);
    }
    return std::nullopt;
}

namespace {

/// nlohmann's messages start with "[json.exception.parse_error.101] "; the
/// message of this library is what follows that tag.
std::string strip_library_tag(std::string_view what) {
    if (!what.empty() && what.front() == '[') {
        const auto close = what.find("] ");
        if (close != std::string_view::npos) what.remove_prefix(close + 2);
    }
    return std::string(what);
}

/// "line L, column C" for a fault found after reading `end` bytes of `text`,
/// counted as the parser counts in its own messages: lines from 1, and the
/// column as the number of bytes read on the fault's line.
std::string line_and_column(std::string_view text, std::size_t end) {
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < end && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(end - line_start);
}

/// Follows a parse only to learn where it fails. The parser hands every
/// fault's position to its handler, but leaves it out of the message of its
/// out-of-range error (a number beyond the range of a double).
class FaultPosition final : public nlohmann::json_sax<Metadata> {
public:
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t at, const std::string&, const nlohmann::json::exception&) override {
        position = at;
        return false;
    }

    std::size_t position = 0;
};

}  // namespace

Result<Metadata> parse_metadata(std::string_view text) {
    if (auto invalid = find_invalid_utf8(text))
        return Error(ErrorCode::invalid_metadata, "Failed to parse metadata as UTF-8: " + *invalid);
    Metadata value;
    try {
        value = Metadata::parse(text);
    } catch (const nlohmann::json::out_of_range& error) {
        FaultPosition fault;
        Metadata::sax_parse(text, &fault);
        return Error(ErrorCode::invalid_metadata, "Failed to parse metadata JSON: parse error at " +
                                                      line_and_column(text, fault.position) + ": " +
                                                      strip_library_tag(error.what()));
    } catch (const nlohmann::json::exception& error) {
        return Error(ErrorCode::invalid_metadata, "Failed to parse metadata JSON: " + strip_library_tag(error.what()));
    }
    // The parser takes a NUL byte outside a string for the end of the input
    // (inside a string it is an error), so a value followed by a NUL and
    // anything at all would pass; JSON allows only whitespace after the value.
    if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
        return Error(ErrorCode::invalid_metadata,
                     "Failed to parse metadata JSON: parse error at " + line_and_column(text, nul + 1) +
                         ": syntax error while parsing value - unexpected NUL byte; expected end of input");
    }
    return value;
}

std::optional<double> metadata_number(const Metadata& metadata, std::string_view key) {
    if (!metadata.is_object()) return std::nullopt;
    const auto found = metadata.find(key);
    if (found == metadata.end() || !found->is_number()) return std::nullopt;
    return found->get<double>();
}

bool metadata_says_trimmed(const Metadata& metadata) {
    if (!metadata.is_object()) return false;
    const auto caller = metadata.find("pulseCaller");
    if (caller == metadata.end() || !caller->is_object()) return false;
    const auto options = caller->find("options");
    if (options == caller->end() || !options->is_array()) return false;
    for (const auto& option : *options) {
        if (option.is_string() && option.get_ref<const std::string&>() == "trim_boundary_frames") return true;
    }
    return false;
}

}  // namespace kvt
