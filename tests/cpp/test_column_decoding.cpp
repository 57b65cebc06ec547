// Reading apertures straight into columns: the same values, bit for bit, as
// decoding into records and normalizing them, for every size around the
// decoders' piece and lane boundaries, on one thread and split between two.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pulse_file_builder.hpp"
#include "pulse_reader/large_buffer.hpp"
#include "pulse_reader/pulse_reader.hpp"
#include "pulse_reader/records/column_decoding.hpp"
#include "test_helpers.hpp"

namespace kvt::testing {
namespace {

/// Records of every kind, with the reserved words, zero divisors and frame
/// counts that wrap.
std::vector<Record> mixed_records(std::size_t count, std::uint32_t seed) {
    std::mt19937 random(seed);
    const auto any_word = [&random]() -> int {
        switch (random() % 8) {
            case 0: return 0x7FFF;
            case 1: return 0x8000;
            case 2: return 0x8001;
            case 3: return 0;
            default: return static_cast<int>(random() % 65536);
        }
    };
    std::vector<Record> records;
    records.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto ipd = static_cast<std::uint16_t>(random() % 3 == 0 ? random() % 65535 : random() % 40);
        switch (random() % 10) {
            case 0: records.push_back(background(ipd, any_word(), any_word(), any_word(), any_word())); break;
            case 1: records.push_back(padding()); break;
            case 2: records.push_back(step_up(ipd, static_cast<std::uint32_t>(random()), any_word(), any_word())); break;
            case 3: records.push_back(long_pulse_dropped(ipd, static_cast<std::uint32_t>(random()))); break;
            case 4: {
                Record unknown{ipd, 0, 5, 0, 1, 2, 3, 4};  // w2 set, no marker: unknown
                records.push_back(unknown);
                break;
            }
            default: {
                const auto dur = static_cast<std::uint16_t>(1 + random() % (random() % 4 == 0 ? 65535 : 30));
                records.push_back(pulse(ipd, dur, any_word(), any_word(), any_word(), any_word(), any_word(),
                                        any_word()));
            }
        }
    }
    return records;
}

PulseFilePlan plan_of(std::vector<Record> records) {
    PulseFilePlan plan;
    plan.metadata = R"({"fps": 30})";
    for (std::size_t k = 0; k < 8; ++k) {
        plan.encodings[k] = {.code = 0, .scale_exponent = static_cast<std::uint8_t>(k * 2),
                             .offset = static_cast<std::uint16_t>(k * 100)};
    }
    plan.apertures = {aperture(3, std::move(records))};
    return plan;
}

/// Column buffers for `rows` rows.
class Columns {
public:
    explicit Columns(std::size_t rows) : rows_(rows) {}

    template <class T>
    T* column() {
        buffers_.emplace_back(rows_ * sizeof(T));
        return buffers_.back().as<T>();
    }

    RecordColumnPointers records() {
        return {column<std::uint16_t>(), column<std::uint16_t>(), column<float>(),
                column<float>(),         column<float>(),         column<float>(),
                column<float>(),         column<float>(),         column<std::uint32_t>(),
                column<FormattedRecordType>(), column<double>(),  column<double>()};
    }

