#include "pulse_reader/records/formatted_record.hpp"

#include "pulse_reader/table_columns.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <type_traits>

#include "pulse_reader/headers/byte_order.hpp"
#include "pulse_reader/large_buffer.hpp"
#include "pulse_reader/records/word_scales.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kvt {

std::string_view record_type_name(FormattedRecordType type) noexcept {
    const auto code = static_cast<std::size_t>(type);
    return code < record_kinds.size() ? record_kinds[code].word : record_kinds.back().word;
}

namespace {

using detail::classify;
using detail::raw_value;
using detail::scaled_value;
using detail::WordScales;

/// Record `raw` into row i of `out`, one record at a time.
void decode_one(const std::byte* raw, const WordScales& scales, const RecordColumns& out, std::size_t i) noexcept {
    std::array<std::uint16_t, 8> w;
    for (std::size_t k = 0; k < 8; ++k) w[k] = load_le<std::uint16_t>(raw + 2 * k);
    const FormattedRecordType type = classify(w);
    out.ipd_f[i] = w[0];
    out.dur_f[i] = w[1];
    out.record_type[i] = type;
    if (out.wide != nullptr) out.wide[i] = std::uint32_t{w[4]} | (std::uint32_t{w[5]} << 16);
    // Which words are scaled, and whether w2 and w3 are zero (see RecordPiece::value).
    const bool pulse = type == FormattedRecordType::Pulse;
    const bool background = type == FormattedRecordType::Background;
    const bool marked = has_long_pulse_duration(type) || has_event_frame(type);
    for (std::size_t k = 2; k < 8; ++k) {
        if (out.value[k - 2] == nullptr) continue;
        const bool scaled = pulse || out.pulse_values_only || (k < 4 ? marked : background);
        float value = scaled ? scaled_value(w[k], scales, k) : raw_value(w[k]);
        if (k < 4 && background && !out.pulse_values_only) value = 0.0F;
        out.value[k - 2][i] = value;
    }
}

#if defined(__SSE2__)

/// Eight records at once, a lane per record, with the same values as
/// decode_one. The host is little-endian, as the file is.
class EightRecords {
public:
    // Registers in plain arrays: a std::array of them would drop their
    // alignment attributes.
    explicit EightRecords(const WordScales& scales) noexcept {
        for (std::size_t k = 0; k < 8; ++k) {
            reciprocal_[k] = _mm_set1_ps(scales.reciprocal[k]);
            offset_[k] = _mm_set1_ps(scales.offset[k]);
        }
    }

