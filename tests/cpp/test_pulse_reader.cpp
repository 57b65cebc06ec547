// Opening pulse files and reading apertures: what the reader keeps, how it
// finds and decodes blocks, and how it fails on damaged or missing files.
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "allocation_limit.hpp"
#include "pulse_file_builder.hpp"
#include "pulse_reader/pulse_reader.hpp"
#include "test_helpers.hpp"

namespace kvt::testing {
namespace {

const std::string short_read = "failed to fill whole buffer";

std::string not_found(std::uint64_t n) {
    return "This file does not contain the provided aperture index: " + std::to_string(n);
}

/// Three apertures with records of several kinds.
PulseFilePlan three_apertures() {
    PulseFilePlan plan;
    plan.metadata = R"({"fps": 50, "duration": 2})";
    plan.encodings[3] = {.code = 9, .scale_exponent = 1, .offset = 10};
    plan.apertures = {
        aperture(4, {background(3, 1, 2, 3, 4), pulse(5, 6, 7, 8), step_up(2, 70000), padding()}, 11, 21),
        aperture(5, {}, 12, 22),
        aperture(9, {long_pulse_update(1, 5), pulse(0, 1, 0, 0x7FFF)}, 13, 23),
    };
    return plan;
}

class Reader : public ::testing::Test {
protected:
    std::string write(const PulseFilePlan& plan) { return dir_.write("pulses.bin", plan); }
    Result<PulseReader> open(const PulseFilePlan& plan) { return PulseReader::open(write(plan)); }
    TempDir dir_;
};

TEST_F(Reader, KeepsEverythingThatIsNotApertureData) {
    PulseFilePlan plan = three_apertures();
    plan.reserved1 = 0xCAFEF00D;
    plan.reserved2 = 0x12345678;
    plan.data_offset = 0xDEADBEEF;  // never consulted by the reader
    const BuiltFile file = build(plan);
    const std::string path = dir_.write("pulses.bin", file.bytes);

    auto reader = PulseReader::open(path);
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    EXPECT_EQ(reader->path(), path);
    EXPECT_EQ(reader->fps(), 50.0F);
    EXPECT_FALSE(reader->trimmed());
    EXPECT_EQ(reader->metadata_text(), plan.metadata);
    EXPECT_EQ(reader->metadata()["duration"].get<int>(), 2);
    EXPECT_EQ(reader->index().apertures(), (std::vector<std::uint64_t>{4, 5, 9}));

    const PulseFileHeader& header = reader->header();
    EXPECT_EQ(header.magic, 0x5074564BU);
    EXPECT_EQ(header.reserved1, 0xCAFEF00DU);
    EXPECT_EQ(header.num_apertures, 3U);
    EXPECT_EQ(header.metadata_length, plan.metadata.size());
    EXPECT_EQ(header.encoding_record_type, 1);
    EXPECT_EQ(header.encoding_record_size, 4);
    EXPECT_EQ(header.num_encoding_records, 8);
    EXPECT_EQ(header.reserved2, 0x12345678U);
    EXPECT_EQ(header.record_size, 16U);
    EXPECT_EQ(header.data_offset, 0xDEADBEEFU);
    EXPECT_EQ(header.index_offset, file.index_offset);

    EXPECT_EQ(reader->encoding_records()[3].code, 9);
    EXPECT_EQ(reader->encoding_records()[3].scale, 2.0F);
}

TEST_F(Reader, GetAllRecordsDecodesTheBlockInFileOrder) {
    const PulseFilePlan plan = three_apertures();
    const BuiltFile file = build(plan);
    auto reader = PulseReader::open(dir_.write("pulses.bin", file.bytes));
    ASSERT_TRUE(reader.ok()) << error_of(reader);

    auto result = reader->get_all_records(4);
    ASSERT_TRUE(result.ok()) << error_of(result);
    EXPECT_EQ(result->header, (ApertureHeader{.aperture_byteloc = file.block_offsets[0], .aperture_x = 11,
                                              .aperture_y = 21, .aperture_index = 4, .num_records = 4}));
    const std::vector<FormattedRecord>& records = result->records;
    ASSERT_EQ(records.size(), 4U);
    const FormattedRecordType kinds[] = {FormattedRecordType::Background, FormattedRecordType::Pulse,
                                         FormattedRecordType::StepUp, FormattedRecordType::Padding};
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].index, i);
        EXPECT_EQ(records[i].record_type, kinds[i]) << i;
    }
    EXPECT_EQ(records[0].ipd_f, 3);
    EXPECT_EQ(records[0].bin1_bg_std, 4.0F);
    EXPECT_EQ(records[1].dur_f, 6);
    EXPECT_EQ(records[1].bin1_intensity, 14.0F) << "8 / 2 + 10 with the file's encoding record 3";
    EXPECT_EQ(records[2].event_f, 70000U);
    EXPECT_EQ(records[3].ipd_f, 65535);

    auto last = reader->get_all_records(9);
    ASSERT_TRUE(last.ok()) << error_of(last);
    EXPECT_EQ(last->header.aperture_byteloc, file.block_offsets[2]);
    ASSERT_EQ(last->records.size(), 2U);
    EXPECT_EQ(last->records[0].long_pulse_duration_f, 5U);
    EXPECT_EQ(last->records[1].index, 1U);
}

