// The aperture index: construction from the entry bytes, lookups, the
// indexes that are refused, and the index as `open` reads it.
#include <cstdint>
#include <cstring>
#include <map>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "allocation_limit.hpp"
#include "pulse_file_builder.hpp"
#include "pulse_reader/headers/byte_order.hpp"
#include "pulse_reader/headers/pulse_file_index.hpp"
#include "pulse_reader/pulse_reader.hpp"
#include "test_helpers.hpp"

namespace kvt::testing {
namespace {

using Numbers = std::vector<std::uint64_t>;

std::string not_found(std::uint64_t n) {
    return "This file does not contain the provided aperture index: " + std::to_string(n);
}

/// The index built from `entries` exactly as they would be stored in a file.
Result<PulseFileIndex> index_of(const std::vector<IndexEntry>& entries) {
    PulseFilePlan plan;
    plan.index = entries;
    const BuiltFile file = build(plan);
    return PulseFileIndex::new_(file.index_entry_bytes(), entries.size());
}

// Lookup behaviours hold whatever the span between the first and last number;
// each case runs once with a short span and once with a span of four billion
// numbers, which no dense table of offsets should be built for.
class IndexLookup : public ::testing::TestWithParam<std::uint32_t> {
protected:
    /// A number past the ones a case uses, as the last entry (or none when 0).
    [[nodiscard]] std::vector<IndexEntry> with_tail(std::vector<IndexEntry> entries) const {
        if (GetParam() != 0) entries.push_back(entry_at(GetParam(), 0xFFFF0000));
        return entries;
    }
    [[nodiscard]] std::uint64_t beyond() const { return GetParam() == 0 ? 10 : std::uint64_t{GetParam()} + 1; }
};

TEST_P(IndexLookup, FindsEntriesAndRefusesGapsAndNumbersOutsideTheSpan) {
    AllocationLimit limit(std::size_t{64} << 20);
    auto index = index_of(with_tail({entry_at(5, 500), entry_at(7, 0x0123456789ABCDEFULL), entry_at(9, 900)}));
    ASSERT_TRUE(index.ok()) << error_of(index);
    EXPECT_EQ(index->first_aperture(), 5U);

    EXPECT_EQ(index->get(5).value(), 500U);
    EXPECT_EQ(index->get(7).value(), 0x0123456789ABCDEFULL) << "64-bit offset at an unaligned position";
    EXPECT_EQ(index->get(9).value(), 900U);
    for (std::uint64_t n : {std::uint64_t{6}, std::uint64_t{8}, std::uint64_t{4}, std::uint64_t{0}, beyond(),
                            std::uint64_t{1} << 32, UINT64_MAX}) {
        EXPECT_EQ(error_of(index->get(n)), not_found(n));
    }
    if (GetParam() == 0) {
        EXPECT_EQ(index->apertures(), (Numbers{5, 7, 9}));
    } else {
        EXPECT_EQ(index->apertures(), (Numbers{5, 7, 9, GetParam()}));
        EXPECT_EQ(index->get(GetParam()).value(), 0xFFFF0000U);
    }
    EXPECT_FALSE(AllocationLimit::refused());
}

TEST_P(IndexLookup, ZeroOffsetMarksAnApertureAbsentButItIsStillListed) {
    auto index = index_of(with_tail({entry_at(5, 500), entry_at(6, 0), entry_at(7, 700)}));
    ASSERT_TRUE(index.ok()) << error_of(index);
    EXPECT_EQ(error_of(index->get(6)), not_found(6));
    EXPECT_EQ(index->get(7).value(), 700U);
    EXPECT_EQ(index->apertures()[1], 6U);
}

TEST_P(IndexLookup, RepeatedNumberKeepsTheLaterOffsetAndIsListedTwice) {
    auto index = index_of(
        with_tail({entry_at(5, 500), entry_at(7, 701), entry_at(7, 702), entry_at(8, 800), entry_at(8, 0)}));
    ASSERT_TRUE(index.ok()) << error_of(index);
    EXPECT_EQ(index->get(7).value(), 702U);
    // A later zero offset also wins: the aperture is absent.
    EXPECT_EQ(error_of(index->get(8)), not_found(8));
    EXPECT_EQ(index->apertures()[1], 7U);
    EXPECT_EQ(index->apertures()[2], 7U);
    EXPECT_EQ(index->apertures().size(), GetParam() == 0 ? 5U : 6U);
}

TEST_P(IndexLookup, EntriesBetweenFirstAndLastNeedNotBeSorted) {
    auto index = index_of(with_tail({entry_at(5, 500), entry_at(8, 800), entry_at(6, 600), entry_at(9, 900)}));
    ASSERT_TRUE(index.ok()) << error_of(index);
    EXPECT_EQ(index->get(6).value(), 600U);
    EXPECT_EQ(index->get(8).value(), 800U);
    const Numbers numbers = index->apertures();
    EXPECT_EQ(Numbers(numbers.begin(), numbers.begin() + 4), (Numbers{5, 8, 6, 9}));
}

INSTANTIATE_TEST_SUITE_P(Spans, IndexLookup, ::testing::Values(0U, 4000000000U),
                         [](const ::testing::TestParamInfo<std::uint32_t>& param_info) {
                             return param_info.param == 0 ? std::string("Short") : std::string("FourBillion");
                         });

/// Index bytes for `numbers`, entry i at offset 1000 + i, without a file around them.
std::vector<std::byte> entry_bytes_of(const std::vector<std::uint32_t>& numbers) {
    std::vector<std::byte> bytes(numbers.size() * index_entry_size);
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        store_le(bytes.data() + i * index_entry_size, numbers[i]);
        store_le(bytes.data() + i * index_entry_size + 4, std::uint64_t{1000} + i);
    }
    return bytes;
}

// Indexes of 100,000 entries, several read pieces long, with the irregularity
// placed across a piece boundary (entries 32767 and 32768) or near the end.
// Every number of the span is looked up and compared with a plain scan of the
// entries in which the later of two equal numbers wins.
TEST(PulseFileIndex, LargeIndexesAgreeWithAScanOfTheirEntries) {
    constexpr std::uint32_t count = 100000;
    struct Layout {
        const char* name;
        std::vector<std::uint32_t> numbers;
    };
    std::vector<Layout> layouts;
    std::vector<std::uint32_t> numbers(count);
    for (std::uint32_t i = 0; i < count; ++i) numbers[i] = 7 + i;
    layouts.push_back({"consecutive", numbers});
    for (std::uint32_t i = 0; i < count; ++i) numbers[i] = 3 * i + i % 2;
    layouts.push_back({"ascending with gaps", numbers});
    numbers = layouts[0].numbers;
    numbers[32768] = numbers[32767];
    layouts.push_back({"repeat across a piece boundary", numbers});
    numbers = layouts[0].numbers;
    std::swap(numbers[32767], numbers[32768]);
    layouts.push_back({"descent across a piece boundary", numbers});
    numbers = layouts[1].numbers;
    std::swap(numbers[count - 3], numbers[count - 2]);
    layouts.push_back({"descent near the end, with gaps", numbers});

    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.name);
        const std::vector<std::byte> bytes = entry_bytes_of(layout.numbers);
        auto index = PulseFileIndex::new_(bytes, count);
        ASSERT_TRUE(index.ok()) << error_of(index);
        std::map<std::uint64_t, std::uint64_t> expected;
        for (std::size_t i = 0; i < count; ++i) expected[layout.numbers[i]] = 1000 + i;
        const std::uint64_t first = layout.numbers.front();
        const std::uint64_t last = layout.numbers.back();
        std::size_t mismatches = 0;
        for (std::uint64_t n = first == 0 ? 0 : first - 1; n <= last + 1; ++n) {
            const auto found = expected.find(n);
            const auto got = index->get(n);
            if (found == expected.end() ? got.ok() : !got.ok() || *got != found->second) ++mismatches;
        }
        EXPECT_EQ(mismatches, 0U);
        EXPECT_EQ(index->size(), count);
        EXPECT_EQ(index->apertures(), Numbers(layout.numbers.begin(), layout.numbers.end()));
    }
}

