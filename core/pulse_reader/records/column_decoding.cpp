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

/// Records handled per piece: their bytes and the scratch below stay in the
/// first-level cache.
constexpr std::size_t piece = 512;

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

std::uint32_t decode_record_columns(std::span<const std::byte> block, const EncodingRecords& encodings,
                                    std::uint32_t start_f, const RecordColumnPointers& out, std::size_t at) noexcept {
    const std::size_t count = block.size() / event_record_size;
    std::array<FormattedRecord, piece> scratch;
    for (std::size_t first = 0; first < count; first += piece) {
        const std::size_t n = std::min(piece, count - first);
        const std::span<FormattedRecord> records(scratch.data(), n);
        decode_records_into(block.subspan(first * event_record_size, n * event_record_size), encodings, first,
                            records);
        const std::size_t row = at + first;
        // Column by column over the piece, which is still in the cache: one
        // write stream at a time rather than one per column.
        put_field(out.ipd_f + row, records, &FormattedRecord::ipd_f);
        put_field(out.dur_f + row, records, &FormattedRecord::dur_f);
        put_field(out.bin0_intensity + row, records, &FormattedRecord::bin0_intensity);
        put_field(out.bin1_intensity + row, records, &FormattedRecord::bin1_intensity);
        put_field(out.bin0_bg_mean + row, records, &FormattedRecord::bin0_bg_mean);
        put_field(out.bin1_bg_mean + row, records, &FormattedRecord::bin1_bg_mean);
        put_field(out.bin0_bg_std + row, records, &FormattedRecord::bin0_bg_std);
        put_field(out.bin1_bg_std + row, records, &FormattedRecord::bin1_bg_std);
        std::uint32_t* start = out.start_f + row;
        for (std::size_t i = 0; i < n; ++i) {
            start_f += records[i].ipd_f;
            start[i] = start_f;
        }
        put_field(out.record_type + row, records, &FormattedRecord::record_type);
        put_optional(out.long_pulse_duration_f + row, records, &FormattedRecord::long_pulse_duration_f);
        put_optional(out.event_f + row, records, &FormattedRecord::event_f);
    }
    return start_f;
}

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
    std::array<std::array<std::byte, event_record_size>, piece> records;  ///< the pulses' raw records
    std::array<std::uint32_t, piece> position;                            ///< record number in the piece
    /// end[0] is the end of the pulse before the piece (the first pulse's
    /// start when there is none, so that its ipd_f is 0); end[1 + t] is the
    /// end of pulse t.
    std::array<std::uint32_t, piece + 1> end;
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

/// Eight pulses of the scratch from t on, with the same values as
/// store_scratch_pulse, written at rows row..row+7.
class EightPulses {
public:
    // Registers in plain arrays: a std::array of them would drop their
    // alignment attributes.
    EightPulses(const detail::WordScales& scales, float fps) noexcept : fps_(_mm_set1_ps(fps)) {
        for (std::size_t k = 0; k < 8; ++k) {
            reciprocal_[k] = _mm_set1_ps(scales.reciprocal[k]);
            offset_[k] = _mm_set1_ps(scales.offset[k]);
        }
    }

    void store(const PulseScratch& scratch, std::size_t t, std::uint64_t first_index, const PulseColumnPointers& out,
               std::size_t row) const noexcept {
        // Transpose eight records (one per register) into eight words (one
        // per register, a lane per record).
        __m128i r[8];
        for (std::size_t k = 0; k < 8; ++k) r[k] = load(scratch.records[t + k].data());
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
        const __m128i w1 = _mm_unpackhi_epi64(b0, b4);
        const __m128i w[8] = {_mm_unpacklo_epi64(b0, b4), w1, _mm_unpacklo_epi64(b1, b5),
                                          _mm_unpackhi_epi64(b1, b5), _mm_unpacklo_epi64(b2, b6),
                                          _mm_unpackhi_epi64(b2, b6), _mm_unpacklo_epi64(b3, b7),
                                          _mm_unpackhi_epi64(b3, b7)};

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

private:
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

PulseRun pulse_run_after(std::span<const std::byte> block) noexcept {
    const std::size_t count = block.size() / event_record_size;
    const std::byte* raw = block.data();
    PulseRun run;
    std::uint32_t frame = 0;
    std::uint64_t pulses = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t words = load_le<std::uint32_t>(raw + i * event_record_size);
        frame += (words & 0xFFFFU) + (words >> 16);
        pulses += (words >> 16) != 0 ? 1 : 0;
    }
    run.frame = frame;
    run.pulses = pulses;
    if (pulses == 0) return run;
    // The latest pulse ended where the frame stood before the records after
    // it (none of them a pulse) added their ipd_f.
    std::uint32_t after = 0;
    std::size_t i = count;
    while (load_le<std::uint16_t>(raw + (i - 1) * event_record_size + 2) == 0) {
        --i;
        after += load_le<std::uint16_t>(raw + i * event_record_size);
    }
    run.previous_end = frame - after;
    run.have_previous = true;
    return run;
}

std::size_t normalize_pulse_columns(std::span<const std::byte> block, const EncodingRecords& encodings, float fps,
                                    std::uint64_t first_index, PulseRun& run, const PulseColumnPointers& out) noexcept {
    const std::size_t count = block.size() / event_record_size;
    const detail::WordScales scales(encodings);
#if defined(__SSE2__)
    const EightPulses eight(scales, fps);
#endif
    PulseScratch scratch;
    std::size_t written = 0;
    for (std::size_t first = 0; first < count; first += piece) {
        const std::size_t n = std::min(piece, count - first);
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
        for (; t + 8 <= kept; t += 8) eight.store(scratch, t, index, out, row + t);
#endif
        for (; t < kept; ++t) store_scratch_pulse(scratch, t, index + scratch.position[t], scales, fps, out, row + t);

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
}

}  // namespace kvt