    PulseColumnPointers pulses() {
        return {column<std::uint64_t>(), column<std::uint32_t>(), column<std::uint32_t>(), column<std::uint32_t>(),
                column<float>(),         column<std::uint32_t>(), column<float>(),         column<float>(),
                column<float>(),         column<float>(),         column<float>(),         column<float>(),
                column<float>(),         column<float>(),         column<float>(),         column<float>()};
    }

private:
    std::size_t rows_;
    std::vector<LargeBuffer> buffers_;
};

NormalizedPulse pulse_at(const PulseColumnPointers& out, std::size_t i) {
    NormalizedPulse pulse;
    pulse.index = out.index[i];
    pulse.start_f = out.start_f[i];
    pulse.end_f = out.end_f[i];
    pulse.dur_f = out.dur_f[i];
    pulse.dur_s = out.dur_s[i];
    pulse.ipd_f = out.ipd_f[i];
    pulse.ipd_s = out.ipd_s[i];
    pulse.snr = out.snr[i];
    pulse.intensity = out.intensity[i];
    pulse.bin0_intensity = out.bin0_intensity[i];
    pulse.intensity_display = out.intensity_display[i];
    pulse.binratio = out.binratio[i];
    pulse.bg_mean = out.bg_mean[i];
    pulse.bg_std = out.bg_std[i];
    pulse.bin0_bg_mean = out.bin0_bg_mean[i];
    pulse.bin0_bg_std = out.bin0_bg_std[i];
    return pulse;
}

std::uint64_t double_bits(double value) { return std::bit_cast<std::uint64_t>(value); }

double expected_optional(const std::optional<std::uint32_t>& value) {
    return value ? static_cast<double>(*value) : std::numeric_limits<double>::quiet_NaN();
}

class ColumnReadingSizes : public ::testing::TestWithParam<std::size_t> {
protected:
    TempDir dir_;
};

// Sizes around the lanes (8), the pieces (256, 512) and the default chunk
// (16384 records), with an odd split.
INSTANTIATE_TEST_SUITE_P(Sizes, ColumnReadingSizes,
                         ::testing::Values(0, 1, 2, 7, 8, 9, 15, 511, 512, 513, 1031, 5000, 70001));

/// On one thread; and shared by two threads reading small chunks, so that
/// even small blocks are split, anywhere.
const std::vector<ColumnReading> ways = {
    {.split_from = std::numeric_limits<std::size_t>::max()},
    {.split_from = 0, .chunk_records = 8, .split_before_start = true},
    {.split_from = 0, .chunk_records = 3, .split_before_start = true},
};
constexpr ColumnReading always_split{.split_from = 0, .chunk_records = 1, .split_before_start = true};

std::string way_of(const ColumnReading& how) {
    return "split from " + std::to_string(how.split_from) + ", chunks of " + std::to_string(how.chunk_records);
}

TEST_P(ColumnReadingSizes, PulsesEqualNormalizingTheDecodedRecords) {
    const std::size_t count = GetParam();
    const auto reader = PulseReader::open(dir_.write("pulses.bin", plan_of(mixed_records(count, 11))));
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    const auto expected = reader->get_pulses(3);
    ASSERT_TRUE(expected.ok());
    const auto place = reader->locate_block(3);
    ASSERT_TRUE(place.ok());
    EXPECT_EQ(place->header.num_records, count);
    for (const ColumnReading& how : ways) {
        Columns columns(count);
        const PulseColumnPointers out = columns.pulses();
        const auto written = reader->read_pulse_columns(*place, nullptr, out, how);
        ASSERT_TRUE(written.ok()) << error_of(written);
        ASSERT_EQ(*written, expected->pulses.size()) << way_of(how);
        for (std::size_t i = 0; i < *written; ++i) {
            expect_same_pulse(pulse_at(out, i), expected->pulses[i], "pulse " + std::to_string(i) + ", " + way_of(how));
            if (HasFailure()) return;
        }
    }
}

TEST_P(ColumnReadingSizes, RecordsEqualDecodingIntoRecords) {
    const std::size_t count = GetParam();
    const auto reader = PulseReader::open(dir_.write("pulses.bin", plan_of(mixed_records(count, 23))));
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    const auto expected = reader->get_all_records(3);
    ASSERT_TRUE(expected.ok());
    const auto place = reader->locate_block(3);
    ASSERT_TRUE(place.ok());
    for (const ColumnReading& how : ways) {
        Columns columns(count);
        const RecordColumnPointers out = columns.records();
        ASSERT_TRUE(reader->read_record_columns(*place, out, how).ok());
        std::uint32_t start_f = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const FormattedRecord& record = expected->records[i];
            const std::string where = "record " + std::to_string(i) + ", " + way_of(how);
            start_f += record.ipd_f;
            EXPECT_EQ(out.ipd_f[i], record.ipd_f) << where;
            EXPECT_EQ(out.dur_f[i], record.dur_f) << where;
            EXPECT_EQ(bits(out.bin0_intensity[i]), bits(record.bin0_intensity)) << where;
            EXPECT_EQ(bits(out.bin1_intensity[i]), bits(record.bin1_intensity)) << where;
            EXPECT_EQ(bits(out.bin0_bg_mean[i]), bits(record.bin0_bg_mean)) << where;
            EXPECT_EQ(bits(out.bin1_bg_mean[i]), bits(record.bin1_bg_mean)) << where;
            EXPECT_EQ(bits(out.bin0_bg_std[i]), bits(record.bin0_bg_std)) << where;
            EXPECT_EQ(bits(out.bin1_bg_std[i]), bits(record.bin1_bg_std)) << where;
            EXPECT_EQ(out.start_f[i], start_f) << where;
            EXPECT_EQ(out.record_type[i], record.record_type) << where;
            EXPECT_EQ(double_bits(out.long_pulse_duration_f[i]),
                      double_bits(expected_optional(record.long_pulse_duration_f)))
                << where;
            EXPECT_EQ(double_bits(out.event_f[i]), double_bits(expected_optional(record.event_f))) << where;
            if (HasFailure()) return;
        }
    }
}

