// merge_pulse_files, and the compact JSON its metadata is written in.
#include <bit>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "allocation_limit.hpp"
#include "pulse_file_builder.hpp"
#include "pulse_reader/compact_json.hpp"
#include "pulse_reader/file_merge.hpp"
#include "pulse_reader/pulse_reader.hpp"
#include "test_helpers.hpp"
#include "writer_test_support.hpp"

namespace kvt::testing {
namespace {

namespace fs = std::filesystem;

/// Metadata with the layout keys the merge reads, plus `extra` members
/// (text starting with a comma) and keys in an order a sorted writer changes.
std::string layout_metadata(std::uint64_t rows, std::uint64_t cols, std::uint64_t roi_offset_col = 0,
                            std::uint64_t roi_cols = 0, std::uint64_t wells = 1, const std::string& extra = "") {
    return "{\"rows\": " + std::to_string(rows) + ", \"fps\": 100, \"cols\": " + std::to_string(cols) +
           ", \"validWells\": " + std::to_string(wells) + ", \"validWellsRight\": " + std::to_string(wells + 1) +
           ", \"validWellsLeft\": " + std::to_string(wells + 2) + ", \"roi_offset_col\": " +
           std::to_string(roi_offset_col) + ", \"roi_cols\": " + std::to_string(roi_cols) + extra + "}";
}

/// One input of an expected merge: its plan and build, and the offsets the
/// merge must add to its aperture rows and numbers.
struct Part {
    const PulseFilePlan* plan;
    const BuiltFile* built;
    std::uint32_t row_offset;
    std::uint32_t index_offset;
};

/// The merged file, laid out from the inputs' bytes: the first input's
/// header and encoding records, `metadata`, zeros up to the first input's
/// data_offset moved by the change in metadata length (rounded up to 16),
/// every input's blocks with aperture_y and aperture_index raised, the index.
Bytes expected_merge(const std::vector<Part>& parts, std::string_view metadata) {
    const BuiltFile& first = *parts.front().built;
    Bytes out = slice(first.bytes, 0, 80);
    append(out, text_bytes(metadata));
    const std::uint64_t old_length = parts.front().plan->metadata.size();
    const std::uint64_t data_offset = (first.data_offset + metadata.size() - old_length + 15) / 16 * 16;
    out.resize(static_cast<std::size_t>(data_offset), std::byte{0});

    Bytes index;
    append_le(index, 0x0A0D2458444E4924ULL, 8);
    std::uint64_t total = 0;
    for (const Part& part : parts) {
        for (std::size_t j = 0; j < part.plan->apertures.size(); ++j) {
            const std::uint64_t at = part.built->block_offsets[j];
            const std::uint64_t records = 16 * std::uint64_t{part.plan->apertures[j].records.size()};
            const std::uint64_t number = part.plan->apertures[j].index + std::uint64_t{part.index_offset};
            append_le(index, number, 4);
            append_le(index, out.size(), 8);
            append_le(out, le_at(part.built->bytes, at, 4), 4);
            append_le(out, le_at(part.built->bytes, at + 4, 4) + part.row_offset, 4);
            append_le(out, le_at(part.built->bytes, at + 8, 4) + part.index_offset, 4);
            append_le(out, le_at(part.built->bytes, at + 12, 4), 4);
            append(out, slice(part.built->bytes, at + 16, records));
            ++total;
        }
    }
    const std::uint64_t index_offset = out.size();
    append(out, index);
    put_le(out, 8, total, 8);
    put_le(out, 16, metadata.size(), 4);
    put_le(out, 32, data_offset, 8);
    put_le(out, 40, index_offset, 8);
    return out;
}

PulseReader open_reader(const std::string& path) {
    auto reader = PulseReader::open(path);
    if (!reader) throw std::runtime_error("cannot open " + path + ": " + reader.error().message());
    return std::move(reader).value();
}

Status merge(const std::vector<const PulseReader*>& readers, const std::string& output) {
    return merge_pulse_files(readers, output);
}

/// Two inputs of 2 rows x 3 cols with different header fields, encoding
/// records and metadata, so that what must come from the first shows.
struct TwoInputs {
    PulseFilePlan first;
    PulseFilePlan second;
    TwoInputs() {
        first.reserved1 = 11;
        first.reserved2 = 22;
        for (std::size_t k = 0; k < 8; ++k) first.encodings[k] = {static_cast<std::uint8_t>(k + 1), 3, 40};
        first.metadata = layout_metadata(2, 3, 2, 4, 6, R"(, "name": "A", "list": [1, 2.5])");
        first.apertures = {aperture(0, distinct_records(100, 2), 0, 0), aperture(2, distinct_records(102, 0), 2, 0),
                           aperture(4, distinct_records(104, 3), 1, 1), aperture(5, distinct_records(105, 1), 2, 1)};
        second.reserved1 = 99;
        second.encodings[0] = {9, 9, 9};
        second.metadata = layout_metadata(2, 3, 0, 3, 5, R"(, "name": "B")");
        second.apertures = {aperture(1, distinct_records(201, 4), 1, 0), aperture(4, distinct_records(204, 2), 1, 1)};
    }
};

TEST(FileMerge, StacksTwoInputsAlongRowsRenumberingBlocksAndIndex) {
    TempDir dir;
    const TwoInputs plans;
    const BuiltFile first = build(plans.first);
    const BuiltFile second = build(plans.second);
    const std::string first_path = dir.write("a.bin", first.bytes);
    const std::string second_path = dir.write("b.bin", second.bytes);
    const PulseReader a = open_reader(first_path);
    const PulseReader b = open_reader(second_path);
    const std::string output = dir.file("merged.bin");
    UmaskScope mask(022);
    ASSERT_EQ(error_of(merge({&a, &b}, output)), "<no error>");

    // Keys in byte order at every level; the seven layout keys recomputed
    // ("roi_offset_col" 2 + 4 and 0 + 3 give the span 0 to 6), the rest the
    // first input's.
    const std::string metadata =
        R"({"cols":3,"fps":100,"list":[1,2.5],"name":"A","roi_cols":6,"roi_offset_col":0,"roi_rows":4,)"
        R"("rows":4,"validWells":11,"validWellsLeft":15,"validWellsRight":13})";
    const Bytes written = read_file(output);
    EXPECT_TRUE(same_bytes(written, expected_merge({{&plans.first, &first, 0, 0}, {&plans.second, &second, 2, 6}},
                                                   metadata)));
    EXPECT_EQ(permission_bits(output), 0644U);

    const PulseReader merged = open_reader(output);
    EXPECT_EQ(merged.index().apertures(), (std::vector<std::uint64_t>{0, 2, 4, 5, 7, 10}));
    EXPECT_EQ(merged.header().reserved1, 11U);
    EXPECT_EQ(merged.header().reserved2, 22U);
    EXPECT_EQ(merged.header().data_offset % 16, 0U);
    // The second input's aperture 4 (row 1) is now aperture 10 in row 3.
    auto moved = merged.get_all_records(10);
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->header.aperture_index, 10U);
    EXPECT_EQ(moved->header.aperture_y, 3U);
    EXPECT_EQ(moved->header.aperture_x, 1U);
    EXPECT_EQ(stored_records(merged, 10), stored_records(b, 4));
    EXPECT_EQ(moved->records.size(), 2U);
    EXPECT_EQ(stored_records(merged, 4), stored_records(a, 4));
    EXPECT_EQ(merged.get_all_records(4)->header.aperture_y, 1U);

