// The pulse filter: inclusive bounds, the time window and the mask, NaN
// handling, recomputed gaps, and the strict order check.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "pulse_file_builder.hpp"
#include "pulse_filter/pulse_filter.hpp"
#include "pulse_reader/pulse_reader.hpp"
#include "test_helpers.hpp"

namespace kvt::testing {
namespace {

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();
const std::string unsorted = "The provided pulses aren't sorted!";

/// A pulse from `start` to `end` with plain values in every other field.
NormalizedPulse make_pulse(std::uint32_t start, std::uint32_t end, std::uint64_t index = 0) {
    NormalizedPulse p;
    p.index = index;
    p.start_f = start;
    p.end_f = end;
    p.dur_f = end - start;
    p.dur_s = 1.0F;
    p.ipd_f = 123;  // deliberately not the gap, to show what is copied
    p.ipd_s = 12.3F;
    p.snr = 5.0F;
    p.intensity = 100.0F;
    p.bin0_intensity = 50.0F;
    p.intensity_display = 110.0F;
    p.binratio = 0.5F;
    p.bg_mean = 10.0F;
    p.bg_std = 20.0F;
    p.bin0_bg_mean = 30.0F;
    p.bin0_bg_std = 40.0F;
    return p;
}

std::vector<std::uint64_t> indices(const std::vector<NormalizedPulse>& pulses) {
    std::vector<std::uint64_t> out;
    for (const NormalizedPulse& p : pulses) out.push_back(p.index);
    return out;
}

/// Whether `filter` keeps the single pulse `p` at `fps`.
bool keeps(const PulseFilter& filter, const NormalizedPulse& p, float fps = 10.0F) {
    auto result = filter.filter_pulses(std::vector<NormalizedPulse>{p}, fps);
    EXPECT_TRUE(result.ok()) << error_of(result);
    return result.ok() && result->size() == 1;
}

TEST(PulseFilter, WithoutCriteriaKeepsEveryOrderedPulseUnchanged) {
    std::vector<NormalizedPulse> pulses = {make_pulse(0, 5, 0), make_pulse(6, 9, 4), make_pulse(100, 200, 7)};
    pulses[1].snr = nan;
    pulses[2].binratio = -inf;
    auto result = PulseFilter{}.filter_pulses(pulses, 10.0F);
    ASSERT_TRUE(result.ok()) << error_of(result);
    ASSERT_EQ(result->size(), pulses.size());
    for (std::size_t i = 0; i < pulses.size(); ++i) {
        expect_same_pulse((*result)[i], pulses[i], "pulse " + std::to_string(i));
    }
}

TEST(PulseFilter, EmptyInputGivesEmptyResult) {
    PulseFilter filter;
    filter.min_snr = nan;
    filter.recalc_ipd = true;
    auto result = filter.filter_pulses({}, 10.0F);
    ASSERT_TRUE(result.ok()) << error_of(result);
    EXPECT_TRUE(result->empty());
}

struct BoundCase {
    const char* name;
    std::function<void(PulseFilter&)> set;
    std::function<void(NormalizedPulse&)> change;
    bool kept;
};

class Bound : public ::testing::TestWithParam<BoundCase> {};

TEST_P(Bound, IsInclusiveAndNeverHoldsForNaN) {
    PulseFilter filter;
    GetParam().set(filter);
    NormalizedPulse p = make_pulse(10, 20);
    GetParam().change(p);
    EXPECT_EQ(keeps(filter, p), GetParam().kept);
}

const float just_below_half = std::nextafter(0.5F, 0.0F);
const float just_above_half = std::nextafter(0.5F, 1.0F);

INSTANTIATE_TEST_SUITE_P(
    Cases, Bound,
    ::testing::Values(
        BoundCase{"MinDurFEqual", [](PulseFilter& f) { f.min_dur_f = 5; }, [](NormalizedPulse& p) { p.dur_f = 5; },
                  true},
        BoundCase{"MinDurFBelow", [](PulseFilter& f) { f.min_dur_f = 5; }, [](NormalizedPulse& p) { p.dur_f = 4; },
                  false},
        BoundCase{"MinDurFIsUnsigned", [](PulseFilter& f) { f.min_dur_f = 0x80000000U; },
                  [](NormalizedPulse& p) { p.dur_f = 0x80000001U; }, true},
        BoundCase{"MinDurSEqual", [](PulseFilter& f) { f.min_dur_s = 0.5F; },
                  [](NormalizedPulse& p) { p.dur_s = 0.5F; }, true},
        BoundCase{"MinDurSBelow", [](PulseFilter& f) { f.min_dur_s = 0.5F; },
                  [](NormalizedPulse& p) { p.dur_s = just_below_half; }, false},
        BoundCase{"MaxDurSEqual", [](PulseFilter& f) { f.max_dur_s = 0.5F; },
                  [](NormalizedPulse& p) { p.dur_s = 0.5F; }, true},
        BoundCase{"MaxDurSAbove", [](PulseFilter& f) { f.max_dur_s = 0.5F; },
                  [](NormalizedPulse& p) { p.dur_s = just_above_half; }, false},
        BoundCase{"MinSnrEqual", [](PulseFilter& f) { f.min_snr = 5.0F; }, [](NormalizedPulse& p) { p.snr = 5.0F; },
                  true},
        BoundCase{"MinSnrBelow", [](PulseFilter& f) { f.min_snr = 5.0F; },
                  [](NormalizedPulse& p) { p.snr = 4.99F; }, false},
        BoundCase{"MinSnrNaNValue", [](PulseFilter& f) { f.min_snr = -inf; }, [](NormalizedPulse& p) { p.snr = nan; },
                  false},
        BoundCase{"UnsetMinSnrKeepsNaN", [](PulseFilter&) {}, [](NormalizedPulse& p) { p.snr = nan; }, true},
        BoundCase{"MinSnrNaNBound", [](PulseFilter& f) { f.min_snr = nan; }, [](NormalizedPulse& p) { p.snr = inf; },
                  false},
        BoundCase{"MinIntensityEqual", [](PulseFilter& f) { f.min_intensity = -3.0F; },
                  [](NormalizedPulse& p) { p.intensity = -3.0F; }, true},
        BoundCase{"MinIntensityBelow", [](PulseFilter& f) { f.min_intensity = -3.0F; },
                  [](NormalizedPulse& p) { p.intensity = -3.5F; }, false},
        BoundCase{"MinIntensityInfinite", [](PulseFilter& f) { f.min_intensity = -inf; },
                  [](NormalizedPulse& p) { p.intensity = -inf; }, true},
        BoundCase{"MinIntensityIgnoresDisplay", [](PulseFilter& f) { f.min_intensity = 105.0F; },
                  [](NormalizedPulse& p) { p.intensity_display = 200.0F; }, false},
        BoundCase{"MinBinratioEqual", [](PulseFilter& f) { f.min_binratio = 0.5F; },
                  [](NormalizedPulse& p) { p.binratio = 0.5F; }, true},
        BoundCase{"MinBinratioBelow", [](PulseFilter& f) { f.min_binratio = 0.5F; },
                  [](NormalizedPulse& p) { p.binratio = just_below_half; }, false},
        BoundCase{"MinBinratioNaNValue", [](PulseFilter& f) { f.min_binratio = -inf; },
                  [](NormalizedPulse& p) { p.binratio = nan; }, false},
        BoundCase{"MaxBinratioEqual", [](PulseFilter& f) { f.max_binratio = 0.5F; },
                  [](NormalizedPulse& p) { p.binratio = 0.5F; }, true},
        BoundCase{"MaxBinratioAbove", [](PulseFilter& f) { f.max_binratio = 0.5F; },
                  [](NormalizedPulse& p) { p.binratio = just_above_half; }, false},
        BoundCase{"MaxBinratioNaNValue", [](PulseFilter& f) { f.max_binratio = inf; },
                  [](NormalizedPulse& p) { p.binratio = nan; }, false},
        BoundCase{"MaxDurSNaNBound", [](PulseFilter& f) { f.max_dur_s = nan; }, [](NormalizedPulse&) {}, false},
        BoundCase{"EveryBoundMet",
                  [](PulseFilter& f) {
                      f.min_dur_f = 10;
                      f.min_dur_s = 1.0F;
                      f.max_dur_s = 1.0F;
                      f.min_snr = 5.0F;
                      f.min_intensity = 100.0F;
                      f.min_binratio = 0.5F;
                      f.max_binratio = 0.5F;
                      f.start_m = 0.0F;
                      f.end_m = 1.0F;
                      f.mask_s = std::pair{3.0F, 4.0F};
                  },
                  [](NormalizedPulse&) {}, true},
        BoundCase{"OnlyTheLastBoundFails",
                  [](PulseFilter& f) {
                      f.min_dur_f = 10;
                      f.min_snr = 5.0F;
                      f.end_m = 1.0F;
                      f.mask_s = std::pair{1.5F, 4.0F};  // touches the pulse's end at 2.0 s
                  },
                  [](NormalizedPulse&) {}, false}),
    [](const ::testing::TestParamInfo<BoundCase>& param_info) { return std::string(param_info.param.name); });

TEST(PulseFilter, TimeWindowInMinutes) {
    // fps 10: 600 frames per minute.
    PulseFilter from_one_minute;
    from_one_minute.start_m = 1.0F;
    EXPECT_TRUE(keeps(from_one_minute, make_pulse(600, 610)));
    EXPECT_FALSE(keeps(from_one_minute, make_pulse(599, 610)));
    PulseFilter later;
    later.start_m = 1.01F;
    EXPECT_FALSE(keeps(later, make_pulse(600, 610)));

    PulseFilter until_one_minute;
    until_one_minute.end_m = 1.0F;
    EXPECT_TRUE(keeps(until_one_minute, make_pulse(590, 600)));
    EXPECT_FALSE(keeps(until_one_minute, make_pulse(590, 601)));
    PulseFilter earlier;
    earlier.end_m = 0.99F;
    EXPECT_FALSE(keeps(earlier, make_pulse(590, 600)));
}

TEST(PulseFilter, TimeWindowUsesSingleFramesPerMinute) {
    // At 29.97 fps the minute is fps * 60 in single precision; the bound at
    // exactly the single-precision start keeps the pulse and the next single
    // above it drops it.
    const float fps = static_cast<float>(29.97);
    const std::uint32_t start = 16777219;  // rounds to 16777220 as a single
    const float minutes = 16777220.0F / (fps * 60.0F);
    PulseFilter at;
    at.start_m = minutes;
    EXPECT_TRUE(keeps(at, make_pulse(start, start + 1), fps));
    PulseFilter above;
    above.start_m = std::nextafter(minutes, inf);
    EXPECT_FALSE(keeps(above, make_pulse(start, start + 1), fps));
}

struct MaskCase {
    const char* name;
    float first;
    float second;
    std::uint32_t start;
    std::uint32_t end;
    bool kept;
};

class Mask : public ::testing::TestWithParam<MaskCase> {};

TEST_P(Mask, DropsPulsesTouchingOrOverlappingTheInterval) {
    PulseFilter filter;
    filter.mask_s = std::pair{GetParam().first, GetParam().second};
    EXPECT_EQ(keeps(filter, make_pulse(GetParam().start, GetParam().end), 10.0F), GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Mask,
    ::testing::Values(MaskCase{"EndsBefore", 10.0F, 20.0F, 50, 99, true},
                      MaskCase{"EndsAtFirst", 10.0F, 20.0F, 90, 100, false},
                      MaskCase{"Inside", 10.0F, 20.0F, 120, 130, false},
                      MaskCase{"Covers", 10.0F, 20.0F, 50, 300, false},
                      MaskCase{"StartsAtSecond", 10.0F, 20.0F, 200, 210, false},
                      MaskCase{"StartsAfter", 10.0F, 20.0F, 201, 210, true},
                      MaskCase{"NaNFirstKeepsOnlyLaterPulses", nan, 20.0F, 0, 5, false},
                      MaskCase{"NaNFirstLaterPulse", nan, 20.0F, 201, 210, true},
                      MaskCase{"NaNSecondKeepsOnlyEarlierPulses", 10.0F, nan, 50, 99, true},
                      MaskCase{"NaNSecondLaterPulse", 10.0F, nan, 201, 210, false},
                      MaskCase{"InvertedIntervalSpanned", 20.0F, 10.0F, 90, 210, false},
                      MaskCase{"InvertedIntervalBetween", 20.0F, 10.0F, 150, 160, true}),
    [](const ::testing::TestParamInfo<MaskCase>& param_info) { return std::string(param_info.param.name); });

TEST(PulseFilter, GapsAreRecomputedOverKeptPulsesOnlyWhenAsked) {
    // A (10-20), B (30-40), C (50-60) with B dropped by its duration.
    std::vector<NormalizedPulse> pulses = {make_pulse(10, 20, 0), make_pulse(30, 40, 1), make_pulse(50, 60, 2)};
    pulses[1].dur_f = 3;
    pulses[2].ipd_f = 10;
    pulses[2].ipd_s = 1.0F;
    PulseFilter filter;
    filter.min_dur_f = 5;

    auto plain = filter.filter_pulses(pulses, 10.0F);
    ASSERT_TRUE(plain.ok()) << error_of(plain);
    EXPECT_EQ(indices(*plain), (std::vector<std::uint64_t>{0, 2}));
    EXPECT_EQ((*plain)[0].ipd_f, 123U) << "copied whole";
    EXPECT_EQ((*plain)[1].ipd_f, 10U);
    EXPECT_EQ(bits((*plain)[1].ipd_s), bits(1.0F));

    filter.recalc_ipd = true;
    auto recomputed = filter.filter_pulses(pulses, 10.0F);
    ASSERT_TRUE(recomputed.ok()) << error_of(recomputed);
    ASSERT_EQ(recomputed->size(), 2U);
    EXPECT_EQ((*recomputed)[0].ipd_f, 0U);
    EXPECT_EQ(bits((*recomputed)[0].ipd_s), bits(0.0F));
    EXPECT_EQ((*recomputed)[1].ipd_f, 30U);
    EXPECT_EQ(bits((*recomputed)[1].ipd_s), bits(3.0F));
    // Everything else is copied, the index included.
    NormalizedPulse expected = pulses[2];
    expected.ipd_f = 30;
    expected.ipd_s = 3.0F;
    expect_same_pulse((*recomputed)[1], expected, "C");

    // A dropped instead: B becomes the first kept pulse.
    pulses[1].dur_f = 10;
    pulses[0].dur_f = 1;
    auto without_first = filter.filter_pulses(pulses, 10.0F);
    ASSERT_TRUE(without_first.ok()) << error_of(without_first);
    EXPECT_EQ(indices(*without_first), (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ((*without_first)[0].ipd_f, 0U);
    EXPECT_EQ((*without_first)[1].ipd_f, 10U);
    EXPECT_EQ(bits((*without_first)[1].ipd_s), bits(1.0F));
}

TEST(PulseFilter, RecomputedGapIsInSeconds) {
    // A gap of 16,777,219 frames is 16,777,220 as a single: 1677722 s at 10 fps.
    PulseFilter filter;
    filter.recalc_ipd = true;
    auto result = filter.filter_pulses(std::vector{make_pulse(0, 1), make_pulse(16777220, 16777221)}, 10.0F);
    ASSERT_TRUE(result.ok()) << error_of(result);
    ASSERT_EQ(result->size(), 2U);
    EXPECT_EQ((*result)[1].ipd_f, 16777219U);
    EXPECT_EQ(bits((*result)[1].ipd_s), bits(1677722.0F));
}

TEST(PulseFilter, OrderCheckIsStrictAndIgnoresTheCriteria) {
    PulseFilter filter;
    filter.min_dur_f = 15;  // drops the 10-frame pulses below

    // The second starts before the first ends; the first would be dropped.
    EXPECT_EQ(error_of(filter.filter_pulses(std::vector{make_pulse(10, 20), make_pulse(15, 40)}, 10.0F)), unsorted);
    // Touching pulses fail too; so do pulses in reverse order.
    EXPECT_EQ(error_of(PulseFilter{}.filter_pulses(std::vector{make_pulse(10, 20), make_pulse(20, 40)}, 10.0F)),
              unsorted);
    EXPECT_EQ(error_of(PulseFilter{}.filter_pulses(std::vector{make_pulse(50, 60), make_pulse(10, 20)}, 10.0F)),
              unsorted);
    // The previous pulse is the one just before in the input, kept or not:
    // C starts after A but not after the dropped B.
    EXPECT_EQ(error_of(filter.filter_pulses(
                  std::vector{make_pulse(0, 20), make_pulse(30, 40), make_pulse(35, 80)}, 10.0F)),
              unsorted);
    // A fault after kept pulses returns no partial result.
    EXPECT_EQ(error_of(PulseFilter{}.filter_pulses(
                  std::vector{make_pulse(0, 1), make_pulse(2, 3), make_pulse(4, 5), make_pulse(5, 6)}, 10.0F)),
              unsorted);
    // One frame apart is in order.
    auto apart = PulseFilter{}.filter_pulses(std::vector{make_pulse(10, 20), make_pulse(21, 40)}, 10.0F);
    ASSERT_TRUE(apart.ok()) << error_of(apart);
    EXPECT_EQ(apart->size(), 2U);
}

TEST(PulseFilter, SinglePulsePassesTheOrderCheckAnywhere) {
    PulseFilter none;
    EXPECT_TRUE(keeps(none, make_pulse(0, 0)));
    EXPECT_TRUE(keeps(none, make_pulse(0, 1)));
    EXPECT_TRUE(keeps(none, make_pulse(4294967295U, 4)));
}

// get_pulses filters the pulses as they are decoded, a piece of a few hundred
// records at a time; over an aperture of several pieces it must keep what
// filtering the whole list keeps, and fail where that fails.
std::vector<Record> long_pulse_stream(std::size_t count, std::size_t gapless_at) {
    std::vector<Record> records;
    for (std::size_t i = 0; i < count; ++i) {
        const auto ipd = static_cast<std::uint16_t>(i == gapless_at ? 0 : 1 + i % 7);
        if (i % 11 == 5) records.push_back(background(ipd, 3, 4, 5, 6));
        else records.push_back(pulse(ipd, static_cast<std::uint16_t>(1 + i % 13),
                                        static_cast<int>(i % 50), 40, 0, 2, 0, 8));
    }
    return records;
}

TEST(PulseFilter, GetPulsesFiltersLongAperturesAsTheWholeListIsFiltered) {
    TempDir dir;
    PulseFilePlan plan;
    plan.apertures = {aperture(0, long_pulse_stream(3000, SIZE_MAX)), aperture(1, long_pulse_stream(3000, 1500))};
    auto reader = PulseReader::open(dir.write("pulses.bin", plan));
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    const std::vector<NormalizedPulse> all = reader->get_pulses(0).value().pulses;
    ASSERT_GT(all.size(), 2000U);

    PulseFilter filter;
    filter.min_intensity = 20.0F;
    filter.recalc_ipd = true;
    const auto whole = filter.filter_pulses(all, reader->fps());
    auto piecewise = reader->get_pulses(0, &filter);
    ASSERT_TRUE(whole.ok() && piecewise.ok()) << error_of(piecewise);
    ASSERT_EQ(piecewise->pulses.size(), whole->size());
    std::size_t differing = 0;
    for (std::size_t i = 0; i < whole->size(); ++i) {
        const NormalizedPulse& a = piecewise->pulses[i];
        const NormalizedPulse& b = (*whole)[i];
        if (a.index != b.index || a.ipd_f != b.ipd_f || bits(a.ipd_s) != bits(b.ipd_s)) ++differing;
    }
    EXPECT_EQ(differing, 0U);

    // A pulse starting where the one before ended, in the third piece.
    EXPECT_EQ(error_of(reader->get_pulses(1, &filter)), unsorted);
    EXPECT_TRUE(reader->get_pulses(1).ok()) << "only the filter checks the order";
}

}  // namespace
}  // namespace kvt::testing