TEST(ColumnReadingSplit, HalvesMeetWhereeverThePulsesAre) {
    // The split falls before, inside and after runs without pulses, and the
    // halves may hold no pulse at all.
    const std::vector<std::vector<Record>> blocks = {
        {background(4), background(5), pulse(1, 2, 3, 4), pulse(7, 1)},
        {pulse(1, 2, 3, 4), pulse(7, 1), background(9), padding()},
        {background(4), padding(), background(5), padding()},
        {pulse(65535, 65535), pulse(65535, 65535), pulse(65535, 65535), background(65535), pulse(1, 1)},
        {pulse(3, 3), background(2), background(2), pulse(3, 3)},
    };
    TempDir dir;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const auto reader = PulseReader::open(dir.write("pulses.bin", plan_of(blocks[b])));
        ASSERT_TRUE(reader.ok());
        const auto expected = reader->get_pulses(3);
        const auto place = reader->locate_block(3);
        ASSERT_TRUE(expected.ok() && place.ok());
        Columns columns(blocks[b].size());
        const PulseColumnPointers out = columns.pulses();
        const auto written = reader->read_pulse_columns(*place, nullptr, out, always_split);
        ASSERT_TRUE(written.ok());
        ASSERT_EQ(*written, expected->pulses.size()) << "block " << b;
        for (std::size_t i = 0; i < *written; ++i) {
            expect_same_pulse(pulse_at(out, i), expected->pulses[i], "block " + std::to_string(b));
        }
    }
}

