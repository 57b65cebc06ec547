// Small helpers shared by the test files.
#pragma once

#include <bit>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "pulse_file_builder.hpp"
#include "result.hpp"

namespace kvt::testing {

inline std::uint32_t bits(float value) noexcept { return std::bit_cast<std::uint32_t>(value); }

/// The quiet NaN that the reserved word 0x8000 decodes to.
inline constexpr std::uint32_t reserved_nan_bits = 0x7FC00000;

/// The message of a failed result, or a note that it did not fail.
template <class T>
std::string error_of(const Result<T>& result) {
    return result.ok() ? std::string("<no error>") : result.error().message();
}

/// Whether `text` contains `part`, with both shown when it does not.
inline ::testing::AssertionResult contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << text << "\" does not contain \"" << part << "\"";
}

}  // namespace kvt::testing
