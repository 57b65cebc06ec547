// Reads that skip what they cannot read soundly, and calls stopped by their
// cancellation token, on one thread and on two.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file_bytes.hpp"
#include "pulse_reader/file_merge.hpp"
#include "pulse_reader/plan_reader.hpp"
#include "pulse_reader/pulse_reader.hpp"

namespace kvt::testing {
namespace {

class SkipAndCancel : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SkipAndCancel, SkipsDamagedBlocksAndStopsWhenCancelled) {
    // Eight apertures of three pulses; 2 claims a million records, 5 has two
    // pulses that touch, 6's index entry points past the end of the file.
    std::vector<TestAperture> apertures;
    for (std::uint32_t n = 0; n < 8; ++n) {
        const std::uint16_t gap = n == 5 ? 0 : 4;
        apertures.push_back({n, {{4, 3, 1, 1, 0, 0, 1, 1}, {gap, 3, 1, 1, 0, 0, 1, 1}, {4, 3, 1, 1, 0, 0, 1, 1}},
                             n == 2 ? std::optional<std::uint32_t>(1'000'000) : std::nullopt});
    }
    FileBytes file(apertures);
    file.put(file.index_at + 8 + 12 * 6 + 4, std::uint64_t{1} << 40, 8);
    TempFolder folder;
    auto reader = PulseReader::open(folder.write("p.bin", file.bytes));
    ASSERT_TRUE(reader);
    const std::vector<std::uint64_t> all = {0, 1, 2, 3, 4, 5, 6, 7};
    const PulseFilter filter;
    PlanReading how{.filter = &filter, .skip_unreadable = true, .threads = GetParam(), .unit_records = 2};
    std::vector<std::uint64_t> records(24);
    const auto read_records = [&](const PlanReading& reading) {
        auto plan = plan_blocks(*reader, all, PlanHeaders::infer,
                                reading.skip_unreadable ? DamagedBlocks::mark : DamagedBlocks::fail);
        if (!plan) return Result<PlanRows>(std::move(plan).error());
        return read_plan_records(*reader, std::move(plan).value(), [&](std::size_t n) -> Result<RecordTable> {
            records.assign(n, 0);
            return RecordTable{.aperture_index = records.data()};
        }, reading);
    };
    std::vector<std::uint64_t> pulses;
    const auto read_pulses = [&](const PlanReading& reading) {
        auto plan = plan_blocks(*reader, all, PlanHeaders::infer, DamagedBlocks::mark);
        return read_plan_pulses(*reader, std::move(plan).value(), [&](std::size_t n) -> Result<PulseTable> {
            pulses.assign(n, 0);
            return PulseTable{.aperture_index = pulses.data()};
        }, reading);
    };

    auto read = read_records(how);
    ASSERT_TRUE(read) << read.error().message();
    const std::vector<SkippedAperture> past_end = {{2, SkipReason::past_end}, {6, SkipReason::past_end}};
    EXPECT_EQ(read->skipped, past_end);
    records.resize(read->rows);
    EXPECT_EQ(records, (std::vector<std::uint64_t>{0, 0, 0, 1, 1, 1, 3, 3, 3, 4, 4, 4, 5, 5, 5, 7, 7, 7}));
    read = read_pulses(how);
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(read->skipped, (std::vector<SkippedAperture>{past_end[0], {5, SkipReason::out_of_order}, past_end[1]}));
    pulses.resize(read->rows);
    EXPECT_EQ(pulses, (std::vector<std::uint64_t>{0, 0, 0, 1, 1, 1, 3, 3, 3, 4, 4, 4, 7, 7, 7}));
    EXPECT_EQ(std::string(skip_reason_text(SkipReason::past_end)), "block runs past the end of the file");

    how.skip_unreadable = false;
    EXPECT_EQ(read_records(how).error().message(), "failed to fill whole buffer");
    // A token cancelled while the table is made stops the read before the
    // threads start their work; the writers stop and leave nothing behind.
    CancellationToken token;
    how.cancel = &token;
    how.skip_unreadable = true;
    auto cancelled = read_plan_pulses(*reader, plan_blocks(*reader, all, PlanHeaders::read, DamagedBlocks::mark).value(),
                                      [&](std::size_t n) -> Result<PulseTable> {
                                          token.cancel();
                                          pulses.assign(n, 0);
                                          return PulseTable{.aperture_index = pulses.data()};
                                      }, how);
    EXPECT_EQ(cancelled.error().message(), cancelled_error().message());
    const std::vector<std::uint64_t> sound = {0, 1, 3};
    EXPECT_EQ(reader->copy_apertures_to_new_file(sound, folder.file("copy.bin"), &token).error().message(),
              cancelled_error().message());
    ASSERT_TRUE(reader->copy_apertures_to_new_file(sound, folder.file("copy.bin")));
    auto copy = PulseReader::open(folder.file("copy.bin"));
    const PulseReader* inputs[] = {&*copy};
    EXPECT_EQ(merge_pulse_files(inputs, folder.file("merged.bin"), &token).error().message(),
              cancelled_error().message());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.file("")), {}), 2);  // p.bin, copy.bin
}

INSTANTIATE_TEST_SUITE_P(Threads, SkipAndCancel, ::testing::Values(1, 2));

}  // namespace
}  // namespace kvt::testing