TEST(ColumnReadingFilter, KeepsWhatFilteringThePulsesKeepsAndFailsTheSameWay) {
    TempDir dir;
    PulseFilter filter;
    filter.min_intensity = 300.04F;  // keeps stored intensities of 3 and more
    filter.recalc_ipd = true;
    const auto reader = PulseReader::open(dir.write("pulses.bin", plan_of(mixed_records(3000, 5))));
    ASSERT_TRUE(reader.ok());
    const auto place = reader->locate_block(3);
    ASSERT_TRUE(place.ok());
    Columns columns(3000);
    const PulseColumnPointers out = columns.pulses();
    const auto expected = reader->get_pulses(3, &filter);
    const auto written = reader->read_pulse_columns(*place, &filter, out);
    ASSERT_EQ(written.ok(), expected.ok());
    if (!expected.ok()) {
        // Random pulses are rarely in order: the same refusal.
        EXPECT_EQ(error_of(written), error_of(expected));
    }

    // Pulses in order, some of them dropped.
    std::vector<Record> ordered;
    for (int i = 0; i < 2000; ++i) ordered.push_back(pulse(3, 2, 0, i % 7, 0, 0, 0, 1));
    const auto in_order = PulseReader::open(dir.write("ordered.bin", plan_of(ordered)));
    ASSERT_TRUE(in_order.ok());
    const auto ordered_place = in_order->locate_block(3);
    ASSERT_TRUE(ordered_place.ok());
    const auto kept = in_order->get_pulses(3, &filter);
    ASSERT_TRUE(kept.ok());
    ASSERT_GT(kept->pulses.size(), 0U);
    ASSERT_LT(kept->pulses.size(), ordered.size());
    Columns ordered_columns(ordered.size());
    const PulseColumnPointers ordered_out = ordered_columns.pulses();
    const auto ordered_written = in_order->read_pulse_columns(*ordered_place, &filter, ordered_out, always_split);
    ASSERT_TRUE(ordered_written.ok());
    ASSERT_EQ(*ordered_written, kept->pulses.size());
    for (std::size_t i = 0; i < *ordered_written; ++i) {
        expect_same_pulse(pulse_at(ordered_out, i), kept->pulses[i], "kept pulse " + std::to_string(i));
    }
}

TEST(ColumnReadingErrors, ReadFailuresAreReportedForEitherHalf) {
    TempDir dir;
    PulseFilePlan plan = plan_of(mixed_records(64, 3));
    const BuiltFile file = build(plan);
    const std::string path = dir.write("pulses.bin", file.bytes);
    const auto reader = PulseReader::open(path);
    ASSERT_TRUE(reader.ok());
    const auto place = reader->locate_block(3);
    ASSERT_TRUE(place.ok());
    // The file shrinks after the block was found: the first or the second
    // half can no longer be read in full.
    for (const std::uint64_t cut : {place->records_at + 16, place->records_at + 16 * 40}) {
        std::filesystem::resize_file(path, cut);
        Columns columns(64);
        const auto written = reader->read_pulse_columns(*place, nullptr, columns.pulses(), always_split);
        EXPECT_EQ(error_of(written), "failed to fill whole buffer") << "cut at " << cut;
        const Status records = reader->read_record_columns(*place, columns.records(), always_split);
        EXPECT_EQ(records.ok() ? "<no error>" : records.error().message(), "failed to fill whole buffer");
    }
}

TEST(LargeBuffer, IsReusedAfterReleaseWithinItsBound) {
    // A size no other test asks for, so that no other kept buffer fits it better.
    const std::size_t size = (std::size_t{37} << 20) + 123;
    std::byte* first_data = nullptr;
    {
        LargeBuffer first(size);
        ASSERT_TRUE(first);
        EXPECT_GE(first.capacity(), size);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first.data()) % alignof(std::max_align_t), 0U);
        first.data()[first.capacity() - 1] = std::byte{1};  // the whole capacity is usable
        first_data = first.data();
    }
    const std::size_t kept = large_buffers_kept();
    EXPECT_GE(kept, size);
    {
        // The same memory comes back, maybe at another start within it.
        LargeBuffer again(size);
        ASSERT_TRUE(again);
        const auto distance = again.data() - first_data;
        EXPECT_LT(distance < 0 ? -distance : distance, std::ptrdiff_t{1} << 21);
        EXPECT_LT(large_buffers_kept(), kept);
    }

    // Releasing more than the bound keeps no more than the bound.
    {
        std::vector<LargeBuffer> many;
        for (std::size_t i = 0; i < 2 * large_buffer_keep_bytes / size + 1; ++i) many.emplace_back(size);
    }
    EXPECT_LE(large_buffers_kept(), large_buffer_keep_bytes);
    EXPECT_GT(large_buffers_kept(), large_buffer_keep_bytes / 2);

    // Small buffers come from the ordinary allocator, with their own size.
    LargeBuffer small(100);
    ASSERT_TRUE(small);
    EXPECT_EQ(small.capacity(), 100U);
}

}  // namespace
}  // namespace kvt::testing