TEST_F(Reader, EmptyBlockYieldsNoRecords) {
    auto reader = open(three_apertures());
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    auto result = reader->get_all_records(5);
    ASSERT_TRUE(result.ok()) << error_of(result);
    EXPECT_TRUE(result->records.empty());
    EXPECT_EQ(result->header.num_records, 0U);
    EXPECT_EQ(result->header.aperture_x, 12U);
}

TEST_F(Reader, RepeatedAndInterleavedReadsGiveEqualResults) {
    auto reader = open(three_apertures());
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    auto first = reader->get_all_records(9);
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(reader->get_all_records(4).ok());
    EXPECT_FALSE(reader->get_all_records(6).ok());
    auto again = reader->get_all_records(9);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again->header, first->header);
    ASSERT_EQ(again->records.size(), first->records.size());
    for (std::size_t i = 0; i < first->records.size(); ++i) {
        EXPECT_EQ(again->records[i].record_type, first->records[i].record_type);
        EXPECT_EQ(bits(again->records[i].bin1_intensity), bits(first->records[i].bin1_intensity));
    }
}

TEST_F(Reader, BlockIsFoundOnlyThroughTheIndex) {
    // The index entry numbered 3 points at the second block, whose own header
    // says 99: the number in the block is not compared. The blocks come
    // after the index here, and the first is not listed at all.
    PulseFilePlan plan;
    plan.apertures = {aperture(1, {pulse(1, 1)}), aperture(99, {pulse(2, 2), pulse(3, 3)}, 7, 8)};
    plan.index = {entry_to_block(3, 1)};
    plan.index_placement = IndexPlacement::before_blocks;
    const BuiltFile file = build(plan);
    auto reader = PulseReader::open(dir_.write("pulses.bin", file.bytes));
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    auto result = reader->get_all_records(3);
    ASSERT_TRUE(result.ok()) << error_of(result);
    EXPECT_EQ(result->header.aperture_index, 99U);
    EXPECT_EQ(result->header.aperture_byteloc, file.block_offsets[1]);
    EXPECT_EQ(result->records.size(), 2U);
    EXPECT_EQ(error_of(reader->get_all_records(1)), not_found(1));
    EXPECT_EQ(error_of(reader->get_all_records(99)), not_found(99));
}

TEST_F(Reader, UnknownApertureFailsAndLeavesTheReaderUsable) {
    auto reader = open(three_apertures());
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    for (std::uint64_t n : {std::uint64_t{0}, std::uint64_t{6}, std::uint64_t{10}, UINT64_MAX}) {
        EXPECT_EQ(error_of(reader->get_all_records(n)), not_found(n));
    }
    EXPECT_TRUE(reader->get_all_records(4).ok());
}

