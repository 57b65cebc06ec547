// The inner loops of an aperture's summary: counting the records of each kind
// and adding up pulse columns four pulses at a time. Each comes as plain C++
// (summary_kernels_scalar.cpp) and with SSE2 (summary_kernels_sse2.cpp, part
// of every x86-64 processor); both give the same results bit for bit, which a
// test checks on random data. The summary uses the fastest that the build has.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "pulse_reader/records/formatted_record.hpp"

namespace kvt {

/// The columns of pulses that a summary adds up, and whether only their finite
/// values count.
enum SummedColumn : std::size_t {
    summed_dur_s,
    summed_ipd_s,
    summed_intensity,
    summed_snr,
    summed_bg_std,
    summed_count
};
inline constexpr std::array<bool, summed_count> finite_only{false, false, true, true, true};

using KindCounts = std::array<std::uint64_t, formatted_record_type_count>;
using SummedColumns = std::array<const float*, summed_count>;
/// Four running sums per column, one for each pulse of a group of four.
using SumLanes = std::array<std::array<double, 4>, summed_count>;
using SumCounts = std::array<std::uint64_t, summed_count>;

/// The records of each kind among the kind codes `type[0, n)` (each below
/// formatted_record_type_count; n at most RecordPiece::capacity).
[[nodiscard]] KindCounts count_kinds_scalar(const std::uint8_t* type, std::size_t n) noexcept;
[[nodiscard]] KindCounts count_kinds_sse2(const std::uint8_t* type, std::size_t n) noexcept;

/// Adds the values of pulses j, j + 1, ... in groups of four, while a whole
/// group is left below n (at most RecordPiece::capacity): the value of
/// `column[c]` of the pulse in place `lane` of its group goes to running sum
/// lanes[c][lane] in double precision and is counted in count[c], unless the
/// column takes finite values only and it is not. Returns the first pulse
/// after the last whole group.
std::size_t add_groups_scalar(const SummedColumns& column, std::size_t j, std::size_t n, SumLanes& lanes,
                              SumCounts& count) noexcept;
std::size_t add_groups_sse2(const SummedColumns& column, std::size_t j, std::size_t n, SumLanes& lanes,
                            SumCounts& count) noexcept;

/// The kernels of this build.
inline KindCounts count_kinds(const std::uint8_t* type, std::size_t n) noexcept {
#if defined(__SSE2__)
    return count_kinds_sse2(type, n);
#else
    return count_kinds_scalar(type, n);
#endif
}

inline std::size_t add_groups(const SummedColumns& column, std::size_t j, std::size_t n, SumLanes& lanes,
                              SumCounts& count) noexcept {
#if defined(__SSE2__)
    return add_groups_sse2(column, j, n, lanes, count);
#else
    return add_groups_scalar(column, j, n, lanes, count);
#endif
}

}  // namespace kvt
