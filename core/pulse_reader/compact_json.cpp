#include "pulse_reader/compact_json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

namespace kvt {

namespace {

void append_string(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out += hex[byte >> 4];
                    out += hex[byte & 15U];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

template <class Integer>
void append_integer(std::string& out, Integer value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

/// Writes a value that is neither an object nor an array; false for a value
/// that JSON text cannot hold (binary data, a non-finite number).
bool append_scalar(std::string& out, const Metadata& value) {
    switch (value.type()) {
        case Metadata::value_t::null: out += "null"; return true;
        case Metadata::value_t::boolean: out += value.get<bool>() ? "true" : "false"; return true;
        case Metadata::value_t::number_integer: append_integer(out, value.get<std::int64_t>()); return true;
        case Metadata::value_t::number_unsigned: append_integer(out, value.get<std::uint64_t>()); return true;
        case Metadata::value_t::number_float: {
            const double number = value.get<double>();
            if (!std::isfinite(number)) return false;
            out += format_json_double(number);
            return true;
        }
        case Metadata::value_t::string: append_string(out, value.get_ref<const std::string&>()); return true;
        default: return false;
    }
}

Error not_expressible() {
    return Error(ErrorCode::invalid_metadata, "The metadata holds a value that JSON text cannot express");
}

/// Appends `root` without recursion: each open object or array is a frame
/// holding the iterator of its next member.
Status append_value(std::string& out, const Metadata& root) {
    struct Frame {
        const Metadata* container;
        Metadata::const_iterator next;
    };
    std::vector<Frame> stack;
    // Opens a container (pushing a frame) or writes a scalar.
    auto begin = [&](const Metadata& value) -> bool {
        if (value.is_object() || value.is_array()) {
            out += value.is_object() ? '{' : '[';
            stack.push_back({&value, value.cbegin()});
            return true;
        }
        return append_scalar(out, value);
    };
    if (!begin(root)) return not_expressible();
    while (!stack.empty()) {
        Frame& frame = stack.back();
        const bool object = frame.container->is_object();
        if (frame.next == frame.container->cend()) {
            out += object ? '}' : ']';
            stack.pop_back();
            continue;
        }
        if (frame.next != frame.container->cbegin()) out += ',';
        const auto member = frame.next++;
        if (object) {
            append_string(out, member.key());
            out += ':';
        }
        // May push a frame, so `frame` is not used after this.
        if (!begin(*member)) return not_expressible();
    }
    return {};
}

}  // namespace

std::string format_json_double(double value) {
    if (value == 0.0) return std::signbit(value) ? "-0.0" : "0.0";
    // The shortest digits that read back to `value`, as "-d.ddde-XX".
    char scientific[40];
    const auto end =
        std::to_chars(scientific, scientific + sizeof scientific, value, std::chars_format::scientific).ptr;
    const std::string_view text(scientific, static_cast<std::size_t>(end - scientific));
    const auto e = text.find('e');
    std::string digits;
    for (const char c : text.substr(0, e)) {
        if (c >= '0' && c <= '9') digits += c;
    }
    int exponent = 0;  // of the first digit
    std::from_chars(text.data() + e + 1 + (text[e + 1] == '+' ? 1 : 0), text.data() + text.size(), exponent);

    std::string out = value < 0 ? "-" : "";
    const auto length = static_cast<int>(digits.size());
    const int point = exponent + 1;  // digits before the decimal point
    if (point > 16 || point <= -5) {
        out += digits[0];
        if (length > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += 'e';
        append_integer(out, point - 1);
    } else if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (length <= point) {
        out += digits;
        out.append(static_cast<std::size_t>(point - length), '0');
        out += ".0";
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

Result<std::string> to_compact_json(const Metadata& value) {
    std::string out;
    if (Status written = append_value(out, value); !written) return std::move(written).error();
    return out;
}

Result<std::string> to_compact_json(const Metadata& object,
                                    std::span<const std::pair<std::string_view, std::uint64_t>> replacements) {
    if (!object.is_object()) return Error(ErrorCode::invalid_metadata, "The metadata is not a JSON object");
    std::vector<std::pair<std::string_view, std::uint64_t>> sorted(replacements.begin(), replacements.end());
    std::sort(sorted.begin(), sorted.end());

    // Members in key order: the object's own, merged with the replacements.
    std::string out = "{";
    bool first = true;
    auto separate = [&] {
        if (!first) out += ',';
        first = false;
    };
    auto replacement = sorted.begin();
    auto write_replacement = [&] {
        separate();
        append_string(out, replacement->first);
        out += ':';
        append_integer(out, replacement->second);
        const std::string_view key = replacement->first;
        while (replacement != sorted.end() && replacement->first == key) ++replacement;
    };
    for (auto member = object.cbegin(); member != object.cend(); ++member) {
        const std::string_view key = member.key();
        while (replacement != sorted.end() && replacement->first < key) write_replacement();
        if (replacement != sorted.end() && replacement->first == key) {
            write_replacement();
            continue;
        }
        separate();
        append_string(out, key);
        out += ':';
        if (Status written = append_value(out, *member); !written) return std::move(written).error();
    }
    while (replacement != sorted.end()) write_replacement();
    out += '}';
    return out;
}

}  // namespace kvt
