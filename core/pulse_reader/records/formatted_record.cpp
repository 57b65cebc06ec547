#include "pulse_reader/records/formatted_record.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <memory>

#include "pulse_reader/headers/byte_order.hpp"
#include "pulse_reader/large_buffer.hpp"

namespace kvt {

std::string_view record_type_name(FormattedRecordType type) noexcept {
    switch (type) {
        case FormattedRecordType::Pulse: return "pulse";
        case FormattedRecordType::Padding: return "padding";
        case FormattedRecordType::LongPulseUpdate: return "long_pulse_update";
        case FormattedRecordType::LongPulseDropped: return "long_pulse_dropped";
        case FormattedRecordType::StepUp: return "step_up";
        case FormattedRecordType::StepDown: return "step_down";
        case FormattedRecordType::Background: return "background";
        case FormattedRecordType::Unknown: return "unknown";
    }
    return "unknown";
}

namespace {

// Marker values of w6 in long-pulse and step records.
constexpr std::uint16_t long_pulse_update_marker = 0xFFFD;
constexpr std::uint16_t long_pulse_dropped_marker = 0xFFFE;
constexpr std::uint16_t step_up_marker = 0xFFFB;
constexpr std::uint16_t step_down_marker = 0xFFFA;
constexpr std::uint16_t padding_ipd = 0xFFFF;

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

inline float raw_value(std::uint16_t word) noexcept {
    return static_cast<float>(static_cast<std::int16_t>(word));
}

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

inline void decode_into(FormattedRecord& out, const std::byte* raw, const WordScales& scales,
                        std::uint64_t index) noexcept {
    std::array<std::uint16_t, 8> w;
    for (std::size_t k = 0; k < 8; ++k) w[k] = load_le<std::uint16_t>(raw + 2 * k);

    out.index = index;
    out.ipd_f = w[0];
    out.dur_f = w[1];
    out.long_pulse_duration_f.reset();
    out.event_f.reset();
    const FormattedRecordType type = classify(w);
    out.record_type = type;
    const std::uint32_t wide = std::uint32_t{w[4]} | (std::uint32_t{w[5]} << 16);

    switch (type) {
        case FormattedRecordType::Pulse:
            out.bin0_intensity = scaled_value(w[2], scales, 2);
            out.bin1_intensity = scaled_value(w[3], scales, 3);
            out.bin0_bg_mean = scaled_value(w[4], scales, 4);
            out.bin1_bg_mean = scaled_value(w[5], scales, 5);
            out.bin0_bg_std = scaled_value(w[6], scales, 6);
            out.bin1_bg_std = scaled_value(w[7], scales, 7);
            break;
        case FormattedRecordType::Padding:
        case FormattedRecordType::Unknown:
            out.bin0_intensity = raw_value(w[2]);
            out.bin1_intensity = raw_value(w[3]);
            out.bin0_bg_mean = raw_value(w[4]);
            out.bin1_bg_mean = raw_value(w[5]);
            out.bin0_bg_std = raw_value(w[6]);
            out.bin1_bg_std = raw_value(w[7]);
            break;
        case FormattedRecordType::LongPulseUpdate:
        case FormattedRecordType::LongPulseDropped:
        case FormattedRecordType::StepUp:
        case FormattedRecordType::StepDown:
            out.bin0_intensity = scaled_value(w[2], scales, 2);
            out.bin1_intensity = scaled_value(w[3], scales, 3);
            out.bin0_bg_mean = raw_value(w[4]);
            out.bin1_bg_mean = raw_value(w[5]);
            // The marker word itself: -3, -2, -5 or -6.
            out.bin0_bg_std = raw_value(w[6]);
            out.bin1_bg_std = raw_value(w[7]);
            if (type == FormattedRecordType::LongPulseUpdate || type == FormattedRecordType::LongPulseDropped) {
                out.long_pulse_duration_f = wide;
            } else {
                out.event_f = wide;
            }
            break;
        case FormattedRecordType::Background:
            out.bin0_intensity = 0.0F;
            out.bin1_intensity = 0.0F;
            out.bin0_bg_mean = scaled_value(w[4], scales, 4);
            out.bin1_bg_mean = scaled_value(w[5], scales, 5);
            out.bin0_bg_std = scaled_value(w[6], scales, 6);
            out.bin1_bg_std = scaled_value(w[7], scales, 7);
            break;
    }
}

}  // namespace

FormattedRecord FormattedRecord::from_raw(std::span<const std::byte, event_record_size> raw,
                                          const EncodingRecords& encodings, std::uint64_t index) noexcept {
    FormattedRecord record;
    decode_into(record, raw.data(), WordScales(encodings), index);
    return record;
}

void decode_records_into(std::span<const std::byte> block, const EncodingRecords& encodings,
                         std::uint64_t first_index, std::span<FormattedRecord> out) noexcept {
    const std::size_t count = std::min(block.size() / event_record_size, out.size());
    const WordScales scales(encodings);
    for (std::size_t i = 0; i < count; ++i) {
        decode_into(out[i], block.data() + i * event_record_size, scales, first_index + i);
    }
}

std::vector<FormattedRecord> decode_records(std::span<const std::byte> block, const EncodingRecords& encodings) {
    const std::size_t count = block.size() / event_record_size;
    std::vector<FormattedRecord> records;
    reserve_large(records, count);
    const WordScales scales(encodings);
    for (std::size_t i = 0; i < count; ++i) decode_into(records.emplace_back(), block.data() + i * event_record_size, scales, i);
    return records;
}

}  // namespace kvt