TEST_F(Reader, BlockClaimingMoreRecordsThanTheFileHoldsFails) {
    PulseFilePlan plan = three_apertures();
    // The last block, right before the index: claim the index bytes and more.
    plan.apertures[2].num_records = 1000;
    auto reader = open(plan);
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    EXPECT_EQ(error_of(reader->get_all_records(9)), short_read);
    EXPECT_TRUE(reader->get_all_records(4).ok()) << "the reader stays usable";
    EXPECT_EQ(error_of(reader->get_pulses(9)), short_read);
}

TEST_F(Reader, BlockMayRunIntoTheIndexBytes) {
    // Nothing checks that a block ends before the index: the records read
    // are whatever bytes are there.
    PulseFilePlan plan = three_apertures();
    plan.apertures[2].num_records = 3;  // 2 records + 16 bytes of the index
    auto reader = open(plan);
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    auto result = reader->get_all_records(9);
    ASSERT_TRUE(result.ok()) << error_of(result);
    ASSERT_EQ(result->records.size(), 3U);
    EXPECT_EQ(result->records[2].ipd_f, 0x4924) << "\"$I\" of the index magic";
}

TEST_F(Reader, IndexEntryPointingOutsideTheFileFails) {
    PulseFilePlan plan = three_apertures();
    // The size of the file does not depend on the offsets the entries hold.
    plan.index = std::vector<IndexEntry>(5);
    const std::uint64_t size = build(plan).full_size;
    plan.index = {entry_to_block(4, 0), entry_at(5, size - 8), entry_at(6, size), entry_at(7, UINT64_MAX - 4),
                  entry_to_block(9, 2)};
    auto reader = open(plan);
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    EXPECT_EQ(error_of(reader->get_all_records(5)), short_read);
    EXPECT_EQ(error_of(reader->get_all_records(6)), short_read);
    EXPECT_FALSE(reader->get_all_records(7).ok());
    EXPECT_TRUE(reader->get_all_records(9).ok());
}

TEST_F(Reader, IndexMagicMustBeAtIndexOffset) {
    const BuiltFile file = build(three_apertures());
    const struct {
        std::uint64_t index_offset;
        std::string message;
    } cases[] = {
        {file.index_offset + 1, "Index magic number mismatch"},
        {file.index_offset - 1, "Index magic number mismatch"},
        {0, "Index magic number mismatch"},
        {file.full_size - 7, short_read},
        {file.full_size, short_read},
        {file.full_size + 1000, short_read},
    };
    for (const auto& c : cases) {
        PulseFilePlan plan = three_apertures();
        plan.index_offset = c.index_offset;
        EXPECT_EQ(error_of(open(plan)), c.message) << "index_offset " << c.index_offset;
    }

    PulseFilePlan wrong_magic = three_apertures();
    wrong_magic.index_magic = 0x0A0D2458444E4925ULL;  // "%INDX$\r\n"
    EXPECT_EQ(error_of(open(wrong_magic)), "Index magic number mismatch");
    wrong_magic.index_magic = 0x000D2458444E4924ULL;  // last byte NUL instead of '\n'
    EXPECT_EQ(error_of(open(wrong_magic)), "Index magic number mismatch");
}

TEST_F(Reader, OffsetsBeyondAnyFileFailWithoutCrashing) {
    for (std::uint64_t offset : {std::uint64_t{1} << 62, std::uint64_t{INT64_MAX}, UINT64_MAX - 7, UINT64_MAX}) {
        PulseFilePlan plan = three_apertures();
        plan.index_offset = offset;
        EXPECT_FALSE(open(plan).ok()) << offset;
    }
}

