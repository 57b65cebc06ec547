#include "pulse_reader/records/column_decoding.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>

#include "pulse_reader/headers/byte_order.hpp"
#include "pulse_reader/records/word_scales.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kvt {

namespace {

constexpr double absent = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------
// Records

/// Writes one field of every record of a piece into its column.
template <class T, class Field>
void put_field(T* out, std::span<const FormattedRecord> records, Field FormattedRecord::*field) noexcept {
    for (std::size_t i = 0; i < records.size(); ++i) out[i] = records[i].*field;
}

/// Writes an optional u32 field as f64, NaN where it is absent.
void put_optional(double* out, std::span<const FormattedRecord> records,
                  std::optional<std::uint32_t> FormattedRecord::*field) noexcept {
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::optional<std::uint32_t>& value = records[i].*field;
        out[i] = value ? *value : absent;
    }
}

}  // namespace

std::uint32_t sum_ipd_f(std::span<const std::byte> block) noexcept {
    const std::size_t count = block.size() / event_record_size;
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += load_le<std::uint16_t>(block.data() + i * event_record_size);
    return sum;
}

// ---------------------------------------------------------------------------
// Pulses
//
// A record moves the frame counter by its ipd_f (w0), and a pulse then by its
// duration (w1) to its end; every other record has w1 = 0. So the frame after
// record i is the wrapping sum of w0 + w1 over records 0..i, and a pulse ends
// there. Each piece is normalized in two passes: the first walks the records
// in order, keeping the pulses' raw records, positions and end frames; the
// second turns the kept pulses into column values, eight at a time.

namespace {

struct PulseScratch {
    std::array<std::array<std::byte, event_record_size>, decoding_piece> records;  ///< the pulses' raw records
    std::array<std::uint32_t, decoding_piece> position;  ///< record number in the piece
    /// end[0] is the end of the pulse before the piece (the first pulse's
    /// start when there is none, so that its ipd_f is 0); end[1 + t] is the
    /// end of pulse t.
    std::array<std::uint32_t, decoding_piece + 1> end;
};

/// The column values of pulse t of the scratch, written at row `row`.
void store_scratch_pulse(const PulseScratch& scratch, std::size_t t, std::uint64_t index, const detail::WordScales& scales,
                         float fps, const PulseColumnPointers& out, std::size_t row) noexcept {
    const std::byte* raw = scratch.records[t].data();
    std::array<std::uint16_t, 8> w;
    for (std::size_t k = 0; k < 8; ++k) w[k] = load_le<std::uint16_t>(raw + 2 * k);
    const std::uint32_t end = scratch.end[1 + t];
    const std::uint32_t dur = w[1];
    const std::uint32_t start = end - dur;
    const std::uint32_t ipd = start - scratch.end[t];
    const float bin0_intensity = detail::scaled_value(w[2], scales, 2);
    const float bin1_intensity = detail::scaled_value(w[3], scales, 3);
    const float bin0_bg_mean = detail::scaled_value(w[4], scales, 4);
    const float bin1_bg_mean = detail::scaled_value(w[5], scales, 5);
    const float bin0_bg_std = detail::scaled_value(w[6], scales, 6);
    const float bin1_bg_std = detail::scaled_value(w[7], scales, 7);
    out.index[row] = index;
    out.start_f[row] = start;
    out.end_f[row] = end;
    out.dur_f[row] = dur;
    out.dur_s[row] = static_cast<float>(dur) / fps;
    out.ipd_f[row] = ipd;
    out.ipd_s[row] = static_cast<float>(ipd) / fps;
    out.snr[row] = bin1_intensity / bin1_bg_std;
    out.intensity[row] = bin1_intensity;
    out.bin0_intensity[row] = bin0_intensity;
    out.intensity_display[row] = bin1_intensity + bin1_bg_mean;
    out.binratio[row] = bin0_intensity / bin1_intensity;
    out.bg_mean[row] = bin1_bg_mean;
    out.bg_std[row] = bin1_bg_std;
    out.bin0_bg_mean[row] = bin0_bg_mean;
    out.bin0_bg_std[row] = bin0_bg_std;
}

#if defined(__SSE2__)

/// Eight records at once, a lane per record: the column values of eight pulses
/// of the scratch (the same as store_scratch_pulse), or of eight records (the
/// same as decode_records).
class Eight {
public:
    // Registers in plain arrays: a std::array of them would drop their
    // alignment attributes.
    Eight(const detail::WordScales& scales, float fps) noexcept : fps_(_mm_set1_ps(fps)) {
        for (std::size_t k = 0; k < 8; ++k) {
            reciprocal_[k] = _mm_set1_ps(scales.reciprocal[k]);
            offset_[k] = _mm_set1_ps(scales.offset[k]);
        }
    }

