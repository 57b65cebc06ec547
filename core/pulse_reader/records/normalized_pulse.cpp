#include "pulse_reader/records/normalized_pulse.hpp"

#include "pulse_reader/headers/byte_order.hpp"

namespace kvt {

NormalizedPulse PulsePiece::row(std::size_t j) const noexcept {
    NormalizedPulse pulse;
#define KVT_GET_FIELD(name, type, unit, meaning) pulse.name = name[j];
    KVT_PULSE_COLUMNS(KVT_NO_COLUMN, KVT_GET_FIELD, KVT_NO_COLUMN)
#undef KVT_GET_FIELD
    return pulse;
}

void PulsePiece::set_row(std::size_t j, const NormalizedPulse& pulse) noexcept {
#define KVT_SET_FIELD(name, type, unit, meaning) name[j] = pulse.name;
    KVT_PULSE_COLUMNS(KVT_NO_COLUMN, KVT_SET_FIELD, KVT_NO_COLUMN)
#undef KVT_SET_FIELD
}

void PulsePiece::move_row(std::size_t from, std::size_t to) noexcept { set_row(to, row(from)); }

namespace {

/// The pulse column made from each record value, by RecordValue.
std::array<float*, record_value_count> value_columns(PulsePiece& out) noexcept {
    return {out.bin0_intensity.data(), out.intensity.data(),   out.bin0_bg_mean.data(),
            out.bg_mean.data(),        out.bin0_bg_std.data(), out.bg_std.data()};
}

/// The walk over a piece's records in order: for each pulse, the frame at its
/// end, where it is and its duration (in the low and high halves of dur_f, to
/// be parted by the caller) and the `fields` values decoded (M of them).
/// A record moves the frame by its ipd_f and a pulse then by its dur_f to its
/// end; dur_f is 0 in every other record (and only there), so the frame after
/// record i is the sum of ipd_f + dur_f up to it. Every record is written to
/// the next free row and only a pulse takes it, so the loop does not branch.
/// Returns the number of pulses.
template <std::size_t M>
std::size_t walk(const RecordPiece& records, const std::array<RecordValue, record_value_count>& fields,
                 std::uint32_t& frame, PulsePiece& out) noexcept {
    std::array<const float*, M> from;
    std::array<float*, M> to;
    const std::array<float*, record_value_count> columns = value_columns(out);
    for (std::size_t c = 0; c < M; ++c) {
        from[c] = records.value[fields[c]].data();
        to[c] = columns[fields[c]];
    }
    std::size_t pulses = 0;
    for (std::size_t i = 0; i < records.count; ++i) {
        const std::uint16_t dur_f = records.dur_f[i];
        frame += std::uint32_t{records.ipd_f[i]} + dur_f;
        out.end_f[pulses] = frame;
        // The position and the duration in one word, parted below.
        out.dur_f[pulses] = static_cast<std::uint32_t>(i) | (std::uint32_t{dur_f} << 16);
        for (std::size_t c = 0; c < M; ++c) to[c][pulses] = from[c][i];
        pulses += dur_f != 0 ? 1 : 0;
    }
    return pulses;
}

}  // namespace

void PulseNormalizer::add(const RecordPiece& records, PulsePiece& out) noexcept {
    const RecordValues have = records.decoded.fields;
    std::array<RecordValue, record_value_count> fields{};
    std::size_t m = 0;
    for (std::size_t k = 0; k < record_value_count; ++k) {
        if (have[k]) fields[m++] = static_cast<RecordValue>(k);
    }
    std::uint32_t frame = run_.frame;
    std::size_t pulses = 0;
    switch (m) {
        case 0: pulses = walk<0>(records, fields, frame, out); break;
        case 1: pulses = walk<1>(records, fields, frame, out); break;
        case 2: pulses = walk<2>(records, fields, frame, out); break;
        case 3: pulses = walk<3>(records, fields, frame, out); break;
        case 4: pulses = walk<4>(records, fields, frame, out); break;
        case 5: pulses = walk<5>(records, fields, frame, out); break;
        default: pulses = walk<record_value_count>(records, fields, frame, out); break;
    }
    out.count = pulses;

    // Then each pulse on its own. ipd_f counts from the end of the pulse
    // before; the first pulse of an aperture has none and gets 0.
    const auto part = [&](std::size_t j, std::uint32_t end_before) {
        const std::uint32_t packed = out.dur_f[j];
        out.index[j] = records.first_index + (packed & 0xFFFFU);
        out.dur_f[j] = packed >> 16;
        out.start_f[j] = out.end_f[j] - out.dur_f[j];
        out.ipd_f[j] = out.start_f[j] - end_before;
        out.dur_s[j] = static_cast<float>(out.dur_f[j]) / fps_;
        out.ipd_s[j] = static_cast<float>(out.ipd_f[j]) / fps_;
    };
    if (pulses != 0) {
        const std::uint32_t first_start = out.end_f[0] - (out.dur_f[0] >> 16);
        part(0, run_.have_previous ? run_.previous_end : first_start);
    }
    for (std::size_t j = 1; j < pulses; ++j) part(j, out.end_f[j - 1]);
    if (have[bin1_intensity_value] && have[bin1_bg_std_value]) {
        for (std::size_t j = 0; j < pulses; ++j) out.snr[j] = out.intensity[j] / out.bg_std[j];
    }
    if (have[bin1_intensity_value] && have[bin1_bg_mean_value]) {
        for (std::size_t j = 0; j < pulses; ++j) out.intensity_display[j] = out.intensity[j] + out.bg_mean[j];
    }
    if (have[bin0_intensity_value] && have[bin1_intensity_value]) {
        for (std::size_t j = 0; j < pulses; ++j) out.binratio[j] = out.bin0_intensity[j] / out.intensity[j];
    }

    run_.frame = frame;
    if (pulses != 0) {
        run_.previous_end = out.end_f[pulses - 1];
        run_.have_previous = true;
    }
    run_.pulses += pulses;
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

std::uint32_t sum_ipd_f(std::span<const std::byte> block) noexcept {
    const std::size_t count = block.size() / event_record_size;
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += load_le<std::uint16_t>(block.data() + i * event_record_size);
    return sum;
}

}  // namespace kvt