// Counts read from the file are checked against its size before any buffer
// is sized by them: each fails as a short read would, and none is allocated.
TEST_F(Reader, CountsRunningPastTheEndFailWithoutAllocatingThem) {
    const struct {
        const char* name;
        void (*change)(PulseFilePlan&);
    } cases[] = {
        {"metadata_length", [](PulseFilePlan& s) { s.metadata_length = 0xFFFFFFFF; }},
        {"metadata_length one too many",
         [](PulseFilePlan& s) {
             s.metadata_length = static_cast<std::uint32_t>(build(s).full_size - 80 + 1);
         }},
        {"num_apertures 2^40", [](PulseFilePlan& s) { s.num_apertures = std::uint64_t{1} << 40; }},
        {"num_apertures 2^62", [](PulseFilePlan& s) { s.num_apertures = std::uint64_t{1} << 62; }},
        {"num_apertures whose entries overflow 64 bits",
         [](PulseFilePlan& s) { s.num_apertures = UINT64_MAX / 12 + 1; }},
        {"num_apertures max", [](PulseFilePlan& s) { s.num_apertures = UINT64_MAX; }},
        {"num_apertures one too many", [](PulseFilePlan& s) { s.num_apertures = s.apertures.size() + 1; }},
    };
    for (const auto& c : cases) {
        PulseFilePlan plan = three_apertures();
        c.change(plan);
        const std::string path = write(plan);
        AllocationLimit limit(std::size_t{16} << 20);
        EXPECT_EQ(error_of(PulseReader::open(path)), short_read) << c.name;
        EXPECT_FALSE(AllocationLimit::refused()) << c.name << ": largest request " << AllocationLimit::largest_request();
    }
}

TEST_F(Reader, HugeRecordCountFailsWithoutAllocatingIt) {
    PulseFilePlan plan = three_apertures();
    plan.apertures[0].num_records = 0xFFFFFFFF;  // 64 GiB of records
    auto reader = open(plan);
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    AllocationLimit limit(std::size_t{16} << 20);
    EXPECT_EQ(error_of(reader->get_all_records(4)), short_read);
    EXPECT_EQ(error_of(reader->get_pulses(4)), short_read);
    EXPECT_FALSE(AllocationLimit::refused()) << "largest request " << AllocationLimit::largest_request();
}

// A file cut short in any section fails with the short-read message: at open
// for the sections that open reads, at get_all_records for a block.
struct Cut {
    std::string name;
    std::uint64_t size;
    bool at_open;  // false: open succeeds and reading the last aperture fails
};

/// Sizes just inside and at the start of every section. The index comes first
/// so that the blocks are the last bytes and can be cut with the index whole.
std::vector<Cut> cuts() {
    PulseFilePlan plan = three_apertures();
    plan.index_placement = IndexPlacement::before_blocks;
    const BuiltFile f = build(plan);
    const std::uint64_t block = f.block_offsets[2];
    const std::uint64_t metadata_end = f.metadata_offset + plan.metadata.size();
    return {
        {"Empty", 0, true},
        {"InHeader", 20, true},
        {"HeaderLastByteMissing", 47, true},
        {"AfterHeader", 48, true},
        {"InEncodingRecords", 64, true},
        {"EncodingRecordsLastByteMissing", 79, true},
        {"AfterEncodingRecords", 80, true},
        {"InMetadata", 90, true},
        {"MetadataLastByteMissing", metadata_end - 1, true},
        {"AfterMetadata", metadata_end, true},
        {"AtIndexMagic", f.index_offset, true},
        {"IndexMagicLastByteMissing", f.index_offset + 7, true},
        {"AfterIndexMagic", f.index_entries_offset, true},
        {"InFirstIndexEntry", f.index_entries_offset + 5, true},
        {"IndexEntriesLastByteMissing", f.index_entries_offset + f.index_entries_size - 1, true},
        {"AtApertureHeader", block, false},
        {"InApertureHeader", block + 8, false},
        {"ApertureHeaderLastByteMissing", block + 15, false},
        {"AfterApertureHeader", block + 16, false},
        {"InFirstRecord", block + 16 + 7, false},
        {"RecordsLastByteMissing", f.full_size - 1, false},
    };
}

class TruncatedFile : public ::testing::TestWithParam<Cut> {};