    /// Pulses t..t+7 of the scratch, written at rows row..row+7.
    void pulses(const PulseScratch& scratch, std::size_t t, std::uint64_t first_index, const PulseColumnPointers& out,
                std::size_t row) const noexcept {
        __m128i w[8];
        transpose(scratch.records[t].data(), w);
        const __m128i w1 = w[1];

        // Frames, four lanes at a time.
        const __m128i zero = _mm_setzero_si128();
        const __m128i dur[2] = {_mm_unpacklo_epi16(w1, zero), _mm_unpackhi_epi16(w1, zero)};
        for (std::size_t h = 0; h < 2; ++h) {
            const std::size_t u = t + 4 * h;
            const __m128i end = load(scratch.end.data() + 1 + u);
            const __m128i start = _mm_sub_epi32(end, dur[h]);
            const __m128i ipd = _mm_sub_epi32(start, load(scratch.end.data() + u));
            const std::size_t at = row + 4 * h;
            store(out.start_f + at, start);
            store(out.end_f + at, end);
            store(out.dur_f + at, dur[h]);
            _mm_storeu_ps(out.dur_s + at, _mm_div_ps(_mm_cvtepi32_ps(dur[h]), fps_));
            store(out.ipd_f + at, ipd);
            _mm_storeu_ps(out.ipd_s + at, _mm_div_ps(unsigned_to_float(ipd), fps_));
            // Record numbers, two lanes of 64 bits at a time.
            const __m128i position = load(scratch.position.data() + u);
            const __m128i base = _mm_set1_epi64x(static_cast<long long>(first_index));
            store(out.index + at, _mm_add_epi64(base, _mm_unpacklo_epi32(position, zero)));
            store(out.index + at + 2, _mm_add_epi64(base, _mm_unpackhi_epi32(position, zero)));
        }

        __m128 bin0_intensity[2];
        __m128 bin1_intensity[2];
        __m128 bin1_bg_mean[2];
        __m128 bin1_bg_std[2];
        scale(w[2], 2, bin0_intensity);
        scale(w[3], 3, bin1_intensity);
        scale(w[5], 5, bin1_bg_mean);
        scale(w[7], 7, bin1_bg_std);
        __m128 bin0_bg_mean[2];
        __m128 bin0_bg_std[2];
        scale(w[4], 4, bin0_bg_mean);
        scale(w[6], 6, bin0_bg_std);
        for (std::size_t h = 0; h < 2; ++h) {
            const std::size_t at = row + 4 * h;
            _mm_storeu_ps(out.snr + at, _mm_div_ps(bin1_intensity[h], bin1_bg_std[h]));
            _mm_storeu_ps(out.intensity + at, bin1_intensity[h]);
            _mm_storeu_ps(out.bin0_intensity + at, bin0_intensity[h]);
            _mm_storeu_ps(out.intensity_display + at, _mm_add_ps(bin1_intensity[h], bin1_bg_mean[h]));
            _mm_storeu_ps(out.binratio + at, _mm_div_ps(bin0_intensity[h], bin1_intensity[h]));
            _mm_storeu_ps(out.bg_mean + at, bin1_bg_mean[h]);
            _mm_storeu_ps(out.bg_std + at, bin1_bg_std[h]);
            _mm_storeu_ps(out.bin0_bg_mean + at, bin0_bg_mean[h]);
            _mm_storeu_ps(out.bin0_bg_std + at, bin0_bg_std[h]);
        }
    }

