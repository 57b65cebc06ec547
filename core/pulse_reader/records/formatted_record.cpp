#include "pulse_reader/records/formatted_record.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <memory>

#include "pulse_reader/headers/byte_order.hpp"
#include "pulse_reader/large_buffer.hpp"
#include "pulse_reader/records/word_scales.hpp"

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

using detail::WordScales;
using detail::classify;
using detail::raw_value;
using detail::scaled_value;

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
