// Small helpers shared by the test files.
#pragma once

#include <bit>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "pulse_file_builder.hpp"
#include "pulse_reader/records/normalized_pulse.hpp"
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

/// Every field equal, floats bit for bit (so NaN equals the same NaN).
inline void expect_same_pulse(const NormalizedPulse& a, const NormalizedPulse& b, const std::string& where) {
    EXPECT_EQ(a.index, b.index) << where;
    EXPECT_EQ(a.start_f, b.start_f) << where;
    EXPECT_EQ(a.end_f, b.end_f) << where;
    EXPECT_EQ(a.dur_f, b.dur_f) << where;
    EXPECT_EQ(bits(a.dur_s), bits(b.dur_s)) << where;
    EXPECT_EQ(a.ipd_f, b.ipd_f) << where;
    EXPECT_EQ(bits(a.ipd_s), bits(b.ipd_s)) << where;
    EXPECT_EQ(bits(a.snr), bits(b.snr)) << where;
    EXPECT_EQ(bits(a.intensity), bits(b.intensity)) << where;
    EXPECT_EQ(bits(a.bin0_intensity), bits(b.bin0_intensity)) << where;
    EXPECT_EQ(bits(a.intensity_display), bits(b.intensity_display)) << where;
    EXPECT_EQ(bits(a.binratio), bits(b.binratio)) << where;
    EXPECT_EQ(bits(a.bg_mean), bits(b.bg_mean)) << where;
    EXPECT_EQ(bits(a.bg_std), bits(b.bg_std)) << where;
    EXPECT_EQ(bits(a.bin0_bg_mean), bits(b.bin0_bg_mean)) << where;
    EXPECT_EQ(bits(a.bin0_bg_std), bits(b.bin0_bg_std)) << where;
}

/// Whether `text` contains `part`, with both shown when it does not.
inline ::testing::AssertionResult contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << text << "\" does not contain \"" << part << "\"";
}

}  // namespace kvt::testing