    /// The eight records from `raw` on, written at rows row..row+7;
    /// "start_f" continues from `start_f`, which is advanced.
    void records(const std::byte* raw, std::uint32_t& start_f, const RecordColumnPointers& out,
                 std::size_t row) const noexcept {
        __m128i w[8];
        transpose(raw, w);
        store(out.ipd_f + row, w[0]);
        store(out.dur_f + row, w[1]);

        // start_f: the running sum of ipd_f, four lanes at a time.
        const __m128i zero = _mm_setzero_si128();
        __m128i carry = _mm_set1_epi32(static_cast<int>(start_f));
        for (std::size_t h = 0; h < 2; ++h) {
            __m128i sum = h == 0 ? _mm_unpacklo_epi16(w[0], zero) : _mm_unpackhi_epi16(w[0], zero);
            sum = _mm_add_epi32(sum, _mm_slli_si128(sum, 4));
            sum = _mm_add_epi32(sum, _mm_slli_si128(sum, 8));
            sum = _mm_add_epi32(sum, carry);
            store(out.start_f + row + 4 * h, sum);
            carry = _mm_shuffle_epi32(sum, 0xFF);
        }
        start_f = static_cast<std::uint32_t>(_mm_cvtsi128_si32(carry));

        // The record kinds, in the order of their rules; exactly one holds.
        const __m128i ones = _mm_cmpeq_epi16(zero, zero);
        const __m128i pulse = _mm_andnot_si128(_mm_cmpeq_epi16(w[1], zero), ones);
        const __m128i padding = _mm_andnot_si128(pulse, _mm_cmpeq_epi16(w[0], ones));
        const __m128i other = _mm_andnot_si128(_mm_or_si128(pulse, padding), ones);
        const auto marked = [&](int marker) {
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
        const __m128i type = _mm_or_si128(
            _mm_or_si128(_mm_or_si128(code(padding, FormattedRecordType::Padding),
                                      code(update, FormattedRecordType::LongPulseUpdate)),
                         _mm_or_si128(code(dropped, FormattedRecordType::LongPulseDropped),
                                      code(up, FormattedRecordType::StepUp))),
            _mm_or_si128(_mm_or_si128(code(down, FormattedRecordType::StepDown),
                                      code(background, FormattedRecordType::Background)),
                         code(unknown, FormattedRecordType::Unknown)));
        static_assert(sizeof(FormattedRecordType) == 1 && static_cast<int>(FormattedRecordType::Pulse) == 0);
        const __m128i type_bytes = _mm_packus_epi16(type, type);
        std::memcpy(out.record_type + row, &type_bytes, 8);

        // Words 2 and 3 are scaled in pulses and marked records, 0 in
        // backgrounds, as stored otherwise; words 4 to 7 are scaled in pulses
        // and backgrounds, as stored otherwise.
        const __m128i intensities_scaled = _mm_or_si128(pulse, marker);
        const __m128i rest_scaled = _mm_or_si128(pulse, background);
        float* const columns[8] = {nullptr,           nullptr,          out.bin0_intensity, out.bin1_intensity,
                                   out.bin0_bg_mean,  out.bin1_bg_mean, out.bin0_bg_std,    out.bin1_bg_std};
        for (std::size_t k = 2; k < 8; ++k) {
            const __m128i scaled_lanes = k < 4 ? intensities_scaled : rest_scaled;
            const __m128i zero_lanes = k < 4 ? background : zero;
            __m128 scaled[2];
            scale(w[k], k, scaled);
            for (std::size_t h = 0; h < 2; ++h) {
                const __m128 raw_value = _mm_cvtepi32_ps(widen_signed(w[k], h));
                const __m128 use_scaled = _mm_castsi128_ps(widen_mask(scaled_lanes, h));
                const __m128 use_zero = _mm_castsi128_ps(widen_mask(zero_lanes, h));
                const __m128 value = _mm_or_ps(_mm_and_ps(use_scaled, scaled[h]),
                                               _mm_andnot_ps(_mm_or_ps(use_scaled, use_zero), raw_value));
                _mm_storeu_ps(columns[k] + row + 4 * h, value);
            }
        }

        // The u32 of words 4 (low) and 5 (high), as a double where the kind
        // carries it, NaN elsewhere.
        const __m128i long_pulse = _mm_or_si128(update, dropped);
        const __m128i step = _mm_or_si128(up, down);
        const __m128d nan = _mm_castsi128_pd(_mm_set1_epi64x(0x7FF8000000000000LL));
        const __m128i sign = _mm_set1_epi32(static_cast<int>(0x80000000U));
        const __m128d two_to_31 = _mm_set1_pd(2147483648.0);
        for (std::size_t h = 0; h < 2; ++h) {
            const __m128i wide = h == 0 ? _mm_unpacklo_epi16(w[4], w[5]) : _mm_unpackhi_epi16(w[4], w[5]);
            const __m128i long_mask = widen_mask(long_pulse, h);
            const __m128i step_mask = widen_mask(step, h);
            for (std::size_t q = 0; q < 2; ++q) {
                // Two lanes: exact, as the signed value plus 2^31.
                const __m128i pair = q == 0 ? wide : _mm_srli_si128(wide, 8);
                const __m128d value = _mm_add_pd(_mm_cvtepi32_pd(_mm_xor_si128(pair, sign)), two_to_31);
                const std::size_t at = row + 4 * h + 2 * q;
                const auto choose = [&](__m128i mask32) {
                    const __m128i lanes = q == 0 ? mask32 : _mm_srli_si128(mask32, 8);
                    const __m128d mask = _mm_castsi128_pd(_mm_unpacklo_epi32(lanes, lanes));
                    return _mm_or_pd(_mm_and_pd(mask, value), _mm_andnot_pd(mask, nan));
                };
                _mm_storeu_pd(out.long_pulse_duration_f + at, choose(long_mask));
                _mm_storeu_pd(out.event_f + at, choose(step_mask));
            }
        }
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

    /// The nearest float of each unsigned lane: both halves convert exactly
    /// and their sum is rounded once.
    static __m128 unsigned_to_float(__m128i value) noexcept {
        const __m128 high = _mm_cvtepi32_ps(_mm_srli_epi32(value, 16));
        const __m128 low = _mm_cvtepi32_ps(_mm_and_si128(value, _mm_set1_epi32(0xFFFF)));
        return _mm_add_ps(_mm_mul_ps(high, _mm_set1_ps(65536.0F)), low);
    }

    /// Word k of eight records scaled: s * (1 / scale) + offset, then the
    /// three marker values replaced by +inf, NaN and -inf.
    void scale(__m128i word, std::size_t k, __m128 (&value)[2]) const noexcept {
        // Sign extension: each lane's word in both halves, shifted down.
        const __m128i wide[2] = {_mm_srai_epi32(_mm_unpacklo_epi16(word, word), 16),
                                             _mm_srai_epi32(_mm_unpackhi_epi16(word, word), 16)};
        for (std::size_t h = 0; h < 2; ++h) {
            value[h] = _mm_add_ps(_mm_mul_ps(_mm_cvtepi32_ps(wide[h]), reciprocal_[k]), offset_[k]);
        }
        const __m128i plus = _mm_cmpeq_epi16(word, _mm_set1_epi16(0x7FFF));
        const __m128i nan = _mm_cmpeq_epi16(word, _mm_set1_epi16(static_cast<short>(0x8000)));
        const __m128i minus = _mm_cmpeq_epi16(word, _mm_set1_epi16(static_cast<short>(0x8001)));
        const __m128i marked = _mm_or_si128(_mm_or_si128(plus, nan), minus);
        if (_mm_movemask_epi8(marked) == 0) return;
        // The high halves of the floats' bits for the marked lanes.
        const __m128i high = _mm_or_si128(
            _mm_or_si128(_mm_and_si128(plus, _mm_set1_epi16(0x7F80)), _mm_and_si128(nan, _mm_set1_epi16(0x7FC0))),
            _mm_and_si128(minus, _mm_set1_epi16(static_cast<short>(0xFF80))));
        const __m128i zero = _mm_setzero_si128();
        const __m128i mask[2] = {_mm_unpacklo_epi16(marked, marked), _mm_unpackhi_epi16(marked, marked)};
        const __m128i bits[2] = {_mm_unpacklo_epi16(zero, high), _mm_unpackhi_epi16(zero, high)};
        for (std::size_t h = 0; h < 2; ++h) {
            value[h] = _mm_or_ps(_mm_andnot_ps(_mm_castsi128_ps(mask[h]), value[h]), _mm_castsi128_ps(bits[h]));
        }
    }

    __m128 fps_;
    __m128 reciprocal_[8];
    __m128 offset_[8];
};

#endif

}  // namespace

std::uint32_t decode_record_columns(std::span<const std::byte> block, const EncodingRecords& encodings,
                                    std::uint32_t start_f, const RecordColumnPointers& out, std::size_t at) noexcept {
    const std::size_t count = block.size() / event_record_size;
    std::size_t done = 0;
#if defined(__SSE2__)
    const Eight eight(detail::WordScales(encodings), 1.0F);
    for (; done + 8 <= count; done += 8) {
        eight.records(block.data() + done * event_record_size, start_f, out, at + done);
    }
#endif
    // The rest (all of it without SSE2): decoded into records a piece at a
    // time, then column by column over the piece, which is still in the cache.
    decode_block_pieces(
        block.subspan(done * event_record_size), encodings,
        [&](std::span<const FormattedRecord> records) {
            const std::size_t row = at + done;
            put_field(out.ipd_f + row, records, &FormattedRecord::ipd_f);
            put_field(out.dur_f + row, records, &FormattedRecord::dur_f);
            put_field(out.bin0_intensity + row, records, &FormattedRecord::bin0_intensity);
            put_field(out.bin1_intensity + row, records, &FormattedRecord::bin1_intensity);
            put_field(out.bin0_bg_mean + row, records, &FormattedRecord::bin0_bg_mean);
            put_field(out.bin1_bg_mean + row, records, &FormattedRecord::bin1_bg_mean);
            put_field(out.bin0_bg_std + row, records, &FormattedRecord::bin0_bg_std);
            put_field(out.bin1_bg_std + row, records, &FormattedRecord::bin1_bg_std);
            std::uint32_t* start = out.start_f + row;
            for (std::size_t i = 0; i < records.size(); ++i) {
                start_f += records[i].ipd_f;
                start[i] = start_f;
            }
            put_field(out.record_type + row, records, &FormattedRecord::record_type);
            put_optional(out.long_pulse_duration_f + row, records, &FormattedRecord::long_pulse_duration_f);
            put_optional(out.event_f + row, records, &FormattedRecord::event_f);
            done += records.size();
        },
        done);
    return start_f;
}

PulseRun pulse_run_after(std::span<const std::byte> block, PulseRun run) noexcept {
    const std::size_t count = block.size() / event_record_size;
    const std::byte* raw = block.data();
    std::uint32_t frame = 0;  // moved by the block's records
    std::uint64_t pulses = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t words = load_le<std::uint32_t>(raw + i * event_record_size);
        frame += (words & 0xFFFFU) + (words >> 16);
        pulses += (words >> 16) != 0 ? 1 : 0;
    }
    if (pulses != 0) {
        // The latest pulse ended where the frame stood before the records
        // after it (none of them a pulse) added their ipd_f.
        std::uint32_t after = 0;
        std::size_t i = count;
        while (load_le<std::uint16_t>(raw + (i - 1) * event_record_size + 2) == 0) {
            --i;
            after += load_le<std::uint16_t>(raw + i * event_record_size);
        }
        run.previous_end = run.frame + frame - after;
        run.have_previous = true;
    }
    run.frame += frame;
    run.pulses += pulses;
    return run;
}

std::size_t normalize_pulse_columns(std::span<const std::byte> block, const EncodingRecords& encodings, float fps,
                                    std::uint64_t first_index, PulseRun& run, const PulseColumnPointers& out) noexcept {
    const std::size_t count = block.size() / event_record_size;
    const detail::WordScales scales(encodings);
#if defined(__SSE2__)
    const Eight eight(scales, fps);
#endif
    PulseScratch scratch;
    std::size_t written = 0;
    for (std::size_t first = 0; first < count; first += decoding_piece) {
        const std::size_t n = std::min(decoding_piece, count - first);
        const std::byte* raw = block.data() + first * event_record_size;

        // Pass 1: keep every record and advance only past pulses.
        std::uint32_t frame = run.frame;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::byte* record = raw + i * event_record_size;
            const std::uint32_t words = load_le<std::uint32_t>(record);
            frame += (words & 0xFFFFU) + (words >> 16);
            std::memcpy(scratch.records[kept].data(), record, event_record_size);
            scratch.position[kept] = static_cast<std::uint32_t>(i);
            scratch.end[1 + kept] = frame;
            kept += (words >> 16) != 0 ? 1 : 0;
        }
        run.frame = frame;
        if (kept == 0) continue;
        const std::uint32_t first_start =
            scratch.end[1] - load_le<std::uint16_t>(scratch.records[0].data() + 2);
        scratch.end[0] = run.have_previous ? run.previous_end : first_start;

        // Pass 2: the column values.
        const auto row = static_cast<std::size_t>(run.pulses);
        const std::uint64_t index = first_index + first;
        std::size_t t = 0;
#if defined(__SSE2__)
        for (; t + 8 <= kept; t += 8) eight.pulses(scratch, t, index, out, row + t);
#endif
        for (; t < kept; ++t) store_scratch_pulse(scratch, t, index + scratch.position[t], scales, fps, out, row + t);
        if (out.aperture_index != nullptr) std::fill_n(out.aperture_index + row, kept, out.aperture_number);

        run.previous_end = scratch.end[kept];
        run.have_previous = true;
        run.pulses += kept;
        written += kept;
    }
    return written;
}

