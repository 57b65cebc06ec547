// The JSON metadata block of a pulse file.
//
// The block is UTF-8 text holding one JSON value. Objects keep their members
// ordered by key (byte-wise) and a key given twice keeps its last value;
// numbers stay unsigned integers, negative integers or fractions as written.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "result.hpp"

namespace kvt {

using Metadata = nlohmann::json;

/// Checks that `text` is UTF-8, then parses it as one JSON value.
Result<Metadata> parse_metadata(std::string_view text);

/// The top-level member `key` as a double, when it is a JSON number.
std::optional<double> metadata_number(const Metadata& metadata, std::string_view key);

/// Whether "pulseCaller" -> "options" is an array holding the string
/// "trim_boundary_frames".
bool metadata_says_trimmed(const Metadata& metadata);

/// The position and length of the first invalid UTF-8 sequence in `text`, as
/// "invalid utf-8 sequence of N bytes from index P" or "incomplete utf-8 byte
/// sequence from index P"; nothing when the text is valid.
std::optional<std::string> find_invalid_utf8(std::string_view text);

}  // namespace kvt