    // The inputs are only read.
    EXPECT_TRUE(same_bytes(read_file(first_path), first.bytes));
    EXPECT_TRUE(same_bytes(read_file(second_path), second.bytes));
    EXPECT_EQ(::fcntl(a.file().descriptor(), F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(directory_names(dir.path()), (std::vector<std::string>{"a.bin", "b.bin", "merged.bin"}));
}

TEST(FileMerge, SingleInputKeepsItsBlocksAndRewritesItsMetadataCompactly) {
    TempDir dir;
    PulseFilePlan plan;
    plan.metadata = "  {\"validWells\": 7, \"rows\": 3, \"cols\": 2, \"validWellsLeft\": 3,\n"
                    "   \"validWellsRight\": 4, \"roi_offset_col\": 1, \"roi_cols\": 1, \"roi_rows\": 99,\n"
                    "   \"fps\": 25.5, \"options\": {\"b\": 1, \"a\": 2}}  ";
    plan.apertures = {aperture(0, distinct_records(1, 3)), aperture(3, distinct_records(2, 2), 1, 1),
                      aperture(5, distinct_records(3, 1), 1, 2)};
    const BuiltFile built = build(plan);
    const PulseReader reader = open_reader(dir.write("in.bin", built.bytes));
    const std::string output = dir.file("merged.bin");
    ASSERT_EQ(error_of(merge({&reader}, output)), "<no error>");
    const std::string metadata =
        R"({"cols":2,"fps":25.5,"options":{"a":2,"b":1},"roi_cols":1,"roi_offset_col":1,"roi_rows":3,"rows":3,)"
        R"("validWells":7,"validWellsLeft":3,"validWellsRight":4})";
    EXPECT_TRUE(same_bytes(read_file(output), expected_merge({{&plan, &built, 0, 0}}, metadata)));
    const PulseReader merged = open_reader(output);
    EXPECT_EQ(merged.index().apertures(), reader.index().apertures());
    for (const std::uint64_t n : {0, 3, 5}) {
        EXPECT_EQ(stored_records(merged, n), stored_records(reader, n));
        EXPECT_EQ(merged.get_all_records(n)->header.aperture_y, reader.get_all_records(n)->header.aperture_y);
    }
}

TEST(FileMerge, DataOffsetMovesWithTheMetadataAndIsRoundedUpTo16WithZeros) {
    // First input: data_offset 1088 and 1000 bytes of metadata; merged
    // metadata of 1010 bytes. 1088 + 10 = 1098 rounds up to 1104; header,
    // encoding records and metadata end at 48 + 32 + 1010 = 1090.
    TempDir dir;
    const std::string keys = R"("cols":1,"fps":100,"roi_cols":1,"roi_offset_col":0,)";
    const std::string tail = R"("rows":1,"validWells":1,"validWellsLeft":1,"validWellsRight":1})";
    // Compact, without "roi_rows" (13 bytes once added as ,"roi_rows":1 ...)
    // and padded with three spaces: 997 compact bytes, 1000 as stored.
    const std::size_t filler = 997 - (std::string(R"({"a":"",)").size() + keys.size() + tail.size());
    const std::string compact = R"({"a":")" + std::string(filler, 'x') + R"(",)" + keys + tail;
    ASSERT_EQ(compact.size(), 997U);
    PulseFilePlan plan;
    plan.metadata = "{   " + compact.substr(1);
    ASSERT_EQ(plan.metadata.size(), 1000U);
    plan.apertures = {aperture(0, distinct_records(5, 2))};
    const BuiltFile built = build(plan);
    ASSERT_EQ(built.data_offset, 1088U);
    const PulseReader reader = open_reader(dir.write("in.bin", built.bytes));
    const std::string output = dir.file("merged.bin");
    ASSERT_EQ(error_of(merge({&reader}, output)), "<no error>");

    const std::string metadata = R"({"a":")" + std::string(filler, 'x') + R"(",)" + keys + R"("roi_rows":1,)" + tail;
    ASSERT_EQ(metadata.size(), 1010U);
    const Bytes written = read_file(output);
    EXPECT_TRUE(same_bytes(written, expected_merge({{&plan, &built, 0, 0}}, metadata)));
    EXPECT_EQ(le_at(written, 16, 4), 1010U);
    EXPECT_EQ(le_at(written, 32, 8), 1104U);
    EXPECT_TRUE(same_bytes(slice(written, 1090, 14), Bytes(14, std::byte{0})));
    EXPECT_EQ(le_at(written, 1104 + 8, 4), 0U);  // aperture 0's header starts at 1104
    EXPECT_EQ(le_at(written, 1104 + 12, 4), 2U);
}

TEST(FileMerge, MetadataIsWrittenAsCompactSortedJsonWithShortestNumbers) {
    TempDir dir;
    PulseFilePlan plan;
    plan.metadata = layout_metadata(
        1, 1, 0, 1, 1,
        R"(, "z": {"b": [3.0, 0.1, 1e300, 1.5e-7, -2, 18446744073709551615, 0.00001, 1e16, 123456789.0, -0.5],)"
        R"( "a": "\u00e9\u00E9 \" \\ \/ \u0001 \n \t \u007f \ud83d\ude00 \u001f"},)"
        R"( "Zeta": true, "n": null, "e": {}, "arr": [[], [{}]], "\u00e9": 1, "Z": false)");
    plan.apertures = {aperture(0, distinct_records(1, 1))};
    const BuiltFile built = build(plan);
    const PulseReader reader = open_reader(dir.write("in.bin", built.bytes));
    const std::string output = dir.file("merged.bin");
    ASSERT_EQ(error_of(merge({&reader}, output)), "<no error>");
    const PulseReader merged = open_reader(output);
    // UTF-8 stays UTF-8 (é is C3 A9, U+1F600 is F0 9F 98 80, the key é sorts
    // after every ASCII key); only the quote, the backslash and control
    // characters are escaped, DEL (7F) and the slash are not.
    const std::string expected = std::string(R"({"Z":false,"Zeta":true,"arr":[[],[{}]],"cols":1,"e":{},"fps":100,)") +
                                 R"("n":null,"roi_cols":1,"roi_offset_col":0,"roi_rows":1,"rows":1,)" +
                                 R"("validWells":1,"validWellsLeft":3,"validWellsRight":2,)" +
                                 "\"z\":{\"a\":\"\xC3\xA9\xC3\xA9 \\\" \\\\ / \\u0001 \\n \\t \x7F \xF0\x9F\x98\x80 \\u001f\"," +
                                 R"("b":[3.0,0.1,1e300,1.5e-7,-2,18446744073709551615,0.00001,1e16,123456789.0,-0.5]},)" +
                                 "\"\xC3\xA9\":1}";
    EXPECT_EQ(merged.metadata_text(), expected);
    EXPECT_EQ(merged.header().metadata_length, expected.size());
}

TEST(FileMerge, DeeplyNestedMetadataIsWrittenWithoutExhaustingTheStack) {
    // 200,000 levels: a recursive writer (nlohmann's dump, or copying the
    // value) overflows an 8 MiB stack long before that.
    TempDir dir;
    constexpr std::size_t depth = 200'000;
    const std::string nested = std::string(depth, '[') + "7" + std::string(depth, ']');
    PulseFilePlan plan;
    plan.metadata = layout_metadata(1, 1, 0, 1, 1, R"(, "deep": {"x": )" + nested + "}");
    plan.apertures = {aperture(0, distinct_records(1, 1))};
    const PulseReader reader = open_reader(dir.write("in.bin", plan));
    const std::string output = dir.file("merged.bin");
    ASSERT_EQ(error_of(merge({&reader}, output)), "<no error>");
    const PulseReader merged = open_reader(output);
    const std::string& text = merged.metadata_text();
    EXPECT_TRUE(text.starts_with(R"({"cols":1,"deep":{"x":)" + nested + R"(},"fps":100,)")) << text.substr(0, 40);
}

TEST(FileMerge, MissingOrInvalidLayoutKeysAreRefusedBeforeAnythingIsWritten) {
    TempDir dir;
    PulseFilePlan good;
    good.metadata = layout_metadata(2, 3, 0, 3);
    good.apertures = {aperture(0, distinct_records(1, 1)), aperture(5, distinct_records(2, 1))};
    const PulseReader first = open_reader(dir.write("first.bin", good));
    const std::string output = dir.file("merged.bin");

    // Every key the merge reads, each broken in the second input in each way:
    // absent, negative, with a fraction (3.0 too) or an exponent, a string,
    // an array, null.
    const std::vector<std::string> keys = {"validWells",     "validWellsLeft", "validWellsRight", "rows",
                                           "roi_offset_col", "roi_cols",       "cols"};
    const std::vector<std::string> bad_values = {"", "-1", "3.0", "2.5", "1e2", "\"3\"", "[3]", "null"};
    for (const std::string& key : keys) {
        for (const std::string& bad : bad_values) {
            Metadata metadata = Metadata::parse(layout_metadata(2, 3, 0, 3));
            if (bad.empty()) metadata.erase(key);
            else metadata[key] = Metadata::parse(bad);
            PulseFilePlan plan = good;
            plan.metadata = metadata.dump();
            const PulseReader second = open_reader(dir.write("second.bin", plan));
            EXPECT_EQ(error_of(merge({&first, &second}, output)), key + " missing or invalid")
                << key << " = " << (bad.empty() ? "<missing>" : bad);
        }
    }
    EXPECT_EQ(directory_names(dir.path()), (std::vector<std::string>{"first.bin", "second.bin"}));

    // The six keys of every input come before "cols" of any: the first input
    // lacking "cols" and the second "rows" report "rows".
    PulseFilePlan no_cols = good;
    Metadata without = Metadata::parse(good.metadata);
    without.erase("cols");
    no_cols.metadata = without.dump();
    PulseFilePlan no_rows = good;
    without = Metadata::parse(good.metadata);
    without["rows"] = 2.0;
    no_rows.metadata = without.dump();
    const PulseReader a = open_reader(dir.write("a.bin", no_cols));
    const PulseReader b = open_reader(dir.write("b.bin", no_rows));
    EXPECT_EQ(error_of(merge({&a, &b}, output)), "rows missing or invalid");
    EXPECT_EQ(error_of(merge({&a, &first}, output)), "cols missing or invalid");
    EXPECT_FALSE(fs::exists(output));
    EXPECT_TRUE(temporary_files(dir.path()).empty());
}

TEST(FileMerge, IndexesThatCannotBeRenumberedSafelyAreRefusedBeforeAnythingIsWritten) {
    TempDir dir;
    PulseFilePlan good;
    good.metadata = layout_metadata(2, 3, 0, 3);
    good.apertures = {aperture(0, distinct_records(1, 1)), aperture(1, distinct_records(2, 1)),
                      aperture(2, distinct_records(3, 1)), aperture(3, distinct_records(4, 1))};
    const PulseReader first = open_reader(dir.write("first.bin", good));
    const std::string output = dir.file("merged.bin");
    auto second_with = [&](const PulseFilePlan& plan) { return open_reader(dir.write("second.bin", plan)); };

    // An entry whose offset is 0: the index itself cannot resolve it.
    PulseFilePlan absent = good;
    absent.index = std::vector<IndexEntry>{entry_to_block(0, 0), entry_at(1, 0), entry_to_block(3, 3)};
    const PulseReader with_absent = second_with(absent);
    EXPECT_EQ(error_of(merge({&first, &with_absent}, output)),
              "Invalid aperture index encountered: This file does not contain the provided aperture index: 1");

    // An aperture number not below rows x cols = 6 would collide with the
    // next input's numbers.
    PulseFilePlan beyond = good;
    beyond.apertures.back().index = 6;
    const PulseReader with_beyond = second_with(beyond);
    EXPECT_EQ(error_of(merge({&with_beyond, &first}, output)),
              "Cannot merge " + dir.file("second.bin") + ": aperture index 6 is not below its rows x cols = 2 x 3");

    // Out of order and repeated numbers (the reader accepts both).
    PulseFilePlan unordered = good;
    unordered.apertures[1].index = 2;
    unordered.apertures[2].index = 1;
    const PulseReader with_unordered = second_with(unordered);
    EXPECT_EQ(error_of(merge({&first, &with_unordered}, output)),
              "Cannot merge " + dir.file("second.bin") +
                  ": its index is not in strictly ascending order (aperture 1 follows 2)");
    PulseFilePlan repeated = good;
    repeated.apertures[2].index = 1;
    const PulseReader with_repeated = second_with(repeated);
    EXPECT_EQ(error_of(merge({&first, &with_repeated}, output)),
              "Cannot merge " + dir.file("second.bin") +
                  ": its index is not in strictly ascending order (aperture 1 follows 1)");

    // Totals past what the 32-bit aperture header fields can number.
    PulseFilePlan huge = good;
    huge.metadata = layout_metadata(65536, 65536, 0, 1);  // 2^32 apertures: the most one file may span
    const PulseReader with_huge = second_with(huge);
    EXPECT_EQ(error_of(merge({&with_huge, &first}, output)),
              "The merged file would have more than 4294967296 apertures (rows x cols), more than a 32-bit "
              "aperture_index can number");
    huge.metadata = layout_metadata(4294967296, 1, 0, 1);
    const PulseReader with_many_rows = second_with(huge);
    EXPECT_EQ(error_of(merge({&with_many_rows, &first}, output)),
              "The merged file would have more than 4294967296 rows, more than a 32-bit aperture_y can number");

    EXPECT_FALSE(fs::exists(output));
    EXPECT_EQ(directory_names(dir.path()), (std::vector<std::string>{"first.bin", "second.bin"}));

    // The limit itself is fine: one input spanning 2^32 apertures alone.
    huge.metadata = layout_metadata(65536, 65536, 0, 1);
    const PulseReader at_limit = second_with(huge);
    EXPECT_EQ(error_of(merge({&at_limit}, output)), "<no error>");
}

TEST(FileMerge, InputsWhoseBlocksDoNotFillTheirDataRegionInIndexOrderAreRefused) {
    TempDir dir;
    PulseFilePlan good;
    good.metadata = layout_metadata(2, 3, 0, 3);
    good.apertures = {aperture(0, distinct_records(1, 2)), aperture(1, distinct_records(2, 2)),
                      aperture(2, distinct_records(3, 2))};
    const PulseReader first = open_reader(dir.write("first.bin", good));
    const std::string output = dir.file("merged.bin");
    const std::string second_path = dir.file("second.bin");

    // Bytes between the last block and the index.
    PulseFilePlan trailing = good;
    trailing.apertures[2].num_records = 1;
    PulseReader second = open_reader(dir.write("second.bin", trailing));
    EXPECT_EQ(error_of(merge({&first, &second}, output)), "Stream position mismatch");

    // Bytes between two blocks: the next block is not where its index entry says.
    PulseFilePlan gap = good;
    gap.apertures[0].num_records = 1;
    const BuiltFile gap_built = build(gap);
    second = open_reader(dir.write("second.bin", gap_built.bytes));
    EXPECT_EQ(error_of(merge({&first, &second}, output)),
              "Cannot merge " + second_path + ": the block of aperture 1 is at byte " +
                  std::to_string(gap_built.block_offsets[1]) + " instead of byte " +
                  std::to_string(gap_built.block_offsets[0] + 32) +
                  ", right after the block before it in index order");

    // Blocks of equal size stored in another order than the index's: the
    // total size matches, only the positions tell.
    PulseFilePlan swapped = good;
    swapped.index = std::vector<IndexEntry>{entry_to_block(0, 1), entry_to_block(1, 0), entry_to_block(2, 2)};
    const BuiltFile swapped_built = build(swapped);
    second = open_reader(dir.write("second.bin", swapped_built.bytes));
    EXPECT_EQ(error_of(merge({&first, &second}, output)),
              "Cannot merge " + second_path + ": the block of aperture 0 is at byte " +
                  std::to_string(swapped_built.block_offsets[1]) + " instead of byte " +
                  std::to_string(swapped_built.block_offsets[0]) +
                  ", right after the block before it in index order");

    // A block claiming about 64 GiB of records: the file ends first. Nothing
    // of that size is allocated.
    for (const std::size_t block : {std::size_t{0}, std::size_t{2}}) {
        PulseFilePlan huge = good;
        huge.apertures[block].num_records = 0xFFFFFFFF;
        second = open_reader(dir.write("second.bin", huge));
        AllocationLimit limit(std::size_t{64} << 20);
        EXPECT_EQ(error_of(merge({&first, &second}, output)), "failed to fill whole buffer");
        EXPECT_FALSE(AllocationLimit::refused());
    }

    // Metadata longer than the first input's data_offset allows for.
    PulseFilePlan cramped = good;
    cramped.data_offset = 48;
    second = open_reader(dir.write("second.bin", cramped));
    EXPECT_EQ(error_of(merge({&second, &first}, output)), "Stream position exceeds new data offset");

    EXPECT_FALSE(fs::exists(output));
    EXPECT_EQ(directory_names(dir.path()), (std::vector<std::string>{"first.bin", "second.bin"}));
}

TEST(FileMerge, RefusesAnExistingDestinationAndAnEmptyList) {
    TempDir dir;
    PulseFilePlan plan;
    plan.metadata = layout_metadata(1, 1, 0, 1);
    plan.apertures = {aperture(0, distinct_records(1, 1))};
    const BuiltFile built = build(plan);
    const std::string input = dir.write("in.bin", built.bytes);
    const PulseReader reader = open_reader(input);

    EXPECT_EQ(error_of(merge({}, dir.file("merged.bin"))), "No pulse files provided");
    EXPECT_EQ(error_of(merge({}, input)), "No pulse files provided");

    write_file(dir.file("empty.bin"), Bytes{});
    fs::create_directory(dir.file("folder"));
    fs::create_symlink(dir.file("nowhere"), dir.file("dangling"));
    for (const std::string& name :
         {dir.file("empty.bin"), dir.file("folder"), input, dir.file("dangling"), dir.file("./in.bin")}) {
        EXPECT_EQ(error_of(merge({&reader}, name)), "File " + name + " already exists");
    }
    EXPECT_TRUE(same_bytes(read_file(input), built.bytes));
    EXPECT_TRUE(read_file(dir.file("empty.bin")).empty());
    EXPECT_TRUE(fs::is_empty(dir.file("folder")));
    EXPECT_EQ(directory_names(dir.path()),
              (std::vector<std::string>{"dangling", "empty.bin", "folder", "in.bin"}));
}

TEST(FileMerge, ManyBlocksAcrossSeveralBufferFillsAndABlockLargerThanTheBuffer) {
    TempDir dir;
    std::mt19937 random(12345);
    PulseFilePlan first;
    first.metadata = layout_metadata(20, 10, 0, 10);
    for (std::uint32_t n = 0; n < 200; ++n) {
        if (n % 3 == 1) continue;
        const std::size_t count = n == 42 ? 70000 : random() % 300;
        first.apertures.push_back(aperture(n, distinct_records(n, count), n % 10, n / 10));
    }
    PulseFilePlan second;
    second.metadata = layout_metadata(7, 9, 1, 8, 3, R"(, "longer": ")" + std::string(3000, 'm') + "\"");
    for (std::uint32_t n = 0; n < 63; n += 2) {
        second.apertures.push_back(aperture(n, distinct_records(1000 + n, random() % 5000), n % 9, n / 9));
    }
    const BuiltFile first_built = build(first);
    const BuiltFile second_built = build(second);
    const PulseReader a = open_reader(dir.write("a.bin", first_built.bytes));
    const PulseReader b = open_reader(dir.write("b.bin", second_built.bytes));
    const std::string output = dir.file("merged.bin");
    // The second input twice: renumbered by the rows of both before it.
    ASSERT_EQ(error_of(merge({&a, &b, &b}, output)), "<no error>");
    const std::string metadata =
        R"({"cols":10,"fps":100,"roi_cols":10,"roi_offset_col":0,"roi_rows":34,"rows":34,"validWells":7,)"
        R"("validWellsLeft":13,"validWellsRight":10})";
    EXPECT_TRUE(same_bytes(read_file(output), expected_merge({{&first, &first_built, 0, 0},
                                                              {&second, &second_built, 20, 200},
                                                              {&second, &second_built, 27, 263}},
                                                             metadata)));
}