TEST_P(TruncatedFile, FailsWithTheShortReadMessage) {
    TempDir dir;
    PulseFilePlan plan = three_apertures();
    plan.index_placement = IndexPlacement::before_blocks;
    plan.truncate_to = GetParam().size;
    const BuiltFile file = build(plan);
    ASSERT_EQ(file.bytes.size(), GetParam().size);
    auto reader = PulseReader::open(dir.write("pulses.bin", file.bytes));
    if (GetParam().at_open) {
        EXPECT_EQ(error_of(reader), short_read);
        return;
    }
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    EXPECT_EQ(error_of(reader->get_all_records(9)), short_read);
    EXPECT_EQ(error_of(reader->get_pulses(9)), short_read);
    EXPECT_TRUE(reader->get_all_records(4).ok()) << "earlier blocks are whole";
}

INSTANTIATE_TEST_SUITE_P(EverySection, TruncatedFile, ::testing::ValuesIn(cuts()),
                         [](const ::testing::TestParamInfo<Cut>& param_info) { return param_info.param.name; });

TEST(TruncatedFileWhole, UncutFileReadsFully) {
    // The counterpart of the cuts above: the same file, whole, reads fully.
    TempDir dir;
    PulseFilePlan plan = three_apertures();
    plan.index_placement = IndexPlacement::before_blocks;
    auto reader = PulseReader::open(dir.write("pulses.bin", plan));
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    for (std::uint64_t n : {4, 5, 9}) EXPECT_TRUE(reader->get_all_records(n).ok()) << n;
}

TEST_F(Reader, PaddingBytesAreNeverRead) {
    PulseFilePlan plan = three_apertures();
    plan.padding = Bytes(37, std::byte{0xFF});
    auto reader = open(plan);
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    EXPECT_EQ(reader->metadata_text(), plan.metadata);
    EXPECT_TRUE(reader->get_all_records(9).ok());

    plan.padding = Bytes{};
    auto unpadded = open(plan);
    ASSERT_TRUE(unpadded.ok()) << error_of(unpadded);
    EXPECT_TRUE(unpadded->get_all_records(4).ok());
}

TEST_F(Reader, MissingFileGivesTheSystemsTextAndNumber) {
    EXPECT_EQ(error_of(PulseReader::open(dir_.file("absent.bin"))), "No such file or directory (os error 2)");
    EXPECT_EQ(error_of(PulseReader::open(dir_.file("no/such/dir/pulses.bin"))),
              "No such file or directory (os error 2)");
    EXPECT_EQ(error_of(PulseReader::open("")), "No such file or directory (os error 2)");
}

TEST_F(Reader, OtherSystemErrors) {
    const std::string file = write(three_apertures());
    EXPECT_EQ(error_of(PulseReader::open(file + "/pulses.bin")), "Not a directory (os error 20)");
    EXPECT_EQ(error_of(PulseReader::open(dir_.path().string())), "Is a directory (os error 21)");
}

TEST_F(Reader, ReadersOfOneFileAreIndependentAndMovable) {
    const std::string path = write(three_apertures());
    auto a = PulseReader::open(path);
    auto b = PulseReader::open(path);
    ASSERT_TRUE(a.ok() && b.ok());
    ASSERT_TRUE(a->get_all_records(9).ok());
    PulseReader moved = std::move(a).value();
    auto from_b = b->get_all_records(4);
    auto from_moved = moved.get_all_records(4);
    ASSERT_TRUE(from_b.ok() && from_moved.ok());
    EXPECT_EQ(from_b->header, from_moved->header);
    EXPECT_EQ(from_moved->records.size(), 4U);
}

TEST_F(Reader, FileReplacedAfterOpenIsNotReopened) {
    // The reader keeps its open file: removing the path does not affect it.
    const std::string path = write(three_apertures());
    auto reader = PulseReader::open(path);
    ASSERT_TRUE(reader.ok());
    std::filesystem::remove(path);
    auto result = reader->get_all_records(4);
    ASSERT_TRUE(result.ok()) << error_of(result);
    EXPECT_EQ(result->records.size(), 4U);
}

}  // namespace
}  // namespace kvt::testing
