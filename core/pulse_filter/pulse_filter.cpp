#include "pulse_filter/pulse_filter.hpp"

#include <algorithm>
#include <memory>

namespace kvt {

RecordValues PulseFilter::values_needed() const noexcept {
    RecordValues values;
    if (min_snr) values.set(bin1_intensity_value).set(bin1_bg_std_value);
    if (min_intensity) values.set(bin1_intensity_value);
    if (min_binratio || max_binratio) values.set(bin0_intensity_value).set(bin1_intensity_value);
    return values;
}

bool PulseFilter::keeps(const PulsePiece& pulses, std::size_t j, float fps, float frames_per_minute) const noexcept {
    // Each test is written as the condition for keeping, so that NaN fails it.
    const float dur_s = pulses.dur_s[j];
    const float binratio = pulses.binratio[j];
    const std::uint32_t start_f = pulses.start_f[j];
    const std::uint32_t end_f = pulses.end_f[j];
    if (min_dur_f && !(pulses.dur_f[j] >= *min_dur_f)) return false;
    if (min_dur_s && !(dur_s >= *min_dur_s)) return false;
    if (max_dur_s && !(dur_s <= *max_dur_s)) return false;
    if (min_snr && !(pulses.snr[j] >= *min_snr)) return false;
    if (min_intensity && !(pulses.intensity[j] >= *min_intensity)) return false;
    if (min_binratio && !(binratio >= *min_binratio)) return false;
    if (max_binratio && !(binratio <= *max_binratio)) return false;
    if (start_m && !(static_cast<float>(start_f) / frames_per_minute >= *start_m)) return false;
    if (end_m && !(static_cast<float>(end_f) / frames_per_minute <= *end_m)) return false;
    if (mask_s) {
        const bool after = static_cast<float>(start_f) / fps > mask_s->second;
        const bool before = static_cast<float>(end_f) / fps < mask_s->first;
        if (!(after || before)) return false;
    }
    return true;
}

Status PulseFilterPass::add(PulsePiece& pulses) {
    std::size_t kept = 0;
    for (std::size_t j = 0; j < pulses.count; ++j) {
        const std::uint32_t start_f = pulses.start_f[j];
        const std::uint32_t end_f = pulses.end_f[j];
        if (have_previous_ && start_f <= previous_end_)
            return Error(ErrorCode::unsorted_pulses, "The provided pulses aren't sorted!");
        previous_end_ = end_f;
        have_previous_ = true;
        if (!filter_.keeps(pulses, j, fps_, frames_per_minute_)) continue;
        if (kept != j) pulses.move_row(j, kept);
        if (filter_.recalc_ipd) {
            pulses.ipd_f[kept] = have_kept_ ? start_f - kept_end_ : 0;
            pulses.ipd_s[kept] = static_cast<float>(pulses.ipd_f[kept]) / fps_;
        }
        kept_end_ = end_f;
        have_kept_ = true;
        ++kept;
    }
    pulses.count = kept;
    return {};
}

Result<std::vector<NormalizedPulse>> PulseFilter::filter_pulses(std::span<const NormalizedPulse> pulses,
                                                                float fps) const {
    std::vector<NormalizedPulse> kept;
    PulseFilterPass pass(*this, fps);
    const auto piece = std::make_unique<PulsePiece>();
    for (std::size_t first = 0; first < pulses.size(); first += PulsePiece::capacity) {
        piece->count = std::min(PulsePiece::capacity, pulses.size() - first);
        for (std::size_t j = 0; j < piece->count; ++j) piece->set_row(j, pulses[first + j]);
        if (Status done = pass.add(*piece); !done) return std::move(done).error();
        for (std::size_t j = 0; j < piece->count; ++j) kept.push_back(piece->row(j));
    }
    return kept;
}

}  // namespace kvt
