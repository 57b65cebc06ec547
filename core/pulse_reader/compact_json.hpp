// Compact JSON text of a metadata value, as the merge writes it.
//
// No whitespace between tokens; object members at every level in ascending
// byte order of their keys; strings as UTF-8 with only the quote, the
// backslash and control characters escaped (\b \f \n \r \t, others \u00xx);
// integers in decimal; every other number in the shortest decimal form that
// reads back to the same double, always with a fraction or an exponent:
//
//   3.0 -> 3.0   0.1 -> 0.1   1e300 -> 1e300   1.5e-7 -> 1.5e-7
//   0.00001 -> 0.00001   1e16 -> 1e16   123456789.0 -> 123456789.0
//
// (plain notation from 1e-5 up to below 1e16, exponent notation beyond).
//
// The writer keeps its own stack instead of recursing, so that metadata
// nested however deeply (the parser accepts any depth) is written without
// exhausting the call stack.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "pulse_reader/metadata.hpp"
#include "result.hpp"

namespace kvt {

/// The compact text of `value`.
[[nodiscard]] Result<std::string> to_compact_json(const Metadata& value);

/// The compact text of the object `object` with the members in `replacements`
/// set to unsigned integers (replacing a member of that name or adding one).
/// `object` must be a JSON object; `replacements` may come in any order.
[[nodiscard]] Result<std::string> to_compact_json(
    const Metadata& object, std::span<const std::pair<std::string_view, std::uint64_t>> replacements);

/// The shortest round-trip text of a finite double, as described above.
[[nodiscard]] std::string format_json_double(double value);

}  // namespace kvt
