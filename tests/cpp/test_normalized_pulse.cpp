// Pulse normalization: absolute frames from the records' frame increments,
// durations and gaps in seconds, derived intensities; and `get_pulses`.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pulse_file_builder.hpp"
#include "pulse_reader/pulse_reader.hpp"
#include "pulse_reader/records/normalized_pulse.hpp"
#include "test_helpers.hpp"

namespace kvt::testing {
namespace {

constexpr float inf = std::numeric_limits<float>::infinity();

/// The records decoded with scale 1 and offset 0, numbered from 0.
std::vector<FormattedRecord> decoded(const std::vector<Record>& records) {
    const EncodingRecords plain{};
    std::vector<FormattedRecord> out;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto bytes = record_bytes(records[i]);
        out.push_back(FormattedRecord::from_raw(bytes, plain, i));
    }
    return out;
}

std::vector<NormalizedPulse> normalized(const std::vector<Record>& records, float fps = 100.0F) {
    return NormalizedPulse::from_formatted_records(decoded(records), fps);
}

/// A bare record of `type` that only moves the frame counter.
FormattedRecord mover(std::uint16_t ipd, FormattedRecordType type = FormattedRecordType::Background) {
    FormattedRecord record;
    record.record_type = type;
    record.ipd_f = ipd;
    return record;
}

FormattedRecord pulse_record(std::uint16_t ipd, std::uint16_t dur) {
    FormattedRecord record = mover(ipd, FormattedRecordType::Pulse);
    record.dur_f = dur;
    return record;
}

void expect_frames(const NormalizedPulse& p, std::uint64_t index, std::uint32_t start, std::uint32_t end,
                   std::uint32_t dur, std::uint32_t ipd) {
    EXPECT_EQ(p.index, index);
    EXPECT_EQ(p.start_f, start);
    EXPECT_EQ(p.end_f, end);
    EXPECT_EQ(p.dur_f, dur);
    EXPECT_EQ(p.ipd_f, ipd);
}

const std::vector<Record> worked_example = {background(10), pulse(5, 20), step_down(3, 0), pulse(4, 10)};

void expect_worked_example(const std::vector<NormalizedPulse>& pulses) {
    ASSERT_EQ(pulses.size(), 2U);
    expect_frames(pulses[0], 1, 15, 35, 20, 0);
    EXPECT_EQ(bits(pulses[0].dur_s), bits(0.2F));
    EXPECT_EQ(bits(pulses[0].ipd_s), bits(0.0F));
    expect_frames(pulses[1], 3, 42, 52, 10, 7);
    EXPECT_EQ(bits(pulses[1].dur_s), bits(0.1F));
    EXPECT_EQ(bits(pulses[1].ipd_s), bits(0.07F));
}

TEST(NormalizedPulse, WorkedExample) { expect_worked_example(normalized(worked_example, 100.0F)); }

TEST(NormalizedPulse, WorkedExampleThroughGetPulses) {
    TempDir dir;
    PulseFilePlan plan;
    plan.metadata = R"({"fps": 100})";
    plan.apertures = {aperture(2, {pulse(1, 1)}), aperture(8, worked_example, 31, 41)};
    const BuiltFile file = build(plan);
    auto reader = PulseReader::open(dir.write("pulses.bin", file.bytes));
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    auto result = reader->get_pulses(8);
    ASSERT_TRUE(result.ok()) << error_of(result);
    expect_worked_example(result->pulses);
    EXPECT_EQ(result->header, (ApertureHeader{.aperture_byteloc = file.block_offsets[1], .aperture_x = 31,
                                              .aperture_y = 41, .aperture_index = 8, .num_records = 4}));
}

TEST(NormalizedPulse, NoRecordsOrNoPulsesGiveNoPulses) {
    EXPECT_TRUE(normalized({}).empty());
    EXPECT_TRUE(normalized({background(5), padding(), step_up(1, 2), long_pulse_update(3, 4)}).empty());
}

TEST(NormalizedPulse, FirstPulseHasNoGapWhereverItStarts) {
    const auto pulses = normalized({padding(), padding(), pulse(1000, 3)}, 10.0F);
    ASSERT_EQ(pulses.size(), 1U);
    expect_frames(pulses[0], 2, 2 * 65535 + 1000, 2 * 65535 + 1003, 3, 0);
    EXPECT_EQ(bits(pulses[0].ipd_s), bits(0.0F));
    EXPECT_EQ(bits(pulses[0].dur_s), bits(0.3F));
}

TEST(NormalizedPulse, PulseWithoutGapStartsAtThePreviousEnd) {
    const auto pulses = normalized({pulse(4, 6), pulse(0, 2), pulse(0, 1)});
    ASSERT_EQ(pulses.size(), 3U);
    expect_frames(pulses[0], 0, 4, 10, 6, 0);
    expect_frames(pulses[1], 1, 10, 12, 2, 0);
    expect_frames(pulses[2], 2, 12, 13, 1, 0);
}

TEST(NormalizedPulse, EveryOtherKindOnlyMovesTheCounter) {
    // Unknown: w2 non-zero and no marker in w6.
    const Record unknown = {7, 0, 1, 0, 0, 0, 0, 0};
    const auto pulses = normalized({pulse(2, 3), padding(), unknown, background(1), step_up(2, 99), step_down(3, 99),
                                    long_pulse_update(4, 1000000), long_pulse_dropped(5, 0xFFFFFFFF), pulse(6, 1)});
    ASSERT_EQ(pulses.size(), 2U);
    expect_frames(pulses[0], 0, 2, 5, 3, 0);
    const std::uint32_t gap = 65535 + 7 + 1 + 2 + 3 + 4 + 5 + 6;
    expect_frames(pulses[1], 8, 5 + gap, 5 + gap + 1, 1, gap);
}

TEST(NormalizedPulse, LongPulseRecordsChangeNoPulse) {
    const auto pulses = normalized({pulse(5, 10), long_pulse_update(4, 1000000), long_pulse_dropped(3, 70000),
                                    pulse(2, 6)});
    ASSERT_EQ(pulses.size(), 2U);
    expect_frames(pulses[0], 0, 5, 15, 10, 0);
    expect_frames(pulses[1], 3, 24, 30, 6, 9);
}

TEST(NormalizedPulse, IntensitiesComeFromTheDecodedRecord) {
    // Stored w2..w7: bin0_intensity, bin1_intensity, bin0_bg_mean,
    // bin1_bg_mean, bin0_bg_std, bin1_bg_std.
    const auto pulses = normalized({pulse(0, 3, 30, 12, 5, 7, 9, 4), pulse(0, 3, 1, 3, -2, 1, 6, 7)});
    ASSERT_EQ(pulses.size(), 2U);
    const NormalizedPulse& p = pulses[0];
    EXPECT_EQ(bits(p.intensity), bits(12.0F));
    EXPECT_EQ(bits(p.bin0_intensity), bits(30.0F));
    EXPECT_EQ(bits(p.bg_mean), bits(7.0F));
    EXPECT_EQ(bits(p.bg_std), bits(4.0F));
    EXPECT_EQ(bits(p.bin0_bg_mean), bits(5.0F));
    EXPECT_EQ(bits(p.bin0_bg_std), bits(9.0F));
    EXPECT_EQ(bits(p.snr), bits(3.0F));                 // 12 / 4
    EXPECT_EQ(bits(p.intensity_display), bits(19.0F));  // 12 + 7
    EXPECT_EQ(bits(p.binratio), bits(2.5F));            // 30 / 12

    const NormalizedPulse& q = pulses[1];
    EXPECT_EQ(bits(q.binratio), 0x3EAAAAABU);  // 1/3 rounded to single
    EXPECT_EQ(bits(q.snr), 0x3EDB6DB7U);       // 3/7 rounded to single
    EXPECT_EQ(bits(q.intensity_display), bits(4.0F));
    EXPECT_EQ(bits(q.bin0_bg_mean), bits(-2.0F));
}

TEST(NormalizedPulse, ScaledFieldsAreUsedAsDecoded) {
    TempDir dir;
    PulseFilePlan plan;
    plan.metadata = R"({"fps": 20})";
    for (std::size_t k = 2; k < 8; ++k) plan.encodings[k] = {.code = 0, .scale_exponent = 2, .offset = 100};
    plan.apertures = {aperture(0, {pulse(0, 5, 8, 4, 0, 40, 0, -4)})};
    auto reader = PulseReader::open(dir.write("pulses.bin", plan));
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    auto result = reader->get_pulses(0);
    ASSERT_TRUE(result.ok()) << error_of(result);
    ASSERT_EQ(result->pulses.size(), 1U);
    const NormalizedPulse& p = result->pulses[0];
    EXPECT_EQ(bits(p.intensity), bits(101.0F));           // 4/4 + 100
    EXPECT_EQ(bits(p.bin0_intensity), bits(102.0F));      // 8/4 + 100
    EXPECT_EQ(bits(p.bg_std), bits(99.0F));               // -4/4 + 100
    EXPECT_EQ(bits(p.snr), bits(101.0F / 99.0F));
    EXPECT_EQ(bits(p.intensity_display), bits(211.0F));  // 101 + 110
    EXPECT_EQ(bits(p.dur_s), bits(0.25F));                // 5 / 20
}

TEST(NormalizedPulse, ZeroDenominatorsGiveInfinityOrNaN) {
    // bin1_bg_std (w7) 0 for snr; bin1_intensity (w3) 0 for binratio.
    const auto pulses = normalized({
        pulse(0, 1, 0, 5, 0, 0, 0, 0),   // snr +inf
        pulse(0, 1, 0, -5, 0, 0, 0, 0),  // snr -inf
        pulse(0, 1, 3, 0, 0, 0, 0, 0),   // snr NaN, binratio +inf
        pulse(0, 1, -3, 0, 0, 0, 0, 0),  // binratio -inf
        pulse(0, 1, 0, 0, 0, 0, 0, 1),   // binratio NaN, snr 0
    });
    ASSERT_EQ(pulses.size(), 5U);
    EXPECT_EQ(pulses[0].snr, inf);
    EXPECT_EQ(pulses[1].snr, -inf);
    EXPECT_TRUE(std::isnan(pulses[2].snr));
    EXPECT_EQ(pulses[2].binratio, inf);
    EXPECT_EQ(pulses[3].binratio, -inf);
    EXPECT_TRUE(std::isnan(pulses[4].binratio));
    EXPECT_EQ(bits(pulses[4].snr), bits(0.0F));
    EXPECT_EQ(bits(pulses[0].binratio), bits(0.0F));
}

TEST(NormalizedPulse, ReservedValuesPropagate) {
    // bin1_intensity NaN: every value derived from it is NaN.
    const auto pulses = normalized({pulse(0, 1, 2, 0x8000, 0, 3, 0, 4), pulse(0, 1, 2, 0x7FFF, 0, 0x8001, 0, 4)});
    ASSERT_EQ(pulses.size(), 2U);
    EXPECT_EQ(bits(pulses[0].intensity), reserved_nan_bits);
    EXPECT_TRUE(std::isnan(pulses[0].snr));
    EXPECT_TRUE(std::isnan(pulses[0].intensity_display));
    EXPECT_TRUE(std::isnan(pulses[0].binratio));
    EXPECT_EQ(pulses[1].snr, inf);
    EXPECT_TRUE(std::isnan(pulses[1].intensity_display)) << "+inf plus -inf";
    EXPECT_EQ(bits(pulses[1].binratio), bits(0.0F));
}

TEST(NormalizedPulse, SecondsAreSinglePrecisionOfTheSingleFrameCount) {
    // A gap of 16,777,219 frames: as a single it is 16,777,220 (ties to
    // even), so with fps 10 the gap is exactly 1677722 s. Dividing the exact
    // count in double and rounding afterwards would give 1677721.875.
    std::vector<Record> records = {pulse(0, 1)};
    for (int i = 0; i < 256; ++i) records.push_back(background(65535));
    records.push_back(pulse(259, 1));
    const auto pulses = normalized(records, 10.0F);
    ASSERT_EQ(pulses.size(), 2U);
    EXPECT_EQ(pulses[1].ipd_f, 16777219U);
    EXPECT_EQ(bits(pulses[1].ipd_s), bits(1677722.0F)) << pulses[1].ipd_s;
    // Durations too: 7 frames at 3 fps.
    EXPECT_EQ(bits(normalized({pulse(0, 7)}, 3.0F)[0].dur_s), bits(7.0F / 3.0F));
}

TEST(NormalizedPulse, FramesWrapAt32Bits) {
    std::vector<FormattedRecord> records(65536, mover(65535));  // 4,294,901,760 frames
    records.push_back(mover(65531));                           // 2^32 - 5
    records.push_back(pulse_record(0, 10));                    // ends past 2^32
    records.push_back(pulse_record(1, 1));
    for (std::size_t i = 0; i < records.size(); ++i) records[i].index = i;
    const auto pulses = NormalizedPulse::from_formatted_records(records, 100.0F);
    ASSERT_EQ(pulses.size(), 2U);
    expect_frames(pulses[0], 65537, 4294967291U, 5, 10, 0);
    expect_frames(pulses[1], 65538, 6, 7, 1, 1);

    // The counter itself wraps too.
    std::vector<FormattedRecord> more(65538, mover(65535));  // 2^32 + 65,534 frames
    more.push_back(pulse_record(0, 10));
    const auto wrapped = NormalizedPulse::from_formatted_records(more, 100.0F);
    ASSERT_EQ(wrapped.size(), 1U);
    EXPECT_EQ(wrapped[0].start_f, 65534U);
}

TEST(NormalizedPulse, FpsOfTheFileIsUsed) {
    TempDir dir;
    PulseFilePlan plan;
    plan.metadata = R"({"fps": 29.97})";
    plan.apertures = {aperture(0, {pulse(3, 7), pulse(2, 1)})};
    auto reader = PulseReader::open(dir.write("pulses.bin", plan));
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    auto result = reader->get_pulses(0);
    ASSERT_TRUE(result.ok()) << error_of(result);
    const float fps = static_cast<float>(29.97);
    EXPECT_EQ(bits(result->pulses[0].dur_s), bits(7.0F / fps));
    EXPECT_EQ(bits(result->pulses[1].ipd_s), bits(2.0F / fps));
}

/// A long record stream of every kind, with reserved words and scaled fields.
std::vector<Record> mixed_records(std::size_t count) {
    std::vector<Record> records;
    for (std::size_t i = 0; i < count; ++i) {
        const auto n = static_cast<std::uint16_t>(i);
        switch (i % 7) {
            case 0: records.push_back(pulse(static_cast<std::uint16_t>(i % 5), static_cast<std::uint16_t>(1 + i % 9),
                                            n, n * 3 % 0x8000, 7, 0x8000, 2, static_cast<int>(i % 4)));
                break;
            case 1: records.push_back(background(static_cast<std::uint16_t>(i % 11), n, 3, 4, 5)); break;
            case 2: records.push_back(pulse(0, 2, 0x7FFF, 0, 0x8001, 1, 1, 0)); break;
            case 3: records.push_back(long_pulse_update(3, static_cast<std::uint32_t>(i) * 100000U)); break;
            case 4: records.push_back(padding()); break;
            case 5: records.push_back(step_down(1, 5, 2, 3, 4)); break;
            default: records.push_back(pulse(1, 65535, -5, -7, 1, 2, 3, 0x7FFF)); break;
        }
    }
    return records;
}

TEST(GetPulses, EqualsNormalizingAllRecords) {
    // Spanning many thousands of records, so that any piecewise processing of
    // a block must join its pieces seamlessly.
    TempDir dir;
    PulseFilePlan plan;
    plan.metadata = R"({"fps": 37.5})";
    for (std::size_t k = 2; k < 8; ++k) {
        plan.encodings[k] = {.code = 0, .scale_exponent = static_cast<std::uint8_t>(k), .offset = 3};
    }
    plan.apertures = {aperture(0, mixed_records(5000))};
    auto reader = PulseReader::open(dir.write("pulses.bin", plan));
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    auto records = reader->get_all_records(0);
    ASSERT_TRUE(records.ok()) << error_of(records);
    const auto expected = NormalizedPulse::from_formatted_records(records->records, 37.5F);
    auto result = reader->get_pulses(0);
    ASSERT_TRUE(result.ok()) << error_of(result);
    ASSERT_EQ(result->pulses.size(), expected.size());
    EXPECT_GT(expected.size(), 2000U);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        expect_same_pulse(result->pulses[i], expected[i], "pulse " + std::to_string(i));
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_EQ(result->header, records->header);
}

TEST(GetPulses, FilterIsAppliedWhenGiven) {
    TempDir dir;
    PulseFilePlan plan;
    plan.metadata = R"({"fps": 10})";
    plan.apertures = {aperture(3, {pulse(10, 2), pulse(10, 8), pulse(10, 3), pulse(10, 9)}, 5, 6)};
    auto reader = PulseReader::open(dir.write("pulses.bin", plan));
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    PulseFilter filter;
    filter.min_dur_f = 5;
    auto result = reader->get_pulses(3, &filter);
    ASSERT_TRUE(result.ok()) << error_of(result);
    ASSERT_EQ(result->pulses.size(), 2U);
    EXPECT_EQ(result->pulses[0].index, 1U);
    EXPECT_EQ(result->pulses[1].index, 3U);
    EXPECT_EQ(result->pulses[1].ipd_f, 10U) << "gap to the unfiltered predecessor";
    EXPECT_EQ(result->header.aperture_x, 5U);
    EXPECT_EQ(reader->get_pulses(3)->pulses.size(), 4U);
}

TEST(GetPulses, OrderIsCheckedOnlyWithAFilter) {
    TempDir dir;
    PulseFilePlan plan;
    plan.apertures = {aperture(0, {pulse(1, 2), pulse(0, 3)}), aperture(1, {pulse(1, 2)})};
    auto reader = PulseReader::open(dir.write("pulses.bin", plan));
    ASSERT_TRUE(reader.ok()) << error_of(reader);

    auto unfiltered = reader->get_pulses(0);
    ASSERT_TRUE(unfiltered.ok()) << error_of(unfiltered);
    ASSERT_EQ(unfiltered->pulses.size(), 2U);
    EXPECT_EQ(unfiltered->pulses[1].ipd_f, 0U);

    const PulseFilter no_criteria;
    EXPECT_EQ(error_of(reader->get_pulses(0, &no_criteria)), "The provided pulses aren't sorted!");
    EXPECT_TRUE(reader->get_pulses(1, &no_criteria).ok()) << "the reader stays usable";
    EXPECT_EQ(error_of(reader->get_pulses(2, &no_criteria)),
              "This file does not contain the provided aperture index: 2");
}

}  // namespace
}  // namespace kvt::testing