    /// The eight records from `raw` on, into rows i..i+7 of `out`.
    void decode(const std::byte* raw, const RecordColumns& out, std::size_t i) const noexcept {
        __m128i w[8];
        transpose(raw, w);
        store(out.ipd_f + i, w[0]);
        store(out.dur_f + i, w[1]);
        if (out.wide != nullptr) {
            store(out.wide + i, _mm_unpacklo_epi16(w[4], w[5]));
            store(out.wide + i + 4, _mm_unpackhi_epi16(w[4], w[5]));
        }

        // The record kinds, in the order of their rules; exactly one holds.
        const __m128i zero = _mm_setzero_si128();
        const __m128i ones = _mm_cmpeq_epi16(zero, zero);
        const __m128i pulse = _mm_andnot_si128(_mm_cmpeq_epi16(w[1], zero), ones);
        const __m128i padding = _mm_andnot_si128(pulse, _mm_cmpeq_epi16(w[0], ones));
        const __m128i other = _mm_andnot_si128(_mm_or_si128(pulse, padding), ones);
        const auto marked = [&](std::uint16_t marker) {
            return _mm_and_si128(other, _mm_cmpeq_epi16(w[6], _mm_set1_epi16(static_cast<short>(marker))));
        };
        const __m128i update = marked(detail::long_pulse_update_marker);
        const __m128i dropped = marked(detail::long_pulse_dropped_marker);
        const __m128i up = marked(detail::step_up_marker);
        const __m128i down = marked(detail::step_down_marker);
        const __m128i marker = _mm_or_si128(_mm_or_si128(update, dropped), _mm_or_si128(up, down));
        const __m128i unmarked = _mm_andnot_si128(marker, other);
        const __m128i background =
            _mm_and_si128(unmarked, _mm_and_si128(_mm_cmpeq_epi16(w[2], zero), _mm_cmpeq_epi16(w[3], zero)));
        const __m128i unknown = _mm_andnot_si128(background, unmarked);
        const auto code = [](__m128i mask, FormattedRecordType type) {
            return _mm_and_si128(mask, _mm_set1_epi16(static_cast<short>(type)));
        };
        const __m128i type =
            _mm_or_si128(_mm_or_si128(_mm_or_si128(code(padding, FormattedRecordType::Padding),
                                                   code(update, FormattedRecordType::LongPulseUpdate)),
                                      _mm_or_si128(code(dropped, FormattedRecordType::LongPulseDropped),
                                                   code(up, FormattedRecordType::StepUp))),
                         _mm_or_si128(_mm_or_si128(code(down, FormattedRecordType::StepDown),
                                                   code(background, FormattedRecordType::Background)),
                                      code(unknown, FormattedRecordType::Unknown)));
        static_assert(sizeof(FormattedRecordType) == 1 && static_cast<int>(FormattedRecordType::Pulse) == 0);
        const __m128i type_bytes = _mm_packus_epi16(type, type);
        std::memcpy(out.record_type + i, &type_bytes, 8);

        // Words 2 and 3 are scaled in pulses and marked records, zero in
        // backgrounds, as stored otherwise; words 4 to 7 are scaled in pulses
        // and backgrounds, as stored otherwise.
        const __m128i intensities_scaled = _mm_or_si128(pulse, marker);
        const __m128i rest_scaled = _mm_or_si128(pulse, background);
        // Word by word, each with its own constant k, so that the words stay
        // in registers.
        const auto word = [&](auto k_constant) {
            constexpr std::size_t k = decltype(k_constant)::value;
            if (out.value[k - 2] == nullptr) return;
            const __m128i scaled_lanes = k < 4 ? intensities_scaled : rest_scaled;
            const __m128i zero_lanes = k < 4 ? background : zero;
            __m128 scaled[2];
            scale(w[k], k, scaled);
            if (out.pulse_values_only) {
                _mm_storeu_ps(out.value[k - 2] + i, scaled[0]);
                _mm_storeu_ps(out.value[k - 2] + i + 4, scaled[1]);
                return;
            }
            for (std::size_t h = 0; h < 2; ++h) {
                const __m128 raw_value = _mm_cvtepi32_ps(widen_signed(w[k], h));
                const __m128 use_scaled = _mm_castsi128_ps(widen_mask(scaled_lanes, h));
                const __m128 use_zero = _mm_castsi128_ps(widen_mask(zero_lanes, h));
                const __m128 value = _mm_or_ps(_mm_and_ps(use_scaled, scaled[h]),
                                               _mm_andnot_ps(_mm_or_ps(use_scaled, use_zero), raw_value));
                _mm_storeu_ps(out.value[k - 2] + i + 4 * h, value);
            }
        };
        word(std::integral_constant<std::size_t, 2>{});
        word(std::integral_constant<std::size_t, 3>{});
        word(std::integral_constant<std::size_t, 4>{});
        word(std::integral_constant<std::size_t, 5>{});
        word(std::integral_constant<std::size_t, 6>{});
        word(std::integral_constant<std::size_t, 7>{});
    }

private:
    /// Eight consecutive 16-byte records from `first` on (one per register)
    /// as eight words (one per register, a lane per record).
    static void transpose(const std::byte* first, __m128i (&w)[8]) noexcept {
        __m128i r[8];
        for (std::size_t k = 0; k < 8; ++k) r[k] = load(first + k * event_record_size);
        const __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]);
        const __m128i a1 = _mm_unpackhi_epi16(r[0], r[1]);
        const __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]);
        const __m128i a3 = _mm_unpackhi_epi16(r[2], r[3]);
        const __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]);
        const __m128i a5 = _mm_unpackhi_epi16(r[4], r[5]);
        const __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]);
        const __m128i a7 = _mm_unpackhi_epi16(r[6], r[7]);
        const __m128i b0 = _mm_unpacklo_epi32(a0, a2);
        const __m128i b1 = _mm_unpackhi_epi32(a0, a2);
        const __m128i b2 = _mm_unpacklo_epi32(a1, a3);
        const __m128i b3 = _mm_unpackhi_epi32(a1, a3);
        const __m128i b4 = _mm_unpacklo_epi32(a4, a6);
        const __m128i b5 = _mm_unpackhi_epi32(a4, a6);
        const __m128i b6 = _mm_unpacklo_epi32(a5, a7);
        const __m128i b7 = _mm_unpackhi_epi32(a5, a7);
        w[0] = _mm_unpacklo_epi64(b0, b4);
        w[1] = _mm_unpackhi_epi64(b0, b4);
        w[2] = _mm_unpacklo_epi64(b1, b5);
        w[3] = _mm_unpackhi_epi64(b1, b5);
        w[4] = _mm_unpacklo_epi64(b2, b6);
        w[5] = _mm_unpackhi_epi64(b2, b6);
        w[6] = _mm_unpacklo_epi64(b3, b7);
        w[7] = _mm_unpackhi_epi64(b3, b7);
    }

    /// Lanes 4h..4h+3 of eight signed words, as 32-bit integers.
    static __m128i widen_signed(__m128i word, std::size_t h) noexcept {
        const __m128i doubled = h == 0 ? _mm_unpacklo_epi16(word, word) : _mm_unpackhi_epi16(word, word);
        return _mm_srai_epi32(doubled, 16);
    }
    /// Lanes 4h..4h+3 of a mask of eight 16-bit lanes, as 32-bit lanes.
    static __m128i widen_mask(__m128i mask, std::size_t h) noexcept {
        return h == 0 ? _mm_unpacklo_epi16(mask, mask) : _mm_unpackhi_epi16(mask, mask);
    }

    template <class T>
    static __m128i load(const T* from) noexcept {
        __m128i value;
        std::memcpy(&value, from, sizeof value);
        return value;
    }
    template <class T>
    static void store(T* to, __m128i value) noexcept {
        std::memcpy(to, &value, sizeof value);
    }

    /// Word k of eight records scaled: s * (1 / scale) + offset, then the
    /// three reserved values replaced by +inf, NaN and -inf.
    void scale(__m128i word, std::size_t k, __m128 (&value)[2]) const noexcept {
        for (std::size_t h = 0; h < 2; ++h) {
            value[h] = _mm_add_ps(_mm_mul_ps(_mm_cvtepi32_ps(widen_signed(word, h)), reciprocal_[k]), offset_[k]);
        }
        const __m128i plus = _mm_cmpeq_epi16(word, _mm_set1_epi16(0x7FFF));
        const __m128i nan = _mm_cmpeq_epi16(word, _mm_set1_epi16(static_cast<short>(0x8000)));
        const __m128i minus = _mm_cmpeq_epi16(word, _mm_set1_epi16(static_cast<short>(0x8001)));
        const __m128i reserved = _mm_or_si128(_mm_or_si128(plus, nan), minus);
        if (_mm_movemask_epi8(reserved) == 0) return;
        // The high halves of the floats' bits for the reserved lanes.
        const __m128i high = _mm_or_si128(
            _mm_or_si128(_mm_and_si128(plus, _mm_set1_epi16(0x7F80)), _mm_and_si128(nan, _mm_set1_epi16(0x7FC0))),
            _mm_and_si128(minus, _mm_set1_epi16(static_cast<short>(0xFF80))));
        const __m128i zero = _mm_setzero_si128();
        const __m128i mask[2] = {_mm_unpacklo_epi16(reserved, reserved), _mm_unpackhi_epi16(reserved, reserved)};
        const __m128i bits[2] = {_mm_unpacklo_epi16(zero, high), _mm_unpackhi_epi16(zero, high)};
        for (std::size_t h = 0; h < 2; ++h) {
            value[h] = _mm_or_ps(_mm_andnot_ps(_mm_castsi128_ps(mask[h]), value[h]), _mm_castsi128_ps(bits[h]));
        }
    }

    __m128 reciprocal_[8];
    __m128 offset_[8];
};

