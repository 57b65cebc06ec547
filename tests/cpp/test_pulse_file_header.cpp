// The 48-byte file header, its checks, and the encoding records behind it.
#include <span>
#include <string>

#include <gtest/gtest.h>

#include "pulse_file_builder.hpp"
#include "pulse_reader/headers/pulse_file_header.hpp"
#include "pulse_reader/pulse_reader.hpp"
#include "test_helpers.hpp"

namespace kvt::testing {
namespace {

PulseFileHeader header_of(const BuiltFile& file) {
    return PulseFileHeader::new_(std::span<const std::byte, pulse_file_header_size>(file.bytes.data(), 48));
}

EncodingRecord encoding_of(EncodingPlan plan) {
    PulseFilePlan file_plan;
    file_plan.encodings[0] = plan;
    const BuiltFile file = build(file_plan);
    return EncodingRecord::new_(std::span<const std::byte, encoding_record_size>(file.bytes.data() + 48, 4));
}

TEST(PulseFileHeader, ReadsEveryFieldAtItsOffset) {
    // Distinct values that use every byte of the wide fields, so that a field
    // read at the wrong offset, width or byte order shows.
    PulseFilePlan plan;
    plan.magic = 0x11223344;
    plan.reserved1 = 0xA1B2C3D4;
    plan.num_apertures = 0x0102030405060708ULL;
    plan.metadata_length = 0x090A0B0C;
    plan.encoding_record_type = 0xE1;
    plan.encoding_record_size = 0xE2;
    plan.num_encoding_records = 0xF1F2;
    plan.reserved2 = 0x55667788;
    plan.record_size = 0x99AABBCC;
    plan.data_offset = 0x1122334455667788ULL;
    plan.index_offset = 0x8877665544332211ULL;
    const PulseFileHeader header = header_of(build(plan));

    EXPECT_EQ(header.magic, 0x11223344U);
    EXPECT_EQ(header.reserved1, 0xA1B2C3D4U);
    EXPECT_EQ(header.num_apertures, 0x0102030405060708ULL);
    EXPECT_EQ(header.metadata_length, 0x090A0B0CU);
    EXPECT_EQ(header.encoding_record_type, 0xE1);
    EXPECT_EQ(header.encoding_record_size, 0xE2);
    EXPECT_EQ(header.num_encoding_records, 0xF1F2);
    EXPECT_EQ(header.reserved2, 0x55667788U);
    EXPECT_EQ(header.record_size, 0x99AABBCCU);
    EXPECT_EQ(header.data_offset, 0x1122334455667788ULL);
    EXPECT_EQ(header.index_offset, 0x8877665544332211ULL);
}

TEST(PulseFileHeader, SerialisedFormIsTheStoredBytes) {
    PulseFilePlan plan;
    plan.reserved1 = 0xDEADBEEF;
    plan.reserved2 = 0x01020304;
    plan.num_apertures = 0x0000000100000002ULL;
    plan.data_offset = 12345;
    const BuiltFile file = build(plan);
    const auto bytes = header_of(file).to_bytes();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), file.bytes.begin()));
}

TEST(PulseFileHeader, MagicIsTheBytesKVtP) {
    // Written byte by byte rather than through the builder's default.
    PulseFilePlan plan;
    BuiltFile file = build(plan);
    file.bytes[0] = std::byte{'K'};
    file.bytes[1] = std::byte{'V'};
    file.bytes[2] = std::byte{'t'};
    file.bytes[3] = std::byte{'P'};
    EXPECT_TRUE(header_of(file).validate().ok());
    file.bytes[2] = std::byte{'T'};
    EXPECT_EQ(error_of(header_of(file).validate()), "Pulse file header is invalid!");
}

struct HeaderCase {
    const char* name;
    void (*change)(PulseFilePlan&);
    const char* message;  // nullptr: the header is valid
};