TEST(PulseFileIndex, LargeIndexRefusesANumberOutsideTheSpanInALaterPiece) {
    std::vector<std::uint32_t> numbers(70000);
    for (std::uint32_t i = 0; i < numbers.size(); ++i) numbers[i] = 10 + i;
    numbers[65000] = 3;
    const auto index = PulseFileIndex::new_(entry_bytes_of(numbers), numbers.size());
    EXPECT_EQ(error_of(index), "The pulse file index entry 65000 has aperture index 3, outside the range 10 to "
                               "70009 of the first and last entries");
}

TEST(PulseFileIndex, AFailedReadOfAnyPieceIsTheIndexError) {
    std::vector<std::uint32_t> numbers(70000);
    for (std::uint32_t i = 0; i < numbers.size(); ++i) numbers[i] = i;
    const std::vector<std::byte> bytes = entry_bytes_of(numbers);
    for (const std::uint64_t failing_at : {std::uint64_t{0}, std::uint64_t{32768} * index_entry_size,
                                           std::uint64_t{69999} * index_entry_size}) {
        auto index = PulseFileIndex::read(numbers.size(), [&](std::uint64_t at, std::span<std::byte> out) -> Status {
            if (at == failing_at) return Error("Input/output error (os error 5)");
            std::memcpy(out.data(), bytes.data() + at, out.size());
            return {};
        });
        EXPECT_EQ(error_of(index), "Input/output error (os error 5)") << "failing at " << failing_at;
    }
}

