// Decoding of single 16-byte event records: kinds, scaled and raw words, the
// reserved words and the 32-bit values of step and long-pulse records.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pulse_file_builder.hpp"
#include "pulse_reader/records/formatted_record.hpp"
#include "test_helpers.hpp"

namespace kvt::testing {
namespace {

constexpr float inf = std::numeric_limits<float>::infinity();

/// The encoding records as the reader would build them from these stored forms.
EncodingRecords encodings_from(const std::array<EncodingPlan, 8>& plans) {
    PulseFilePlan plan;
    plan.encodings = plans;
    const BuiltFile file = build(plan);
    EncodingRecords records;
    for (std::size_t k = 0; k < 8; ++k) {
        records[k] = EncodingRecord::new_(
            std::span<const std::byte, encoding_record_size>(file.bytes.data() + 48 + 4 * k, 4));
    }
    return records;
}

/// Scale 1, offset 0 everywhere: scaled words decode to their signed value.
EncodingRecords plain() { return encodings_from({}); }

FormattedRecord decode(const Record& record, const EncodingRecords& encodings, std::uint64_t index = 0) {
    const auto bytes = record_bytes(record);
    return FormattedRecord::from_raw(bytes, encodings, index);
}

FormattedRecord decode(const Record& record) { return decode(record, plain()); }

struct KindCase {
    const char* name;
    Record record;
    FormattedRecordType kind;
};

class RecordKind : public ::testing::TestWithParam<KindCase> {};

TEST_P(RecordKind, IsDecidedByTheFirstMatchingRule) {
    EXPECT_EQ(to_string(decode(GetParam().record).record_type), to_string(GetParam().kind));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordKind,
    ::testing::Values(
        KindCase{"AllZeroIsBackground", {0, 0, 0, 0, 0, 0, 0, 0}, FormattedRecordType::Background},
        KindCase{"NonZeroDurationIsPulse", {0, 1, 0, 0, 0, 0, 0, 0}, FormattedRecordType::Pulse},
        KindCase{"PulseRuleBeforePadding", {0xFFFF, 5, 0, 0, 0, 0, 0, 0}, FormattedRecordType::Pulse},
        KindCase{"PulseRuleBeforeMarkers", {3, 5, 0, 0, 0, 0, 0xFFFD, 0}, FormattedRecordType::Pulse},
        KindCase{"PaddingBeforeMarkers", {0xFFFF, 0, 0, 0, 0, 0, 0xFFFD, 0}, FormattedRecordType::Padding},
        KindCase{"PaddingIgnoresOtherWords", {0xFFFF, 0, 7, 7, 7, 7, 7, 7}, FormattedRecordType::Padding},
        KindCase{"IpdFFFEIsNotPadding", {0xFFFE, 0, 0, 0, 0, 0, 0, 0}, FormattedRecordType::Background},
        KindCase{"LongPulseUpdate", {1, 0, 0, 0, 0, 0, 0xFFFD, 0}, FormattedRecordType::LongPulseUpdate},
        KindCase{"LongPulseDropped", {1, 0, 5, 5, 0, 0, 0xFFFE, 0}, FormattedRecordType::LongPulseDropped},
        KindCase{"StepUp", {1, 0, 0, 0, 0, 0, 0xFFFB, 0}, FormattedRecordType::StepUp},
        KindCase{"StepDown", {1, 0, 9, 0, 0, 0, 0xFFFA, 0}, FormattedRecordType::StepDown},
        KindCase{"MarkersBeforeBackground", {0, 0, 0, 0, 0, 0, 0xFFFB, 0}, FormattedRecordType::StepUp},
        KindCase{"OtherW6WithZeroIntensitiesIsBackground", {0, 0, 0, 0, 0, 0, 0xFFFC, 0},
                 FormattedRecordType::Background},
        KindCase{"W6AllOnesWithZeroIntensitiesIsBackground", {0, 0, 0, 0, 0, 0, 0xFFFF, 0},
                 FormattedRecordType::Background},
        KindCase{"OtherW6WithBin0IntensityIsUnknown", {0, 0, 1, 0, 0, 0, 0xFFFC, 0}, FormattedRecordType::Unknown},
        KindCase{"OtherW6WithBin1IntensityIsUnknown", {0, 0, 0, 1, 0, 0, 0xFFFF, 0}, FormattedRecordType::Unknown}),
    [](const ::testing::TestParamInfo<KindCase>& param_info) { return std::string(param_info.param.name); });

TEST(FormattedRecordType, Words) {
    EXPECT_EQ(to_string(FormattedRecordType::Pulse), "pulse");
    EXPECT_EQ(to_string(FormattedRecordType::Padding), "padding");
    EXPECT_EQ(to_string(FormattedRecordType::LongPulseUpdate), "long_pulse_update");
    EXPECT_EQ(to_string(FormattedRecordType::LongPulseDropped), "long_pulse_dropped");
    EXPECT_EQ(to_string(FormattedRecordType::StepUp), "step_up");
    EXPECT_EQ(to_string(FormattedRecordType::StepDown), "step_down");
    EXPECT_EQ(to_string(FormattedRecordType::Background), "background");
    EXPECT_EQ(to_string(FormattedRecordType::Unknown), "unknown");
    // The kind is stored as one byte with these codes.
    static_assert(sizeof(FormattedRecordType) == 1);
    EXPECT_EQ(static_cast<int>(FormattedRecordType::Pulse), 0);
    EXPECT_EQ(static_cast<int>(FormattedRecordType::Background), 6);
    EXPECT_EQ(static_cast<int>(FormattedRecordType::Unknown), 7);
}

TEST(FormattedRecord, WordsAreLittleEndianAtTwiceTheirNumber) {
    std::array<std::byte, 16> raw{};
    const unsigned char stored[16] = {0x34, 0x12, 0x02, 0x01, 0x05, 0x00, 0x00, 0x01,
                                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00};
    for (std::size_t i = 0; i < 16; ++i) raw[i] = std::byte{stored[i]};
    const FormattedRecord record = FormattedRecord::from_raw(raw, plain(), 0);
    EXPECT_EQ(record.ipd_f, 0x1234);
    EXPECT_EQ(record.dur_f, 0x0102);
    EXPECT_EQ(record.bin0_intensity, 5.0F);
    EXPECT_EQ(record.bin1_intensity, 256.0F);
    EXPECT_EQ(record.bin1_bg_std, 7.0F);
}

TEST(FormattedRecord, WorkedExampleOfScaling) {
    // Encoding record 3: scale exponent 4 and offset 100, so scale 16.0.
    std::array<EncodingPlan, 8> plans{};
    plans[3] = {.code = 0, .scale_exponent = 4, .offset = 100};
    const EncodingRecords encodings = encodings_from(plans);
    EXPECT_EQ(encodings[3].scale, 16.0F);
    EXPECT_EQ(encodings[3].offset, 100.0F);

    EXPECT_EQ(bits(decode(pulse(0, 12, 0, 0x0040), encodings).bin1_intensity), bits(104.0F));
    EXPECT_EQ(bits(decode(pulse(0, 12, 0, 0xFFC0), encodings).bin1_intensity), bits(96.0F));
    EXPECT_EQ(decode(pulse(0, 12, 0, 0x7FFF), encodings).bin1_intensity, inf);
}

TEST(FormattedRecord, EachScaledWordUsesItsOwnEncodingRecord) {
    std::array<EncodingPlan, 8> plans{};
    for (std::size_t k = 0; k < 8; ++k) {
        plans[k] = {.code = 0, .scale_exponent = static_cast<std::uint8_t>(k),
                    .offset = static_cast<std::uint16_t>(1000 * k)};
    }
    const FormattedRecord r = decode(pulse(64, 64, 64, 64, 64, 64, 64, 64), encodings_from(plans));
    // Words 0 and 1 are plain counts: their encoding records are never applied.
    EXPECT_EQ(r.ipd_f, 64);
    EXPECT_EQ(r.dur_f, 64);
    EXPECT_EQ(bits(r.bin0_intensity), bits(16.0F + 2000.0F));
    EXPECT_EQ(bits(r.bin1_intensity), bits(8.0F + 3000.0F));
    EXPECT_EQ(bits(r.bin0_bg_mean), bits(4.0F + 4000.0F));
    EXPECT_EQ(bits(r.bin1_bg_mean), bits(2.0F + 5000.0F));
    EXPECT_EQ(bits(r.bin0_bg_std), bits(1.0F + 6000.0F));
    EXPECT_EQ(bits(r.bin1_bg_std), bits(0.5F + 7000.0F));
}

TEST(FormattedRecord, ScaledWordIsSignedDividedThenOffsetInSinglePrecision) {
    const struct {
        std::uint8_t exponent;
        std::uint16_t offset;
        std::uint16_t stored;
        float expected;
    } cases[] = {
        {1, 0, 3, 1.5F},
        {2, 1, 3, 1.75F},
        {15, 1, 0xFFFF, 0.999969482421875F},   // -1/32768 + 1
        {15, 0, 0x8002, -0.99993896484375F},   // -32766/32768
        {0, 65535, 0x7FFD, 98300.0F},          // 32765 + 65535
        // 1/32768 + 65535 is not representable in single precision: the sum
        // rounds to 65535, where a double would keep the fraction.
        {15, 65535, 1, 65535.0F},
        // 32766/32768 + 65535 rounds up to the next single.
        {15, 65535, 0x7FFE, 65536.0F},
        {15, 0, 0, 0.0F},
    };
    for (const auto& c : cases) {
        std::array<EncodingPlan, 8> plans{};
        plans[2] = {.code = 0, .scale_exponent = c.exponent, .offset = c.offset};
        const FormattedRecord r = decode(pulse(0, 1, c.stored), encodings_from(plans));
        EXPECT_EQ(bits(r.bin0_intensity), bits(c.expected))
            << "exponent " << int{c.exponent} << " offset " << c.offset << " stored " << c.stored << ": got "
            << r.bin0_intensity;
    }
}

// Every stored value at every scale, in a pulse's bin1_intensity (word 3),
// against the division the format defines: the decoder may compute it any
// way that gives the same bits.
TEST(FormattedRecord, EveryStoredValueAtEveryScaleIsTheSingleDivisionThenSum) {
    std::vector<std::byte> block(65536 * event_record_size);
    for (std::uint32_t stored = 0; stored < 65536; ++stored) {
        const auto bytes = record_bytes(pulse(1, 1, 0, static_cast<int>(stored)));
        std::copy(bytes.begin(), bytes.end(), block.begin() + stored * event_record_size);
    }
    std::vector<FormattedRecord> decoded(65536);
    std::size_t mismatches = 0;
    for (std::uint8_t exponent = 0; exponent < 16; ++exponent) {
        for (const std::uint16_t offset : {std::uint16_t{0}, std::uint16_t{3}, std::uint16_t{65535}}) {
            std::array<EncodingPlan, 8> plans{};
            plans[3] = {.code = 0, .scale_exponent = exponent, .offset = offset};
            decode_records_into(block, encodings_from(plans), 0, decoded);
            const auto scale = static_cast<float>(1U << exponent);
            for (std::uint32_t stored = 0; stored < 65536; ++stored) {
                if (stored == 0x7FFF || stored == 0x8000 || stored == 0x8001) continue;
                const volatile float quotient = static_cast<float>(static_cast<std::int16_t>(stored)) / scale;
                const float expected = quotient + static_cast<float>(offset);
                if (bits(decoded[stored].bin1_intensity) != bits(expected)) ++mismatches;
            }
        }
    }
    EXPECT_EQ(mismatches, 0U);
}

/// Encoding records that would change any value they were applied to.
EncodingRecords heavy() {
    std::array<EncodingPlan, 8> plans{};
    for (auto& plan : plans) plan = {.code = 0, .scale_exponent = 3, .offset = 50};
    return encodings_from(plans);
}

void expect_reserved(float value, std::uint16_t stored, const std::string& where) {
    switch (stored) {
        case 0x7FFF: EXPECT_EQ(value, inf) << where; break;
        case 0x8001: EXPECT_EQ(value, -inf) << where; break;
        default:
            EXPECT_TRUE(std::isnan(value)) << where;
            EXPECT_EQ(bits(value), reserved_nan_bits) << where;
    }
}

TEST(FormattedRecord, ReservedWordsIgnoreScaleAndOffsetInEveryScaledField) {
    const EncodingRecords encodings = heavy();
    for (std::uint16_t stored : {std::uint16_t{0x7FFF}, std::uint16_t{0x8000}, std::uint16_t{0x8001}}) {
        const std::string where = "stored " + std::to_string(stored);
        const FormattedRecord p = decode(pulse(0, 1, stored, stored, stored, stored, stored, stored), encodings);
        expect_reserved(p.bin0_intensity, stored, where + " pulse bin0_intensity");
        expect_reserved(p.bin1_intensity, stored, where + " pulse bin1_intensity");
        expect_reserved(p.bin0_bg_mean, stored, where + " pulse bin0_bg_mean");
        expect_reserved(p.bin1_bg_mean, stored, where + " pulse bin1_bg_mean");
        expect_reserved(p.bin0_bg_std, stored, where + " pulse bin0_bg_std");
        expect_reserved(p.bin1_bg_std, stored, where + " pulse bin1_bg_std");

        const FormattedRecord b = decode(background(0, stored, stored, stored, stored), encodings);
        ASSERT_EQ(b.record_type, FormattedRecordType::Background);
        expect_reserved(b.bin0_bg_mean, stored, where + " background bin0_bg_mean");
        expect_reserved(b.bin1_bg_mean, stored, where + " background bin1_bg_mean");
        expect_reserved(b.bin0_bg_std, stored, where + " background bin0_bg_std");
        expect_reserved(b.bin1_bg_std, stored, where + " background bin1_bg_std");

        const FormattedRecord s = decode(step_up(0, 0, stored, stored), encodings);
        expect_reserved(s.bin0_intensity, stored, where + " step bin0_intensity");
        expect_reserved(s.bin1_intensity, stored, where + " step bin1_intensity");
    }
}

TEST(FormattedRecord, AllZeroRecordIsBackgroundAtTheOffsets) {
    std::array<EncodingPlan, 8> plans{};
    for (std::size_t k = 0; k < 8; ++k) {
        plans[k] = {.code = 0, .scale_exponent = 5, .offset = static_cast<std::uint16_t>(10 + k)};
    }
    const FormattedRecord r = decode(Record{}, encodings_from(plans), 3);
    EXPECT_EQ(r.record_type, FormattedRecordType::Background);
    EXPECT_EQ(r.index, 3U);
    EXPECT_EQ(r.ipd_f, 0);
    EXPECT_EQ(r.dur_f, 0);
    EXPECT_EQ(bits(r.bin0_intensity), bits(0.0F));
    EXPECT_EQ(bits(r.bin1_intensity), bits(0.0F));
    EXPECT_EQ(r.bin0_bg_mean, 14.0F);
    EXPECT_EQ(r.bin1_bg_mean, 15.0F);
    EXPECT_EQ(r.bin0_bg_std, 16.0F);
    EXPECT_EQ(r.bin1_bg_std, 17.0F);
    EXPECT_FALSE(r.long_pulse_duration_f.has_value());
    EXPECT_FALSE(r.event_f.has_value());
}

TEST(FormattedRecord, PulseFields) {
    const FormattedRecord r = decode(pulse(0xFFFF, 5, 10, -20, 30, -40, 0x8000, 60), heavy(), 7);
    EXPECT_EQ(r.record_type, FormattedRecordType::Pulse);
    EXPECT_EQ(r.index, 7U);
    EXPECT_EQ(r.ipd_f, 65535);
    EXPECT_EQ(r.dur_f, 5);
    EXPECT_EQ(bits(r.bin0_intensity), bits(51.25F));  // 10/8 + 50
    EXPECT_EQ(bits(r.bin1_intensity), bits(47.5F));   // -20/8 + 50
    EXPECT_EQ(bits(r.bin0_bg_mean), bits(53.75F));
    EXPECT_EQ(bits(r.bin1_bg_mean), bits(45.0F));
    EXPECT_EQ(bits(r.bin0_bg_std), reserved_nan_bits);
    EXPECT_EQ(bits(r.bin1_bg_std), bits(57.5F));
    EXPECT_FALSE(r.long_pulse_duration_f.has_value());
    EXPECT_FALSE(r.event_f.has_value());
}

TEST(FormattedRecord, NaNInOnePulseFieldLeavesTheOthers) {
    const FormattedRecord r = decode(pulse(2, 12, 8, 0x8000, 16, 24, 32, 40), heavy());
    EXPECT_EQ(bits(r.bin1_intensity), reserved_nan_bits);
    EXPECT_EQ(r.bin0_intensity, 51.0F);
    EXPECT_EQ(r.bin0_bg_mean, 52.0F);
    EXPECT_EQ(r.bin1_bg_mean, 53.0F);
    EXPECT_EQ(r.bin0_bg_std, 54.0F);
    EXPECT_EQ(r.bin1_bg_std, 55.0F);
}

TEST(FormattedRecord, BackgroundHasZeroIntensitiesAndScaledBackground) {
    const FormattedRecord r = decode(background(9, 8, -8, 16, 0x7FFF), heavy());
    EXPECT_EQ(r.record_type, FormattedRecordType::Background);
    EXPECT_EQ(r.ipd_f, 9);
    EXPECT_EQ(r.dur_f, 0);
    EXPECT_EQ(bits(r.bin0_intensity), bits(0.0F));
    EXPECT_EQ(bits(r.bin1_intensity), bits(0.0F));
    EXPECT_EQ(r.bin0_bg_mean, 51.0F);
    EXPECT_EQ(r.bin1_bg_mean, 49.0F);
    EXPECT_EQ(r.bin0_bg_std, 52.0F);
    EXPECT_EQ(r.bin1_bg_std, inf);
}

TEST(FormattedRecord, PaddingAndUnknownKeepRawSignedWords) {
    // No scaling and no reserved values: 0x7FFF is 32767, not infinity.
    const Record words[] = {
        {0xFFFF, 0, 0x7FFF, 0x8000, 0x8001, 0xFFFF, 0xFFFD, 3},  // padding
        {4, 0, 0x7FFF, 0x8000, 0x8001, 0xFFFF, 0xFFFC, 3},       // unknown
    };
    const FormattedRecordType kinds[] = {FormattedRecordType::Padding, FormattedRecordType::Unknown};
    for (std::size_t i = 0; i < 2; ++i) {
        const FormattedRecord r = decode(words[i], heavy());
        EXPECT_EQ(r.record_type, kinds[i]);
        EXPECT_EQ(r.ipd_f, words[i][0]);
        EXPECT_EQ(r.dur_f, 0);
        EXPECT_EQ(bits(r.bin0_intensity), bits(32767.0F));
        EXPECT_EQ(bits(r.bin1_intensity), bits(-32768.0F));
        EXPECT_EQ(bits(r.bin0_bg_mean), bits(-32767.0F));
        EXPECT_EQ(bits(r.bin1_bg_mean), bits(-1.0F));
        EXPECT_EQ(bits(r.bin0_bg_std), bits(i == 0 ? -3.0F : -4.0F));
        EXPECT_EQ(bits(r.bin1_bg_std), bits(3.0F));
        EXPECT_FALSE(r.long_pulse_duration_f.has_value());
        EXPECT_FALSE(r.event_f.has_value());
    }
}

struct MarkedCase {
    const char* name;
    Record (*make)(std::uint16_t, std::uint32_t, int, int, int);
    FormattedRecordType kind;
    float marker;
    bool long_pulse;
};

class MarkedRecord : public ::testing::TestWithParam<MarkedCase> {};

TEST_P(MarkedRecord, ScalesIntensitiesOnlyAndCarriesTheWideValue) {
    std::array<EncodingPlan, 8> plans{};
    for (auto& plan : plans) plan = {.code = 0, .scale_exponent = 3, .offset = 50};
    plans[2] = {.code = 0, .scale_exponent = 4, .offset = 100};
    plans[3] = {.code = 0, .scale_exponent = 4, .offset = 100};
    const MarkedCase& c = GetParam();
    // w4 = 0x7FFF and w5 = 0xFFFF: the wide value 0xFFFF7FFF, and raw words
    // 32767 and -1 as background means.
    const FormattedRecord r = decode(c.make(77, 0xFFFF7FFFU, 64, -64, 0x8000), encodings_from(plans), 2);
    EXPECT_EQ(r.record_type, c.kind);
    EXPECT_EQ(r.index, 2U);
    EXPECT_EQ(r.ipd_f, 77);
    EXPECT_EQ(r.dur_f, 0);
    EXPECT_EQ(bits(r.bin0_intensity), bits(104.0F));
    EXPECT_EQ(bits(r.bin1_intensity), bits(96.0F));
    EXPECT_EQ(bits(r.bin0_bg_mean), bits(32767.0F));
    EXPECT_EQ(bits(r.bin1_bg_mean), bits(-1.0F));
    EXPECT_EQ(bits(r.bin0_bg_std), bits(c.marker));
    EXPECT_EQ(bits(r.bin1_bg_std), bits(-32768.0F)) << "raw, not NaN";
    if (c.long_pulse) {
        ASSERT_TRUE(r.long_pulse_duration_f.has_value());
        EXPECT_EQ(*r.long_pulse_duration_f, 0xFFFF7FFFU);
        EXPECT_FALSE(r.event_f.has_value());
    } else {
        ASSERT_TRUE(r.event_f.has_value());
        EXPECT_EQ(*r.event_f, 0xFFFF7FFFU);
        EXPECT_FALSE(r.long_pulse_duration_f.has_value());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, MarkedRecord,
    ::testing::Values(
        MarkedCase{"LongPulseUpdate", long_pulse_update, FormattedRecordType::LongPulseUpdate, -3.0F, true},
        MarkedCase{"LongPulseDropped", long_pulse_dropped, FormattedRecordType::LongPulseDropped, -2.0F, true},
        MarkedCase{"StepUp", step_up, FormattedRecordType::StepUp, -5.0F, false},
        MarkedCase{"StepDown", step_down, FormattedRecordType::StepDown, -6.0F, false}),
    [](const ::testing::TestParamInfo<MarkedCase>& param_info) { return std::string(param_info.param.name); });

TEST(FormattedRecord, StepDownWideValueAndBackgroundMeans) {
    const FormattedRecord r = decode(Record{0, 0, 0, 0, 0x0001, 0x0002, 0xFFFA, 0}, heavy());
    EXPECT_EQ(r.record_type, FormattedRecordType::StepDown);
    ASSERT_TRUE(r.event_f.has_value());
    EXPECT_EQ(*r.event_f, 131073U);
    EXPECT_EQ(bits(r.bin0_bg_mean), bits(1.0F));
    EXPECT_EQ(bits(r.bin1_bg_mean), bits(2.0F));
    EXPECT_FALSE(r.long_pulse_duration_f.has_value());
}

TEST(FormattedRecord, LongPulseDroppedHighHalfWithTopBitSet) {
    const FormattedRecord r = decode(Record{0, 0, 0, 0, 0x1234, 0x8000, 0xFFFE, 0}, heavy());
    EXPECT_EQ(r.record_type, FormattedRecordType::LongPulseDropped);
    ASSERT_TRUE(r.long_pulse_duration_f.has_value());
    EXPECT_EQ(*r.long_pulse_duration_f, 0x1234U + 2147483648U);
    EXPECT_EQ(bits(r.bin1_bg_mean), bits(-32768.0F));
}

TEST(FormattedRecord, IndexIsPassedThrough) {
    EXPECT_EQ(decode(padding(), plain(), 0).index, 0U);
    EXPECT_EQ(decode(padding(), plain(), 0xFEDCBA9876543210ULL).index, 0xFEDCBA9876543210ULL);
}

}  // namespace
}  // namespace kvt::testing
