#include <cmath>

#include "pulse_reader/summary_kernels.hpp"

namespace kvt {

KindCounts count_kinds_scalar(const std::uint8_t* type, std::size_t n) noexcept {
    KindCounts counts{};
    for (std::size_t i = 0; i < n; ++i) ++counts[type[i] & 7U];
    return counts;
}

std::size_t add_groups_scalar(const SummedColumns& column, std::size_t j, std::size_t n, SumLanes& lanes,
                              SumCounts& count) noexcept {
    for (; j + 4 <= n; j += 4) {
        for (std::size_t c = 0; c < summed_count; ++c) {
            for (std::size_t lane = 0; lane < 4; ++lane) {
                const float value = column[c][j + lane];
                if (finite_only[c] && !std::isfinite(value)) continue;
                lanes[c][lane] += static_cast<double>(value);
                ++count[c];
            }
        }
    }
    return j;
}

}  // namespace kvt
