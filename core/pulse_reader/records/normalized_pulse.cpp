#include "pulse_reader/records/normalized_pulse.hpp"

namespace kvt {

void PulseNormalizer::add(std::span<const FormattedRecord> records, std::vector<NormalizedPulse>& out) {
    for (const FormattedRecord& record : records) {
        counter_ += record.ipd_f;
        if (record.record_type != FormattedRecordType::Pulse) continue;

        NormalizedPulse& pulse = out.emplace_back();
        pulse.index = record.index;
        pulse.start_f = counter_;
        pulse.dur_f = record.dur_f;
        pulse.end_f = counter_ + pulse.dur_f;
        pulse.ipd_f = have_previous_ ? pulse.start_f - previous_end_ : 0;
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
        previous_end_ = pulse.end_f;
        have_previous_ = true;
        counter_ = pulse.end_f;
    }
}

std::vector<NormalizedPulse> NormalizedPulse::from_formatted_records(std::span<const FormattedRecord> records,
                                                                     float fps) {
    std::vector<NormalizedPulse> pulses;
    PulseNormalizer(fps).add(records, pulses);
    return pulses;
}

}  // namespace kvt