TEST(FileMerge, WriteFailingHalfwayLeavesNothingAtTheDestination) {
    TempDir dir;
    PulseFilePlan plan;
    plan.metadata = layout_metadata(10, 10, 0, 10);
    for (std::uint32_t n = 0; n < 100; ++n) plan.apertures.push_back(aperture(n, distinct_records(n, 500)));
    const PulseReader reader = open_reader(dir.write("in.bin", plan));
    const std::string output = dir.file("merged.bin");
    const std::string message =
        run_with_file_size_limit(256 << 10, [&] { return error_of(merge({&reader, &reader}, output)); });
    EXPECT_EQ(message, "File too large (os error 27)");
    EXPECT_EQ(directory_names(dir.path()), (std::vector<std::string>{"in.bin"}));
    EXPECT_EQ(error_of(merge({&reader, &reader}, output)), "<no error>");
}

/// 64 MiB of blocks in `dir`/in.bin: merged with itself, long enough for
/// another thread or process to catch the merge writing.
/// (Built once per test program: building it dominates these tests' time.)
std::string write_large_input(const TempDir& dir) {
    static const Bytes bytes = [] {
        PulseFilePlan plan;
        plan.metadata = layout_metadata(8, 8, 0, 8);
        const std::vector<Record> records = distinct_records(3, 65536);
        for (std::uint32_t n = 0; n < 64; ++n) plan.apertures.push_back(aperture(n, records));
        return build(plan).bytes;
    }();
    return dir.write("in.bin", bytes);
}

