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

Status PulseFilterPass::add(std::span<const NormalizedPulse> pulses, std::vector<NormalizedPulse>& kept) {
    for (const NormalizedPulse& pulse : pulses) {
        if (have_previous_ && pulse.start_f <= previous_end_) return Error("The provided pulses aren't sorted!");
        previous_end_ = pulse.end_f;
        have_previous_ = true;
        if (!filter_.keeps(pulse, fps_, frames_per_minute_)) continue;
        NormalizedPulse& copy = kept.emplace_back(pulse);
        if (filter_.recalc_ipd) {
            copy.ipd_f = have_kept_ ? pulse.start_f - kept_end_ : 0;
            copy.ipd_s = static_cast<float>(copy.ipd_f) / fps_;
        }
        kept_end_ = pulse.end_f;
        have_kept_ = true;
    }
    return {};
}

Result<std::vector<NormalizedPulse>> PulseFilter::filter_pulses(std::span<const NormalizedPulse> pulses,
                                                                float fps) const {
    std::vector<NormalizedPulse> kept;
    if (Status done = PulseFilterPass(*this, fps).add(pulses, kept); !done) return std::move(done).error();
    return kept;
}

}  // namespace kvt
