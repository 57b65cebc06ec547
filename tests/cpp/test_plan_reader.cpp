// The plan reader against itself: a plan read in units of whole blocks on one
// thread, and cut into small units (pieces of its large blocks) on 1, 2 and 4
// threads, gives the same bytes in every column of records, pulses and
// summaries, the same skipped apertures and the same errors; also where the
// record counts inferred from the blocks' extents disagree with the headers.
// And the summary's scalar and SSE2 kernels, on random data.
#include <bit>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file_bytes.hpp"
#include "pulse_reader/plan_rows.hpp"
#include "pulse_reader/pulse_reader.hpp"
#include "pulse_reader/summary_kernels.hpp"

namespace kvt::testing {
namespace {

/// `count` records of every kind, pulses never touching (w0 > 0).
std::vector<Words> random_records(std::mt19937& random, std::size_t count) {
    std::vector<Words> records(count);
    for (Words& w : records) {
        for (std::uint16_t& word : w) word = static_cast<std::uint16_t>(random());
        w[0] = static_cast<std::uint16_t>(1 + random() % 200);
        w[1] = random() % 3 == 0 ? 0 : static_cast<std::uint16_t>(1 + random() % 30);
        if (random() % 8 == 0) w[6] = 0xFFFD;  // a long-pulse update, unless a pulse
    }
    return records;
}

struct Reading {
    std::vector<std::byte> records, pulses, summaries;
    std::size_t record_rows = 0;
    std::vector<SkippedAperture> skipped;
    std::string error;
    friend bool operator==(const Reading&, const Reading&) = default;
};

Reading read_everything(const PulseReader& reader, std::size_t threads, std::size_t unit_records) {
    std::vector<std::uint64_t> apertures = lookup_apertures(reader.index());
    PulseFilter filter;
    filter.min_snr = 0.5F;
    filter.recalc_ipd = true;
    PlanReading how;
    how.filter = &filter;
    how.skip_unreadable = true;
    how.threads = threads;
    how.unit_records = unit_records;
    Reading got;
    OwnedColumns columns;
    const auto plan = [&] { return plan_blocks(reader, apertures, PlanHeaders::infer, DamagedBlocks::mark).value(); };
    const auto take = [&](Result<PlanRows> rows, std::vector<std::byte>& bytes) {
        if (!rows) {
            got.error += rows.error().message() + "\n";
            return;
        }
        bytes = columns.bytes(rows->rows);
        got.skipped.insert(got.skipped.end(), rows->skipped.begin(), rows->skipped.end());
    };
    auto records = read_plan_records(
        reader, plan(), [&](std::size_t n) -> Result<RecordTable> { return columns.records(n); }, how);
    got.record_rows = records ? records->rows : 0;
    take(std::move(records), got.records);
    take(read_plan_pulses(
             reader, plan(), [&](std::size_t n) -> Result<PulseTable> { return columns.pulses(n); }, how),
         got.pulses);
    take(summarize_plan(
             reader, plan(), [&](std::size_t n) -> Result<SummaryTable> { return columns.summaries(n); }, how),
         got.summaries);
    return got;
}

struct PlanCase {
    const char* name;
    std::size_t claimed_less;              ///< records fewer in aperture 3's header than in its block
    std::vector<std::size_t> touching;     ///< records of aperture 1 made to touch the pulse before
    bool damaged = false;                  ///< aperture 6's header claims far more records than the file holds
    std::vector<SkippedAperture> skipped;  ///< by the records, then the pulses, then the summaries
};

class PlanThreads : public ::testing::TestWithParam<PlanCase> {};
constexpr SkipReason out_of_order = SkipReason::out_of_order;
constexpr SkipReason past_end = SkipReason::past_end;

TEST_P(PlanThreads, GiveTheSameRowsInPiecesOnAnyNumberOfThreads) {
    std::mt19937 random(7);
    std::vector<TestAperture> apertures;
    for (std::uint32_t n : {0U, 1U, 3U, 4U, 6U}) {
        apertures.push_back({n, random_records(random, n == 1 ? 3000 : 40 + random() % 90), std::nullopt});
    }
    for (const std::size_t at : GetParam().touching) {  // a pulse that starts where the one before ends
        apertures[1].records[at - 1][1] = 5;
        apertures[1].records[at] = {0, 4, 900, 900, 5, 5, 1, 1};
    }
    apertures[2].claimed = static_cast<std::uint32_t>(apertures[2].records.size() - GetParam().claimed_less);
    if (GetParam().damaged) apertures[4].claimed = 1'000'000;
    TempFolder folder;
    auto reader = PulseReader::open(folder.write("p.bin", FileBytes(apertures).bytes));
    ASSERT_TRUE(reader);
    const Reading whole = read_everything(*reader, 1, 1U << 20);
    ASSERT_EQ(whole.error, "");
    std::size_t records = 0;
    for (const TestAperture& a : apertures) {
        if (a.claimed != 1'000'000U) records += a.claimed.value_or(static_cast<std::uint32_t>(a.records.size()));
    }
    EXPECT_EQ(whole.record_rows, records);
    EXPECT_EQ(whole.skipped, GetParam().skipped);
    for (const std::size_t threads : {1U, 2U, 4U}) EXPECT_EQ(read_everything(*reader, threads, 97), whole) << threads;
}

INSTANTIATE_TEST_SUITE_P(
    Plans, PlanThreads,
    ::testing::Values(PlanCase{"pieces", 0, {}, false, {}}, PlanCase{"counts_inferred_wrong", 7, {}, false, {}},
                      PlanCase{"unsorted_pulses_skipped", 0, {2500}, false, {{1, out_of_order}, {1, out_of_order}}},
                      PlanCase{
                          "unsorted_in_the_first_piece", 3, {10, 2999}, false, {{1, out_of_order}, {1, out_of_order}}},
                      PlanCase{"damaged_block_skipped",
                               0,
                               {2500},
                               true,
                               {{6, past_end}, {1, out_of_order}, {6, past_end}, {1, out_of_order}, {6, past_end}}}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace kvt::testing

namespace kvt::testing {
namespace {

TEST(SummaryKernels, ScalarAndSse2GiveTheSameBits) {
    std::mt19937 random(11);
    const float specials[] = {INFINITY, -INFINITY, NAN, -0.0F, 0.0F, 1e30F};
    for (int round = 0; round < 200; ++round) {
        const std::size_t n = random() % (RecordPiece::capacity + 1);
        std::vector<std::uint8_t> type(n);
        for (std::uint8_t& t : type) t = static_cast<std::uint8_t>(random() % formatted_record_type_count);
        ASSERT_EQ(count_kinds_scalar(type.data(), n), count_kinds_sse2(type.data(), n));
        std::array<std::vector<float>, summed_count> values;
        SummedColumns column{};
        for (std::size_t c = 0; c < summed_count; ++c) {
            values[c].resize(n);
            for (float& v : values[c]) {
                v = random() % 8 == 0 ? specials[random() % 6]
                                      : std::uniform_real_distribution<float>(-1e3F, 1e3F)(random);
            }
            column[c] = values[c].data();
        }
        SumLanes lanes[2] = {};
        SumCounts counts[2] = {};
        const std::size_t j = random() % 2;
        ASSERT_EQ(add_groups_scalar(column, j, n, lanes[0], counts[0]),
                  add_groups_sse2(column, j, n, lanes[1], counts[1]));
        EXPECT_EQ(counts[0], counts[1]);
        for (std::size_t c = 0; c < summed_count; ++c) {
            for (std::size_t lane = 0; lane < 4; ++lane) {  // the same bits, or both NaN (of any sign)
                const double a = lanes[0][c][lane];
                const double b = lanes[1][c][lane];
                EXPECT_TRUE(std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) ||
                            (std::isnan(a) && std::isnan(b)))
                    << round << " " << c << " " << a << " " << b;
            }
        }
    }
}

}  // namespace
}  // namespace kvt::testing
