// The scaling of an event record's words, shared by the record decoders.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "pulse_reader/headers/pulse_file_header.hpp"
#include "pulse_reader/records/formatted_record.hpp"

namespace kvt::detail {

/// The values of w6 that mark long-pulse and step records.
enum Word6Marker : std::uint16_t {
    long_pulse_update_marker = 0xFFFD,
    long_pulse_dropped_marker = 0xFFFE,
    step_up_marker = 0xFFFB,
    step_down_marker = 0xFFFA,
};
/// The ipd_f (w0) of a padding record.
inline constexpr std::uint16_t padding_ipd = 0xFFFF;

/// Words 2..7 scaled by their encoding records. The scale is a power of two, so
/// dividing by it gives the same bits as multiplying by its exact reciprocal
/// (the quotient of a 16-bit integer by at most 2^15 is never subnormal); the
/// multiplication keeps the loop free of divisions.
struct WordScales {
    std::array<float, 8> reciprocal{};
    std::array<float, 8> offset{};

    explicit WordScales(const EncodingRecords& encodings) noexcept {
        for (std::size_t k = 0; k < 8; ++k) {
            reciprocal[k] = 1.0F / encodings[k].scale;
            offset[k] = encodings[k].offset;
        }
    }
};

inline float raw_value(std::uint16_t word) noexcept { return static_cast<float>(static_cast<std::int16_t>(word)); }

inline float scaled_value(std::uint16_t word, const WordScales& scales, std::size_t k) noexcept {
    switch (word) {
        case 0x7FFF: return std::numeric_limits<float>::infinity();
        case 0x8000: return std::bit_cast<float>(std::uint32_t{0x7FC00000});
        case 0x8001: return -std::numeric_limits<float>::infinity();
        default: break;
    }
    // Product then sum, each rounded to f32: the build forbids contracting them.
    float quotient = raw_value(word) * scales.reciprocal[k];
    return quotient + scales.offset[k];
}

inline FormattedRecordType classify(const std::array<std::uint16_t, 8>& w) noexcept {
    if (w[1] != 0) return FormattedRecordType::Pulse;
    if (w[0] == padding_ipd) return FormattedRecordType::Padding;
    switch (w[6]) {
        case long_pulse_update_marker: return FormattedRecordType::LongPulseUpdate;
        case long_pulse_dropped_marker: return FormattedRecordType::LongPulseDropped;
        case step_up_marker: return FormattedRecordType::StepUp;
        case step_down_marker: return FormattedRecordType::StepDown;
        default: break;
    }
    if (w[2] == 0 && w[3] == 0) return FormattedRecordType::Background;
    return FormattedRecordType::Unknown;
}

}  // namespace kvt::detail
