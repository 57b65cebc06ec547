// The aperture index: construction from the entry bytes, lookups, the
// indexes that are refused, and the index as `open` reads it.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "allocation_limit.hpp"
#include "pulse_file_builder.hpp"
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
    PulseFileSpec spec;
    spec.index = entries;
    const BuiltFile file = build(spec);
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
    EXPECT_EQ(Numbers(index->apertures().begin(), index->apertures().begin() + 4), (Numbers{5, 8, 6, 9}));
}

INSTANTIATE_TEST_SUITE_P(Spans, IndexLookup, ::testing::Values(0U, 4000000000U),
                         [](const ::testing::TestParamInfo<std::uint32_t>& param_info) {
                             return param_info.param == 0 ? std::string("Short") : std::string("FourBillion");
                         });

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
        PulseFileSpec spec;
        spec.apertures = {aperture(2), aperture(3)};
        spec.index = entries;
        auto reader = PulseReader::open(dir.write("pulses.bin", spec));
        ASSERT_FALSE(reader.ok()) << entries.size() << " entries";
        EXPECT_TRUE(contains(reader.error().message(), "index"));
    }
}

TEST(PulseFileIndex, OpenReadsOnlyNumApertures) {
    // Entries past `num_apertures` are not part of the index.
    TempDir dir;
    PulseFileSpec spec;
    spec.apertures = {aperture(1), aperture(2), aperture(3)};
    spec.num_apertures = 2;
    auto reader = PulseReader::open(dir.write("pulses.bin", spec));
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    EXPECT_EQ(reader->index().apertures(), (Numbers{1, 2}));
    EXPECT_EQ(error_of(reader->get_all_records(3)), not_found(3));
}

TEST(PulseFileIndex, HugeSpanOpensWithoutATableForEveryNumber) {
    // Entries 0 and 4,000,000,000: a dense table would take 32 GB.
    TempDir dir;
    PulseFileSpec spec;
    spec.apertures = {aperture(0, {pulse(1, 2)}, 10, 20), aperture(4000000000U, {padding(), pulse(3, 4)}, 30, 40)};
    const BuiltFile file = build(spec);
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