TEST(PulseFileIndex, SingleEntry) {
    auto index = index_of({entry_at(4294967295U, 80)});
    ASSERT_TRUE(index.ok()) << error_of(index);
    EXPECT_EQ(index->get(4294967295U).value(), 80U);
    EXPECT_EQ(error_of(index->get(4294967294U)), not_found(4294967294U));
    EXPECT_EQ(error_of(index->get(4294967296U)), not_found(4294967296U));
    EXPECT_EQ(index->apertures(), (Numbers{4294967295U}));
}

TEST(PulseFileIndex, RefusesAnIndexWithoutALookupTable) {
    // No entries at all.
    EXPECT_FALSE(PulseFileIndex::new_({}, 0).ok());

    // Last number below the first.
    auto descending = index_of({entry_at(9, 900), entry_at(7, 700), entry_at(5, 500)});
    ASSERT_FALSE(descending.ok());
    EXPECT_TRUE(contains(descending.error().message(), "9"));
    EXPECT_TRUE(contains(descending.error().message(), "5"));

    // Entries outside the span of the first and last numbers, below and above.
    for (std::uint32_t outside : {4U, 10U, 4000000000U}) {
        auto index = index_of({entry_at(5, 500), entry_at(outside, 1), entry_at(9, 900)});
        ASSERT_FALSE(index.ok()) << outside;
        EXPECT_TRUE(contains(index.error().message(), std::to_string(outside)));
    }
}

// Through `open`: the reader refuses such files rather than reading them.
TEST(PulseFileIndex, OpenRefusesAnIndexWithoutALookupTable) {
    TempDir dir;
    const std::vector<std::vector<IndexEntry>> indexes = {
        {},
        {entry_to_block(3, 0), entry_to_block(2, 1)},
        {entry_to_block(2, 0), entry_to_block(1, 0), entry_to_block(3, 1)},
    };
    for (const auto& entries : indexes) {
        PulseFilePlan plan;
        plan.apertures = {aperture(2), aperture(3)};
        plan.index = entries;
        auto reader = PulseReader::open(dir.write("pulses.bin", plan));
        ASSERT_FALSE(reader.ok()) << entries.size() << " entries";
        EXPECT_TRUE(contains(reader.error().message(), "index"));
    }
}

TEST(PulseFileIndex, OpenReadsOnlyNumApertures) {
    // Entries past `num_apertures` are not part of the index.
    TempDir dir;
    PulseFilePlan plan;
    plan.apertures = {aperture(1), aperture(2), aperture(3)};
    plan.num_apertures = 2;
    auto reader = PulseReader::open(dir.write("pulses.bin", plan));
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    EXPECT_EQ(reader->index().apertures(), (Numbers{1, 2}));
    EXPECT_EQ(error_of(reader->get_all_records(3)), not_found(3));
}

TEST(PulseFileIndex, HugeSpanOpensWithoutATableForEveryNumber) {
    // Entries 0 and 4,000,000,000: a dense table would take 32 GB.
    TempDir dir;
    PulseFilePlan plan;
    plan.apertures = {aperture(0, {pulse(1, 2)}, 10, 20), aperture(4000000000U, {padding(), pulse(3, 4)}, 30, 40)};
    const BuiltFile file = build(plan);
    const std::string path = dir.write("pulses.bin", file.bytes);

    AllocationLimit limit(std::size_t{64} << 20);
    auto reader = PulseReader::open(path);
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    EXPECT_EQ(reader->index().apertures(), (Numbers{0U, 4000000000U}));

    auto first = reader->get_all_records(0);
    ASSERT_TRUE(first.ok()) << error_of(first);
    EXPECT_EQ(first->header.aperture_byteloc, file.block_offsets[0]);
    EXPECT_EQ(first->header.aperture_x, 10U);
    ASSERT_EQ(first->records.size(), 1U);

    auto last = reader->get_all_records(4000000000U);
    ASSERT_TRUE(last.ok()) << error_of(last);
    EXPECT_EQ(last->header.aperture_byteloc, file.block_offsets[1]);
    EXPECT_EQ(last->header.aperture_index, 4000000000U);
    ASSERT_EQ(last->records.size(), 2U);
    EXPECT_EQ(last->records[1].record_type, FormattedRecordType::Pulse);

    for (std::uint64_t n : {std::uint64_t{1}, std::uint64_t{3999999999U}, std::uint64_t{4000000001U}}) {
        EXPECT_EQ(error_of(reader->get_all_records(n)), not_found(n));
    }
    EXPECT_FALSE(AllocationLimit::refused()) << "largest request " << AllocationLimit::largest_request();
}

}  // namespace
}  // namespace kvt::testing