#endif

}  // namespace

void decode_records_into(std::span<const std::byte> raw, const EncodingRecords& encodings,
                         const RecordColumns& out) noexcept {
    const std::size_t count = raw.size() / event_record_size;
    const WordScales scales(encodings);
    // A copy of the pointers that the compiler can keep in registers: every
    // store through them might otherwise have changed `out`.
    const RecordColumns columns = out;
    std::size_t i = 0;
#if defined(__SSE2__)
    const EightRecords eight(scales);
    for (; i + 8 <= count; i += 8) eight.decode(raw.data() + i * event_record_size, columns, i);
#endif
    for (; i < count; ++i) decode_one(raw.data() + i * event_record_size, scales, columns, i);
}

RecordColumns RecordPiece::columns(DecodedValues wanted) noexcept {
    // Normalization reads no frame counts.
    RecordColumns columns{
        ipd_f.data(),      dur_f.data(), record_type.data(), {}, wanted.pulses_only ? nullptr : wide.data(),
        wanted.pulses_only};
    for (std::size_t k = 0; k < record_value_count; ++k) {
        columns.value[k] = wanted.fields[k] ? value[k].data() : nullptr;
    }
    return columns;
}

void decode_piece(std::span<const std::byte> raw, const EncodingRecords& encodings, std::uint64_t first_index,
                  RecordPiece& out, DecodedValues values) noexcept {
    const std::size_t count = std::min(raw.size() / event_record_size, RecordPiece::capacity);
    out.count = count;
    out.first_index = first_index;
    out.decoded = values;
    decode_records_into(raw.first(count * event_record_size), encodings, out.columns(values));
}

