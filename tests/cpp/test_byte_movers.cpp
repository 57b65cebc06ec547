// The writers' byte movers: ranges copied through the buffer or inside the
// kernel give the same bytes, a short source is an error, and a new file
// appears at its destination only when committed.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file_bytes.hpp"
#include "pulse_reader/buffered_writer.hpp"
#include "pulse_reader/file.hpp"
#include "pulse_reader/new_file.hpp"

namespace kvt::testing {
namespace {

std::vector<std::byte> read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return std::vector<std::byte>(reinterpret_cast<const std::byte*>(bytes.data()),
                                  reinterpret_cast<const std::byte*>(bytes.data()) + bytes.size());
}

class ByteCopierMethods : public ::testing::TestWithParam<CopyMethod> {};

TEST_P(ByteCopierMethods, AppendsRangesAroundTheKernelThresholdAndBufferSize) {
    TempFolder folder;
    std::vector<std::byte> source(3 << 20);
    for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::byte>(i * 2654435761U >> 13);
    auto input = InputFile::open(folder.write("in.bin", source));
    ASSERT_TRUE(input);
    auto output = NewFile::create(folder.file("out.bin"));
    ASSERT_TRUE(output);
    BufferedWriter writer(output->descriptor(), 1 << 16);
    ByteCopier copier(GetParam());
    std::vector<std::byte> expected;
    const std::uint64_t threshold = ByteCopier::kernel_copy_threshold;
    for (auto [offset, length] : {std::pair<std::uint64_t, std::uint64_t>{5, 7},
                                  {0, threshold},
                                  {1, threshold - 1},
                                  {17, (1 << 16) + 3},
                                  {100, 2 << 20},
                                  {source.size() - 9, 9},
                                  {3, 0}}) {
        ASSERT_TRUE(writer.write(std::span(source).subspan(0, 3)));
        ASSERT_TRUE(copier.copy(*input, offset, length, writer, output->descriptor()));
        expected.insert(expected.end(), source.begin(), source.begin() + 3);
        expected.insert(expected.end(), source.begin() + static_cast<std::ptrdiff_t>(offset),
                        source.begin() + static_cast<std::ptrdiff_t>(offset + length));
        ASSERT_EQ(writer.position(), expected.size());
    }
    EXPECT_EQ(copier.copy(*input, source.size() - 4, 5, writer, output->descriptor()).error().message(),
              "failed to fill whole buffer");
    ASSERT_TRUE(writer.flush());
    EXPECT_FALSE(std::filesystem::exists(folder.file("out.bin")));
    ASSERT_TRUE(output->commit(ExistingDestination::refuse));
    EXPECT_EQ(read_file(folder.file("out.bin")), expected);
}

INSTANTIATE_TEST_SUITE_P(Both, ByteCopierMethods, ::testing::Values(CopyMethod::automatic, CopyMethod::through_buffer));

TEST(NewFile, LeavesNothingUnlessCommittedAndRefusesOrReplacesAsAsked) {
    TempFolder folder;
    const std::string destination = folder.file("out.bin");
    { ASSERT_TRUE(NewFile::create(destination)); }
    EXPECT_TRUE(std::filesystem::is_empty(std::filesystem::path(destination).parent_path()));

    std::ofstream(destination) << "theirs";
    auto refused = NewFile::create(destination);
    ASSERT_TRUE(refused);
    ASSERT_TRUE(write_all_to(refused->descriptor(), std::as_bytes(std::span("ours", 4))));
    EXPECT_EQ(refused->commit(ExistingDestination::refuse).error().message(),
              "File " + destination + " already exists");
    auto replacing = NewFile::create(destination);
    ASSERT_TRUE(replacing);
    ASSERT_TRUE(write_all_to(replacing->descriptor(), std::as_bytes(std::span("ours", 4))));
    ASSERT_TRUE(replacing->commit(ExistingDestination::replace));
    EXPECT_EQ(read_file(destination).size(), 4U);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(std::filesystem::path(destination).parent_path()),
                            std::filesystem::directory_iterator()),
              1);
}

}  // namespace
}  // namespace kvt::testing
