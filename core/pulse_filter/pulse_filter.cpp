#include "pulse_filter/pulse_filter.hpp"

namespace kvt {

bool PulseFilter::keeps(const NormalizedPulse& pulse, float fps, float frames_per_minute) const noexcept {
    // Each test is written as the condition for keeping, so that NaN fails it.
    if (min_dur_f && !(pulse.dur_f >= *min_dur_f)) return false;
    if (min_dur_s && !(pulse.dur_s >= *min_dur_s)) return false;
    if (max_dur_s && !(pulse.dur_s <= *max_dur_s)) return false;
    if (min_snr && !(pulse.snr >= *min_snr)) return false;
    if (min_intensity && !(pulse.intensity >= *min_intensity)) return false;
    if (min_binratio && !(pulse.binratio >= *min_binratio)) return false;
    if (max_binratio && !(pulse.binratio <= *max_binratio)) return false;
    if (start_m && !(static_cast<float>(pulse.start_f) / frames_per_minute >= *start_m)) return false;
    if (end_m && !(static_cast<float>(pulse.end_f) / frames_per_minute <= *end_m)) return false;
    if (mask_s) {
        const bool after = static_cast<float>(pulse.start_f) / fps > mask_s->second;
        const bool before = static_cast<float>(pulse.end_f) / fps < mask_s->first;
        if (!(after || before)) return false;
    }
    return true;
}

Result<std::vector<NormalizedPulse>> PulseFilter::filter_pulses(std::span<const NormalizedPulse> pulses,
                                                                float fps) const {
    std::vector<NormalizedPulse> kept;
    const float frames_per_minute = fps * 60.0F;
    const NormalizedPulse* previous = nullptr;
    const NormalizedPulse* last_kept = nullptr;
    for (const NormalizedPulse& pulse : pulses) {
        if (previous != nullptr && pulse.start_f <= previous->end_f) {
            return Error("The provided pulses aren't sorted!");
        }
        previous = &pulse;
        if (!keeps(pulse, fps, frames_per_minute)) continue;
        NormalizedPulse& copy = kept.emplace_back(pulse);
        if (recalc_ipd) {
            copy.ipd_f = last_kept == nullptr ? 0 : pulse.start_f - last_kept->end_f;
            copy.ipd_s = static_cast<float>(copy.ipd_f) / fps;
        }
        last_kept = &pulse;
    }
    return kept;
}

}  // namespace kvt
