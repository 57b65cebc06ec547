// SSE2 forms of the summary's kernels; on a processor without SSE2 they fall
// back to the scalar ones.
#include <cstring>
#include <limits>

#include "pulse_reader/summary_kernels.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kvt {

#if defined(__SSE2__)

KindCounts count_kinds_sse2(const std::uint8_t* type, std::size_t n) noexcept {
    KindCounts counts{};
    // Sixteen records at a time: a byte counter per kind and record lane (a
    // piece is at most 512 records, so a lane counts to 32 at most).
    static_assert(RecordPiece::capacity / 16 < 256);
    __m128i lanes[formatted_record_type_count];
    for (__m128i& lane : lanes) lane = _mm_setzero_si128();
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128i group;
        std::memcpy(&group, type + i, sizeof group);
        for (std::size_t k = 1; k < formatted_record_type_count; ++k) {
            const __m128i match = _mm_cmpeq_epi8(group, _mm_set1_epi8(static_cast<char>(k)));
            lanes[k] = _mm_sub_epi8(lanes[k], match);  // a match is -1
        }
    }
    std::uint64_t others = 0;
    for (std::size_t k = 1; k < formatted_record_type_count; ++k) {
        const __m128i sums = _mm_sad_epu8(lanes[k], _mm_setzero_si128());  // two 64-bit sums of bytes
        std::uint64_t halves[2];
        std::memcpy(halves, &sums, sizeof halves);
        counts[k] = halves[0] + halves[1];
        others += counts[k];
    }
    counts[0] = i - others;  // kind 0 is what the groups held besides
    for (; i < n; ++i) ++counts[type[i] & 7U];
    return counts;
}

std::size_t add_groups_sse2(const SummedColumns& column, std::size_t j, std::size_t n, SumLanes& lanes,
                            SumCounts& count) noexcept {
    const std::size_t j0 = j;
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128 infinity = _mm_set1_ps(std::numeric_limits<float>::infinity());
    __m128d low[summed_count];   // running sums 0 and 1
    __m128d high[summed_count];  // running sums 2 and 3
    __m128i taken[summed_count];
    for (std::size_t c = 0; c < summed_count; ++c) {
        low[c] = _mm_loadu_pd(lanes[c].data());
        high[c] = _mm_loadu_pd(lanes[c].data() + 2);
        taken[c] = _mm_setzero_si128();
    }
    for (; j + 4 <= n; j += 4) {
        for (std::size_t c = 0; c < summed_count; ++c) {
            __m128 group = _mm_loadu_ps(column[c] + j);
            if (finite_only[c]) {
                // |v| < inf holds for finite values only (not for NaN); the
                // others add +0, which leaves a running sum as it is (a sum
                // that starts at +0 is never -0).
                const __m128 take = _mm_cmplt_ps(_mm_and_ps(group, magnitude), infinity);
                group = _mm_and_ps(group, take);
                taken[c] = _mm_sub_epi32(taken[c], _mm_castps_si128(take));
            }
            low[c] = _mm_add_pd(low[c], _mm_cvtps_pd(group));
            high[c] = _mm_add_pd(high[c], _mm_cvtps_pd(_mm_movehl_ps(group, group)));
        }
    }
    for (std::size_t c = 0; c < summed_count; ++c) {
        _mm_storeu_pd(lanes[c].data(), low[c]);
        _mm_storeu_pd(lanes[c].data() + 2, high[c]);
        if (!finite_only[c]) {
            count[c] += (j - j0);
            continue;
        }
        std::array<std::uint32_t, 4> counted;
        std::memcpy(counted.data(), &taken[c], sizeof counted);
        count[c] += std::uint64_t{counted[0]} + counted[1] + counted[2] + counted[3];
    }
    return j;
}

#else

KindCounts count_kinds_sse2(const std::uint8_t* type, std::size_t n) noexcept { return count_kinds_scalar(type, n); }

std::size_t add_groups_sse2(const SummedColumns& column, std::size_t j, std::size_t n, SumLanes& lanes,
                            SumCounts& count) noexcept {
    return add_groups_scalar(column, j, n, lanes, count);
}

#endif

}  // namespace kvt