void store_pulses(std::span<const NormalizedPulse> pulses, const PulseColumnPointers& out, std::size_t at) noexcept {
    // Column by column: one write stream at a time.
    const auto put = [&pulses, at](auto* column, auto NormalizedPulse::*field) {
        for (std::size_t i = 0; i < pulses.size(); ++i) column[at + i] = pulses[i].*field;
    };
    put(out.index, &NormalizedPulse::index);
    put(out.start_f, &NormalizedPulse::start_f);
    put(out.end_f, &NormalizedPulse::end_f);
    put(out.dur_f, &NormalizedPulse::dur_f);
    put(out.dur_s, &NormalizedPulse::dur_s);
    put(out.ipd_f, &NormalizedPulse::ipd_f);
    put(out.ipd_s, &NormalizedPulse::ipd_s);
    put(out.snr, &NormalizedPulse::snr);
    put(out.intensity, &NormalizedPulse::intensity);
    put(out.bin0_intensity, &NormalizedPulse::bin0_intensity);
    put(out.intensity_display, &NormalizedPulse::intensity_display);
    put(out.binratio, &NormalizedPulse::binratio);
    put(out.bg_mean, &NormalizedPulse::bg_mean);
    put(out.bg_std, &NormalizedPulse::bg_std);
    put(out.bin0_bg_mean, &NormalizedPulse::bin0_bg_mean);
    put(out.bin0_bg_std, &NormalizedPulse::bin0_bg_std);
    if (out.aperture_index != nullptr) std::fill_n(out.aperture_index + at, pulses.size(), out.aperture_number);
}

}  // namespace kvt