class HeaderValidation : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderValidation, ReportsTheFirstFailingCheck) {
    PulseFilePlan plan;
    GetParam().change(plan);
    const Status status = header_of(build(plan)).validate();
    if (GetParam().message == nullptr) {
        EXPECT_TRUE(status.ok()) << error_of(status);
    } else {
        EXPECT_EQ(error_of(status), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeaderValidation,
    ::testing::Values(
        HeaderCase{"Valid", [](PulseFilePlan&) {}, nullptr},
        HeaderCase{"UninterpretedFieldsAreNotChecked",
                   [](PulseFilePlan& s) {
                       s.reserved1 = 0xFFFFFFFF;
                       s.reserved2 = 0xFFFFFFFF;
                       s.data_offset = 3;
                       s.index_offset = 0;
                       s.num_apertures = 0;
                       s.metadata_length = 0xFFFFFFFF;
                       s.encodings[0].code = 0xFF;
                   },
                   nullptr},
        HeaderCase{"BadMagicWinsOverEveryOtherFault",
                   [](PulseFilePlan& s) {
                       s.magic = 0x50745600;
                       s.encoding_record_type = 0;
                       s.encoding_record_size = 0;
                       s.record_size = 0;
                       s.num_encoding_records = 0;
                   },
                   "Pulse file header is invalid!"},
        HeaderCase{"EncodingRecordTypeZero", [](PulseFilePlan& s) { s.encoding_record_type = 0; },
                   "Invalid encoding record type: 0"},
        HeaderCase{"EncodingRecordTypeBeforeTheOthers",
                   [](PulseFilePlan& s) {
                       s.encoding_record_type = 255;
                       s.encoding_record_size = 8;
                       s.record_size = 32;
                       s.num_encoding_records = 7;
                   },
                   "Invalid encoding record type: 255"},
        HeaderCase{"EncodingRecordSizeEight", [](PulseFilePlan& s) { s.encoding_record_size = 8; },
                   "Invalid encoding record size: 8"},
        HeaderCase{"EncodingRecordSizeBeforeCount",
                   [](PulseFilePlan& s) {
                       s.encoding_record_size = 8;
                       s.num_encoding_records = 7;
                   },
                   "Invalid encoding record size: 8"},
        HeaderCase{"RecordSize", [](PulseFilePlan& s) { s.record_size = 4294967295U; },
                   "Invalid record size: 4294967295"},
        HeaderCase{"RecordSizeBeforeCount",
                   [](PulseFilePlan& s) {
                       s.record_size = 32;
                       s.num_encoding_records = 9;
                   },
                   "Invalid record size: 32"},
        HeaderCase{"EncodingRecordCount", [](PulseFilePlan& s) { s.num_encoding_records = 7; },
                   "Invalid number of encoding records: 7"},
        HeaderCase{"EncodingRecordCountWide", [](PulseFilePlan& s) { s.num_encoding_records = 0x0108; },
                   "Invalid number of encoding records: 264"}),
    [](const ::testing::TestParamInfo<HeaderCase>& param_info) { return std::string(param_info.param.name); });

TEST(PulseFileHeader, OpenReportsTheHeaderCheck) {
    TempDir dir;
    PulseFilePlan plan;
    plan.apertures = {aperture(1)};
    plan.record_size = 8;
    auto reader = PulseReader::open(dir.write("pulses.bin", plan));
    EXPECT_EQ(error_of(reader), "Invalid record size: 8");
}

TEST(PulseFileHeader, OpenChecksTheHeaderBeforeReadingFurther) {
    // Only the 48 header bytes exist: a bad header is reported, not the short file.
    TempDir dir;
    PulseFilePlan plan;
    plan.magic = 0;
    plan.truncate_to = 48;
    EXPECT_EQ(error_of(PulseReader::open(dir.write("pulses.bin", plan))), "Pulse file header is invalid!");
}

TEST(EncodingRecord, ScaleIsTwoToTheLowFourBitsOfTheExponent) {
    const struct {
        std::uint8_t exponent;
        float scale;
    } cases[] = {{0, 1.0F}, {1, 2.0F}, {4, 16.0F}, {15, 32768.0F}, {0x10, 1.0F}, {0xF4, 16.0F}, {0xFF, 32768.0F}};
    for (const auto& c : cases) {
        const EncodingRecord record = encoding_of({.code = 0, .scale_exponent = c.exponent, .offset = 0});
        EXPECT_EQ(bits(record.scale), bits(c.scale)) << "exponent " << int{c.exponent};
        EXPECT_EQ(record.scale_exponent, c.exponent) << "kept as read";
    }
}

TEST(EncodingRecord, KeepsCodeAndOffsetAsStored) {
    const EncodingRecord record = encoding_of({.code = 0xAB, .scale_exponent = 3, .offset = 65535});
    EXPECT_EQ(record.code, 0xAB);
    EXPECT_EQ(bits(record.offset), bits(65535.0F));
    EXPECT_EQ(bits(record.scale), bits(8.0F));

    const EncodingRecord small = encoding_of({.code = 0, .scale_exponent = 0, .offset = 0x0102});
    EXPECT_EQ(bits(small.offset), bits(258.0F)) << "offset is little-endian";
}

TEST(EncodingRecord, ReaderKeepsAllEightInFileOrder) {
    TempDir dir;
    PulseFilePlan plan;
    plan.apertures = {aperture(0)};
    for (std::size_t k = 0; k < 8; ++k) {
        plan.encodings[k] = {.code = static_cast<std::uint8_t>(0x10 + k), .scale_exponent = static_cast<std::uint8_t>(k),
                             .offset = static_cast<std::uint16_t>(100 * k)};
    }
    auto reader = PulseReader::open(dir.write("pulses.bin", plan));
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    const EncodingRecords& records = reader->encoding_records();
    for (std::size_t k = 0; k < 8; ++k) {
        EXPECT_EQ(records[k].code, 0x10 + k);
        EXPECT_EQ(records[k].scale_exponent, k);
        EXPECT_EQ(records[k].scale, static_cast<float>(1U << k));
        EXPECT_EQ(records[k].offset, static_cast<float>(100 * k));
    }
}

}  // namespace
}  // namespace kvt::testing