/// Whether the merge's temporary file in `dir` already holds `bytes` or more.
bool temporary_file_holds(const TempDir& dir, off_t bytes) {
    for (const std::string& name : temporary_files(dir.path())) {
        struct stat status {};
        if (::stat((dir.path() / name).c_str(), &status) == 0 && status.st_size >= bytes) return true;
    }
    return false;
}

TEST(FileMerge, DestinationCreatedWhileMergingIsNotReplaced) {
    TempDir dir;
    const PulseReader reader = open_reader(write_large_input(dir));
    const std::string output = dir.file("merged.bin");
    bool created = false;
    std::thread intruder([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!temporary_file_holds(dir, 1) && std::chrono::steady_clock::now() < deadline) {
        }
        const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            created = ::write(fd, "theirs", 6) == 6;
            ::close(fd);
        }
    });
    const Status merged = merge({&reader, &reader}, output);
    intruder.join();
    ASSERT_TRUE(created) << "the destination could not be created while the merge ran";
    EXPECT_EQ(error_of(merged), "File " + output + " already exists");
    EXPECT_TRUE(same_bytes(read_file(output), text_bytes("theirs")));
    EXPECT_EQ(directory_names(dir.path()), (std::vector<std::string>{"in.bin", "merged.bin"}));
}

TEST(FileMerge, MergeKilledHalfwayLeavesNothingAtTheDestination) {
    TempDir dir;
    const PulseReader reader = open_reader(write_large_input(dir));
    const std::string output = dir.file("merged.bin");

    const pid_t child = ::fork();
    if (child == 0) {
        const Status merged = merge({&reader, &reader}, output);
        ::_exit(merged.ok() ? 0 : 1);
    }
    // Wait until the temporary file holds data, then kill the child at once.
    bool caught = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!caught && std::chrono::steady_clock::now() < deadline) {
        caught = temporary_file_holds(dir, 1 << 20);
        if (!caught && ::waitpid(child, nullptr, WNOHANG) != 0) break;
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(caught) << "the merge was not seen writing";
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the merge ended before it was killed";
    EXPECT_FALSE(fs::exists(output));
    // What may remain is the recognisably named temporary file.
    for (const std::string& name : directory_names(dir.path())) {
        if (name == "in.bin") continue;
        EXPECT_TRUE(name.starts_with(".merged.bin.tmp-") && name.size() == 22) << name;
    }
}

