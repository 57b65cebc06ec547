// Reads that skip what they cannot read soundly, and calls stopped by their
// cancellation token, on one thread and on two.
#include <filesystem>
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
    // Eight apertures of three pulses, read in pieces of two records: 2 claims a
    // million records, 5 has two pulses that touch, 6's index entry lies past the end.
    std::vector<TestAperture> apertures;
    for (std::uint32_t n = 0; n < 8; ++n) {
        const std::uint16_t gap = n == 5 ? 0 : 4;
        apertures.push_back({n,
                             {{4, 3, 1, 1, 0, 0, 1, 1}, {gap, 3, 1, 1, 0, 0, 1, 1}, {4, 3, 1, 1, 0, 0, 1, 1}},
                             n == 2 ? std::optional<std::uint32_t>(1'000'000) : std::nullopt});
    }
    FileBytes file(apertures);
    file.put(file.index_at + 8 + 12 * 6 + 4, std::uint64_t{1} << 40, 8);
    TempFolder folder;
    auto reader = PulseReader::open(folder.write("p.bin", file.bytes));
    const std::vector<std::uint64_t> all = {0, 1, 2, 3, 4, 5, 6, 7};
    const PulseFilter filter;
    CancellationToken token;
    PlanReading how{
        .filter = &filter, .skip_unreadable = true, .cancel = &token, .threads = GetParam(), .unit_records = 2};
    std::vector<std::uint64_t> rows;
    const std::vector<std::uint64_t> sound = {0, 1, 3};
    const auto read = [&](bool pulses, bool cancel_on_start) {
        auto plan = plan_blocks(*reader, cancel_on_start ? sound : all, PlanHeaders::infer,
                                how.skip_unreadable ? DamagedBlocks::mark : DamagedBlocks::fail);
        if (!plan) return Result<PlanRows>(std::move(plan).error());
        auto made = [&](std::size_t n) {
            if (cancel_on_start) token.cancel();  // once the threads' work is planned
            rows.assign(n, 0);
            return rows.data();
        };
        auto done =
            pulses
                ? read_plan_pulses(
                      *reader, std::move(plan).value(),
                      [&](std::size_t n) -> Result<PulseTable> { return PulseTable{.aperture_index = made(n)}; }, how)
                : read_plan_records(
                      *reader, std::move(plan).value(),
                      [&](std::size_t n) -> Result<RecordTable> { return RecordTable{.aperture_index = made(n)}; },
                      how);
        if (done) rows.resize(done->rows);
        return done;
    };
    const SkippedAperture two{2, SkipReason::past_end}, five{5, SkipReason::out_of_order}, six{6, SkipReason::past_end};
    EXPECT_EQ(read(false, false).value().skipped, (std::vector{two, six}));
    EXPECT_EQ(rows, (std::vector<std::uint64_t>{0, 0, 0, 1, 1, 1, 3, 3, 3, 4, 4, 4, 5, 5, 5, 7, 7, 7}));
    EXPECT_EQ(read(true, false).value().skipped, (std::vector{two, five, six}));
    EXPECT_EQ(rows, (std::vector<std::uint64_t>{0, 0, 0, 1, 1, 1, 3, 3, 3, 4, 4, 4, 7, 7, 7}));
    how.skip_unreadable = false;
    EXPECT_EQ(read(false, false).error().message(), "failed to fill whole buffer");
    how.unit_records = 4;  // whole blocks of sound apertures: only the workers can stop the read
    EXPECT_EQ(read(true, true).error().message(), cancelled_error().message());
    // The writers stop too, and leave no file behind.
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
