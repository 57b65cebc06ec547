#include "pulse_reader/records/normalized_pulse.hpp"

#include "pulse_reader/headers/byte_order.hpp"

namespace kvt {

void PulseNormalizer::add(std::span<const FormattedRecord> records, std::vector<NormalizedPulse>& out) {
    for (const FormattedRecord& record : records) {
        run_.frame += record.ipd_f;
        if (record.record_type != FormattedRecordType::Pulse) continue;

        NormalizedPulse& pulse = out.emplace_back();
        pulse.index = record.index;
        pulse.start_f = run_.frame;
        pulse.dur_f = record.dur_f;
        pulse.end_f = run_.frame + pulse.dur_f;
        pulse.ipd_f = run_.have_previous ? pulse.start_f - run_.previous_end : 0;
        pulse.dur_s = static_cast<float>(pulse.dur_f) / fps_;
        pulse.ipd_s = static_cast<float>(pulse.ipd_f) / fps_;
        pulse.snr = record.bin1_intensity / record.bin1_bg_std;
        pulse.intensity = record.bin1_intensity;
        pulse.bin0_intensity = record.bin0_intensity;
        pulse.intensity_display = record.bin1_intensity + record.bin1_bg_mean;
        pulse.binratio = record.bin0_intensity / record.bin1_intensity;
        pulse.bg_mean = record.bin1_bg_mean;
        pulse.bg_std = record.bin1_bg_std;
        pulse.bin0_bg_mean = record.bin0_bg_mean;
        pulse.bin0_bg_std = record.bin0_bg_std;

        // The next record's ipd_f counts from the end of this pulse.
        run_.previous_end = pulse.end_f;
        run_.have_previous = true;
        run_.frame = pulse.end_f;
        ++run_.pulses;
    }
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

std::vector<NormalizedPulse> NormalizedPulse::from_formatted_records(std::span<const FormattedRecord> records,
                                                                     float fps) {
    std::vector<NormalizedPulse> pulses;
    PulseNormalizer(fps).add(records, pulses);
    return pulses;
}

}  // namespace kvt