// ---------------------------------------------------------------------------
// Numbers and values in the compact metadata text.

TEST(CompactJsonForMerge, NonIntegerNumbersTakeTheShortestFormWithAFractionOrExponent) {
    const std::vector<std::pair<double, std::string>> cases = {
        {3.0, "3.0"},
        {0.1, "0.1"},
        {-0.5, "-0.5"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1e300, "1e300"},
        {1.5e-7, "1.5e-7"},
        {1e-5, "0.00001"},
        {1.25e-5, "0.0000125"},
        {1e-6, "1e-6"},
        {123456789.0, "123456789.0"},
        {1e15, "1000000000000000.0"},
        {1e16, "1e16"},
        {1.2345678901234567e16, "1.2345678901234568e16"},
        {1234.5678, "1234.5678"},
        {5e-324, "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e308"},
        {100.0 / 3.0, "33.333333333333336"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(format_json_double(value), text) << value;

    // Any finite double reads back exactly, and never looks like an integer.
    std::mt19937_64 random(7);
    for (int i = 0; i < 20000; ++i) {
        const double value = std::bit_cast<double>(random());
        if (!std::isfinite(value)) continue;
        const std::string text = format_json_double(value);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)), std::bit_cast<std::uint64_t>(value))
            << text;
        EXPECT_NE(text.find_first_of(".e"), std::string::npos) << text;
    }
}

TEST(CompactJsonForMerge, ReplacementsAreMergedIntoKeyOrder) {
    const Metadata object = Metadata::parse(R"({"b": 1, "d": [true, {"y": 1, "x": 2}], "f": "s"})");
    const std::vector<std::pair<std::string_view, std::uint64_t>> replacements = {{"g", 7}, {"a", 1}, {"d", 4},
                                                                                   {"c", 18446744073709551615ULL}};
    EXPECT_EQ(to_compact_json(object, replacements).value(),
              R"({"a":1,"b":1,"c":18446744073709551615,"d":4,"f":"s","g":7})");
    EXPECT_EQ(to_compact_json(object).value(), R"({"b":1,"d":[true,{"x":2,"y":1}],"f":"s"})");
    EXPECT_EQ(to_compact_json(Metadata::parse(R"([1e-7, 3.0, {"b": "\u00e9", "a": -1}])")).value(),
              "[1e-7,3.0,{\"a\":-1,\"b\":\"\xC3\xA9\"}]");
    EXPECT_EQ(to_compact_json(Metadata::parse("[]")).value(), "[]");
    EXPECT_FALSE(to_compact_json(Metadata::parse("[]"), replacements).ok());
}

}  // namespace
}  // namespace kvt::testing