FormattedRecord RecordPiece::row(std::size_t i) const noexcept {
    FormattedRecord record;
    record.index = first_index + i;
    record.ipd_f = ipd_f[i];
    record.dur_f = dur_f[i];
    record.record_type = record_type[i];
    // A row of a piece decoded for normalization alone holds no values.
    const bool have_values = !decoded.pulses_only || record_type[i] == FormattedRecordType::Pulse;
    const auto field = [&](RecordValue k) { return have_values && decoded.fields[k] ? value[k][i] : 0.0F; };
    record.bin0_intensity = field(bin0_intensity_value);
    record.bin1_intensity = field(bin1_intensity_value);
    record.bin0_bg_mean = field(bin0_bg_mean_value);
    record.bin1_bg_mean = field(bin1_bg_mean_value);
    record.bin0_bg_std = field(bin0_bg_std_value);
    record.bin1_bg_std = field(bin1_bg_std_value);
    if (!decoded.pulses_only && has_long_pulse_duration(record.record_type)) record.long_pulse_duration_f = wide[i];
    if (!decoded.pulses_only && has_event_frame(record.record_type)) record.event_f = wide[i];
    return record;
}

std::vector<FormattedRecord> decode_records(std::span<const std::byte> block, const EncodingRecords& encodings) {
    std::vector<FormattedRecord> records;
    reserve_large(records, block.size() / event_record_size);
    const auto piece = std::make_unique<RecordPiece>();
    decode_block_pieces(block, encodings, *piece, [&records](const RecordPiece& decoded) {
        for (std::size_t i = 0; i < decoded.count; ++i) records.push_back(decoded.row(i));
    });
    return records;
}

}  // namespace kvt
