// PulseReader::copy_apertures_to_new_file, and the machinery it shares with the
// merge: the temporary file moved into place (NewFile) and the byte mover
// (ByteCopier).
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "allocation_limit.hpp"
#include "pulse_file_builder.hpp"
#include "pulse_reader/new_file.hpp"
#include "pulse_reader/pulse_reader.hpp"
#include "test_helpers.hpp"
#include "writer_test_support.hpp"

namespace kvt::testing {
namespace {

namespace fs = std::filesystem;

/// A source whose every carried-over byte is recognisable: reserved fields,
/// encoding records, metadata and padding (21 bytes, so data_offset is not a
/// multiple of 16) all non-zero, five apertures with distinct records, one
/// of them empty.
PulseFilePlan source_plan() {
    PulseFilePlan plan;
    plan.reserved1 = 0xA1B2C3D4;
    plan.reserved2 = 0x01020304;
    for (std::size_t k = 0; k < plan.encodings.size(); ++k) {
        plan.encodings[k] = {static_cast<std::uint8_t>(k + 1), static_cast<std::uint8_t>(k),
                             static_cast<std::uint16_t>(100 * k + 7)};
    }
    plan.metadata = R"({"fps": 100, "validWells": 99, "rows": 2, "cols": 3})";
    plan.padding = Bytes(21, std::byte{0xAB});
    plan.apertures = {
        aperture(3, distinct_records(3, 4), 1, 0),  aperture(5, {}, 2, 0),
        aperture(7, distinct_records(7, 3), 0, 1),  aperture(10, distinct_records(10, 1), 1, 1),
        aperture(20, distinct_records(20, 5), 2, 1),
    };
    return plan;
}

/// The file the copy must write: the source's bytes up to data_offset with
/// num_apertures and index_offset replaced, the chosen blocks (positions in
/// `plan.apertures`) in the given order, then the index.
Bytes expected_copy(const BuiltFile& source, const PulseFilePlan& plan, const std::vector<std::size_t>& blocks) {
    Bytes out = slice(source.bytes, 0, source.data_offset);
    std::vector<std::uint64_t> offsets;
    for (const std::size_t block : blocks) {
        offsets.push_back(out.size());
        const std::uint64_t size = 16 + 16 * std::uint64_t{plan.apertures[block].records.size()};
        append(out, slice(source.bytes, source.block_offsets[block], size));
    }
    put_le(out, 8, blocks.size(), 8);
    put_le(out, 40, out.size(), 8);
    append_le(out, 0x0A0D2458444E4924ULL, 8);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        append_le(out, plan.apertures[blocks[i]].index, 4);
        append_le(out, offsets[i], 8);
    }
    return out;
}

PulseReader open_reader(const std::string& path) {
    auto reader = PulseReader::open(path);
    if (!reader) throw std::runtime_error("cannot open " + path + ": " + reader.error().message());
    return std::move(reader).value();
}

TEST(ApertureCopy, WritesChosenBlocksInAscendingOrderWithHeaderRegionAndIndex) {
    TempDir dir;
    const PulseFilePlan plan = source_plan();
    const BuiltFile built = build(plan);
    const std::string source_path = dir.write("source.bin", built.bytes);
    const PulseReader reader = open_reader(source_path);
    const std::string output = dir.file("copy.bin");

    // Descending, with an empty block in the middle of the selection.
    const std::vector<std::uint64_t> request = {20, 7, 5, 3};
    ASSERT_EQ(error_of(reader.copy_apertures_to_new_file(request, output)), "<no error>");

    const Bytes written = read_file(output);
    EXPECT_TRUE(same_bytes(written, expected_copy(built, plan, {0, 1, 2, 4})));
    // The offsets that follow from the layout, spelled out: aperture 3 starts
    // at the source's data_offset and each block follows the one before.
    EXPECT_EQ(le_at(written, 32, 8), built.data_offset);
    EXPECT_EQ(le_at(written, 40, 8), built.data_offset + (16 + 64) + 16 + (16 + 48) + (16 + 80));

    // Read back: the apertures keep their numbers, headers and records.
    const PulseReader copy = open_reader(output);
    EXPECT_EQ(copy.index().apertures(), (std::vector<std::uint64_t>{3, 5, 7, 20}));
    EXPECT_EQ(copy.metadata_text(), plan.metadata);
    EXPECT_EQ(copy.header().reserved1, plan.reserved1);
    for (const std::uint64_t n : request) {
        auto original = reader.get_all_records(n);
        auto copied = copy.get_all_records(n);
        ASSERT_TRUE(original && copied) << n;
        EXPECT_EQ(stored_records(copy, n), stored_records(reader, n)) << n;
        EXPECT_EQ(copied->records.size(), original->records.size());
        EXPECT_EQ(copied->header.aperture_x, original->header.aperture_x);
        EXPECT_EQ(copied->header.aperture_y, original->header.aperture_y);
        EXPECT_EQ(copied->header.aperture_index, original->header.aperture_index);
    }
    // The source is only read: same bytes, and the reader's file is read-only.
    EXPECT_TRUE(same_bytes(read_file(source_path), built.bytes));
    EXPECT_EQ(::fcntl(reader.file().descriptor(), F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_TRUE(temporary_files(dir.path()).empty());
}

TEST(ApertureCopy, KeepsBlocksThatAreNotContiguousInTheSourceApart) {
    TempDir dir;
    const PulseFilePlan plan = source_plan();
    const BuiltFile built = build(plan);
    const PulseReader reader = open_reader(dir.write("source.bin", built.bytes));
    const std::string output = dir.file("copy.bin");
    // Apertures 10 and 20 are neighbours in the source, 3 is not next to them.
    ASSERT_EQ(error_of(reader.copy_apertures_to_new_file(std::vector<std::uint64_t>{20, 3, 10}, output)),
              "<no error>");
    EXPECT_TRUE(same_bytes(read_file(output), expected_copy(built, plan, {0, 3, 4})));
}

TEST(ApertureCopy, RepeatedRequestWritesTheBlockOnceForEachMention) {
    // The Python layer removes repeats; the core copies what it is given.
    TempDir dir;
    const PulseFilePlan plan = source_plan();
    const BuiltFile built = build(plan);
    const PulseReader reader = open_reader(dir.write("source.bin", built.bytes));
    const std::string output = dir.file("copy.bin");
    ASSERT_EQ(error_of(reader.copy_apertures_to_new_file(std::vector<std::uint64_t>{7, 3, 7}, output)),
              "<no error>");
    EXPECT_TRUE(same_bytes(read_file(output), expected_copy(built, plan, {0, 2, 2})));
    const PulseReader copy = open_reader(output);
    EXPECT_EQ(copy.index().apertures(), (std::vector<std::uint64_t>{3, 7, 7}));
    EXPECT_EQ(stored_records(copy, 7), stored_records(reader, 7));
    EXPECT_EQ(stored_records(copy, 7).size(), 48U);
}

TEST(ApertureCopy, EmptyRequestWritesHeaderRegionAndBareIndexMagic) {
    TempDir dir;
    const PulseFilePlan plan = source_plan();
    const BuiltFile built = build(plan);
    const PulseReader reader = open_reader(dir.write("source.bin", built.bytes));
    const std::string output = dir.file("copy.bin");
    ASSERT_EQ(error_of(reader.copy_apertures_to_new_file({}, output)), "<no error>");
    const Bytes written = read_file(output);
    EXPECT_EQ(written.size(), built.data_offset + 8);
    EXPECT_EQ(le_at(written, 8, 8), 0U);
    EXPECT_EQ(le_at(written, 40, 8), built.data_offset);
    EXPECT_TRUE(same_bytes(written, expected_copy(built, plan, {})));
    // A file without index entries is not one the reader accepts.
    EXPECT_FALSE(PulseReader::open(output).ok());
}

TEST(ApertureCopy, BlockLargerThanTheWriteBufferIsCopiedWhole) {
    TempDir dir;
    PulseFilePlan plan;
    plan.metadata = R"({"fps": 10})";
    // 70,000 records: a block of 1,120,016 bytes, more than the 1 MiB buffer,
    // between two small ones.
    plan.apertures = {aperture(1, distinct_records(1, 2)), aperture(2, distinct_records(2, 70000)),
                      aperture(3, distinct_records(3, 1))};
    const BuiltFile built = build(plan);
    const PulseReader reader = open_reader(dir.write("source.bin", built.bytes));
    const std::string output = dir.file("copy.bin");
    ASSERT_EQ(error_of(reader.copy_apertures_to_new_file(std::vector<std::uint64_t>{1, 2, 3}, output)),
              "<no error>");
    EXPECT_TRUE(same_bytes(read_file(output), expected_copy(built, plan, {0, 1, 2})));
    // And alone, not contiguous with anything else chosen.
    ASSERT_EQ(error_of(reader.copy_apertures_to_new_file(std::vector<std::uint64_t>{2}, output)), "<no error>");
    EXPECT_TRUE(same_bytes(read_file(output), expected_copy(built, plan, {1})));
}

TEST(ApertureCopy, ReplacesAnExistingDestinationWithModeFromTheUmask) {
    TempDir dir;
    const PulseFilePlan plan = source_plan();
    const BuiltFile built = build(plan);
    const PulseReader reader = open_reader(dir.write("source.bin", built.bytes));
    const std::string output = dir.file("copy.bin");
    const std::vector<std::uint64_t> request = {3};
    for (const mode_t mask : {mode_t{022}, mode_t{027}, mode_t{0}}) {
        write_file(output, text_bytes("an older file, longer than nothing"));
        ::chmod(output.c_str(), 0600);
        {
            UmaskScope scope(mask);
            ASSERT_EQ(error_of(reader.copy_apertures_to_new_file(request, output)), "<no error>");
        }
        EXPECT_TRUE(same_bytes(read_file(output), expected_copy(built, plan, {0})));
        EXPECT_EQ(permission_bits(output), 0666U & ~mask) << "umask " << mask;
    }
    EXPECT_EQ(directory_names(dir.path()), (std::vector<std::string>{"copy.bin", "source.bin"}));
}

TEST(ApertureCopy, FailuresBeforeWritingLeaveTheDestinationAsItWas) {
    TempDir dir;
    const PulseFilePlan plan = source_plan();
    const BuiltFile built = build(plan);
    const PulseReader reader = open_reader(dir.write("source.bin", built.bytes));
    const std::string existing = dir.file("existing.bin");
    const Bytes previous = text_bytes("previous content");
    write_file(existing, previous);

    // An aperture the index does not hold, after ones it does.
    EXPECT_EQ(error_of(reader.copy_apertures_to_new_file(std::vector<std::uint64_t>{3, 6}, existing)),
              "This file does not contain the provided aperture index: 6");
    EXPECT_TRUE(same_bytes(read_file(existing), previous));
    EXPECT_EQ(error_of(reader.copy_apertures_to_new_file(std::vector<std::uint64_t>{99}, dir.file("new.bin"))),
              "This file does not contain the provided aperture index: 99");
    EXPECT_FALSE(fs::exists(dir.file("new.bin")));

    // A destination folder that does not exist, or a directory as destination.
    EXPECT_EQ(error_of(reader.copy_apertures_to_new_file(std::vector<std::uint64_t>{3}, dir.file("none/copy.bin"))),
              "No such file or directory (os error 2)");
    fs::create_directory(dir.file("folder"));
    EXPECT_EQ(error_of(reader.copy_apertures_to_new_file(std::vector<std::uint64_t>{3}, dir.file("folder"))),
              "Is a directory (os error 21)");
    EXPECT_TRUE(fs::is_directory(dir.file("folder")));

    EXPECT_EQ(directory_names(dir.path()), (std::vector<std::string>{"existing.bin", "folder", "source.bin"}));
}

TEST(ApertureCopy, RefusesToWriteOntoItsOwnSourceUnderAnyName) {
    TempDir dir;
    const PulseFilePlan plan = source_plan();
    const BuiltFile built = build(plan);
    const std::string source_path = dir.write("source.bin", built.bytes);
    const PulseReader reader = open_reader(source_path);
    fs::create_hard_link(source_path, dir.file("hard-link.bin"));
    fs::create_symlink(source_path, dir.file("symbolic-link.bin"));
    const std::string folder_name = dir.path().filename().string();

    const std::vector<std::string> names = {
        source_path,
        dir.file("./source.bin"),
        (dir.path() / ".." / folder_name / "source.bin").string(),
        dir.file("hard-link.bin"),
        dir.file("symbolic-link.bin"),
    };
    for (const std::string& name : names) {
        EXPECT_EQ(error_of(reader.copy_apertures_to_new_file(std::vector<std::uint64_t>{3}, name)),
                  "Refusing to copy apertures onto the source file itself: " + name);
    }
    EXPECT_TRUE(same_bytes(read_file(source_path), built.bytes));
    EXPECT_TRUE(fs::is_symlink(dir.file("symbolic-link.bin")));
    EXPECT_TRUE(temporary_files(dir.path()).empty());
    // The reader still reads its file.
    EXPECT_EQ(reader.get_all_records(7)->records.size(), 3U);
}

TEST(ApertureCopy, RefusesASourceWhoseDataOffsetLiesInsideTheHeader) {
    TempDir dir;
    PulseFilePlan plan = source_plan();
    plan.data_offset = 40;
    const PulseReader reader = open_reader(dir.write("source.bin", plan));
    const std::string output = dir.file("copy.bin");
    EXPECT_EQ(error_of(reader.copy_apertures_to_new_file(std::vector<std::uint64_t>{3}, output)),
              "Cannot copy from a pulse file whose data offset 40 lies inside its 48-byte header");
    EXPECT_FALSE(fs::exists(output));
    // 48 itself is a data region that starts right after the header.
    plan.data_offset = 48;
    const BuiltFile built = build(plan);
    const PulseReader edge = open_reader(dir.write("edge.bin", built.bytes));
    ASSERT_EQ(error_of(edge.copy_apertures_to_new_file({}, output)), "<no error>");
    EXPECT_EQ(read_file(output).size(), 48U + 8U);
}

TEST(ApertureCopy, BlockClaimingMoreRecordsThanTheFileHoldsFailsWithoutAllocatingThem) {
    TempDir dir;
    PulseFilePlan plan = source_plan();
    plan.apertures[2].num_records = 0xFFFFFFFF;  // aperture 7: about 64 GiB claimed
    const BuiltFile built = build(plan);
    const PulseReader reader = open_reader(dir.write("source.bin", built.bytes));
    const std::string output = dir.file("copy.bin");
    write_file(output, text_bytes("previous"));
    {
        AllocationLimit limit(std::size_t{64} << 20);
        EXPECT_EQ(error_of(reader.copy_apertures_to_new_file(std::vector<std::uint64_t>{3, 7}, output)),
                  "failed to fill whole buffer");
        EXPECT_FALSE(AllocationLimit::refused());
    }
    EXPECT_TRUE(same_bytes(read_file(output), text_bytes("previous")));
    EXPECT_TRUE(temporary_files(dir.path()).empty());
    // Apertures besides it still copy.
    ASSERT_EQ(error_of(reader.copy_apertures_to_new_file(std::vector<std::uint64_t>{3, 5}, output)), "<no error>");
}

TEST(ApertureCopy, SourceEndingInsideTheHeaderRegionFailsCleanly) {
    TempDir dir;
    PulseFilePlan plan = source_plan();
    const BuiltFile built = build(plan);
    // data_offset past the end of the file: the region before it cannot be read.
    plan.data_offset = built.full_size + 100;
    const PulseReader reader = open_reader(dir.write("source.bin", plan));
    const std::string output = dir.file("copy.bin");
    EXPECT_EQ(error_of(reader.copy_apertures_to_new_file(std::vector<std::uint64_t>{3}, output)),
              "failed to fill whole buffer");
    EXPECT_FALSE(fs::exists(output));
    EXPECT_TRUE(temporary_files(dir.path()).empty());
}

// A copy whose output outgrows the process's file-size limit fails on a real
// write; the previous file at the destination must survive whole and the
// temporary file must be gone. Once through the kernel copy (one contiguous
// range of about 800 kB) and once through the buffer (every other block, each
// a small separate range).
TEST(ApertureCopy, WriteFailingHalfwayLeavesThePreviousDestinationUntouched) {
    TempDir dir;
    PulseFilePlan plan;
    for (std::uint32_t n = 0; n < 100; ++n) plan.apertures.push_back(aperture(n, distinct_records(n, 500)));
    const BuiltFile built = build(plan);
    const PulseReader reader = open_reader(dir.write("source.bin", built.bytes));
    const std::string output = dir.file("copy.bin");
    const Bytes previous = text_bytes("the file that was here before");

    std::vector<std::uint64_t> all;
    std::vector<std::uint64_t> every_other;
    for (std::uint64_t n = 0; n < 100; ++n) {
        all.push_back(n);
        if (n % 2 == 0) every_other.push_back(n);
    }
    for (const auto* request : {&all, &every_other}) {
        write_file(output, previous);
        const std::string message = run_with_file_size_limit(256 << 10, [&] {
            return error_of(reader.copy_apertures_to_new_file(*request, output));
        });
        EXPECT_EQ(message, "File too large (os error 27)") << request->size() << " apertures";
        EXPECT_TRUE(same_bytes(read_file(output), previous));
        EXPECT_EQ(directory_names(dir.path()), (std::vector<std::string>{"copy.bin", "source.bin"}));
        // Without the limit the same copy succeeds.
        ASSERT_EQ(error_of(reader.copy_apertures_to_new_file(*request, output)), "<no error>");
    }
}

// ---------------------------------------------------------------------------
// The temporary file and its move into place.

TEST(NewFileForCopyAndMerge, IsCreatedBesideTheDestinationAndRemovedUnlessCommitted) {
    TempDir dir;
    const std::string destination = dir.file("pulses.bin");
    {
        auto created = NewFile::create(destination);
        ASSERT_TRUE(created) << created.error().message();
        const auto names = temporary_files(dir.path());
        ASSERT_EQ(names.size(), 1U);
        EXPECT_TRUE(names[0].starts_with(".pulses.bin.tmp-")) << names[0];
        EXPECT_EQ(names[0].size(), std::string(".pulses.bin.tmp-").size() + 6);
        EXPECT_EQ(dir.path() / names[0], fs::path(created->temporary_path()));
        ASSERT_EQ(::write(created->descriptor(), "abc", 3), 3);
    }
    EXPECT_TRUE(directory_names(dir.path()).empty());

    // A name too long to take the prefix and suffix still gets a temporary file.
    const std::string long_name = dir.file(std::string(250, 'n'));
    auto created = NewFile::create(long_name);
    ASSERT_TRUE(created) << created.error().message();
    ASSERT_EQ(error_of(created->commit(ExistingDestination::refuse)), "<no error>");
    EXPECT_TRUE(fs::exists(long_name));
}

TEST(NewFileForCopyAndMerge, CommitRefusingReplacementLeavesAFileThatAppearedMeanwhile) {
    TempDir dir;
    const std::string destination = dir.file("merged.bin");
    auto created = NewFile::create(destination);
    ASSERT_TRUE(created);
    ASSERT_EQ(::write(created->descriptor(), "ours", 4), 4);
    write_file(destination, text_bytes("theirs"));
    EXPECT_EQ(error_of(created->commit(ExistingDestination::refuse)), "File " + destination + " already exists");
    EXPECT_TRUE(same_bytes(read_file(destination), text_bytes("theirs")));
    EXPECT_EQ(directory_names(dir.path()), (std::vector<std::string>{"merged.bin"}));

    // The same with the link()+unlink() move used where renameat2 cannot refuse.
    write_file(dir.file("from"), text_bytes("new"));
    EXPECT_EQ(error_of(detail::link_into_place(dir.file("from"), destination)),
              "File " + destination + " already exists");
    EXPECT_TRUE(same_bytes(read_file(destination), text_bytes("theirs")));
    ASSERT_EQ(error_of(detail::link_into_place(dir.file("from"), dir.file("to"))), "<no error>");
    EXPECT_EQ(directory_names(dir.path()), (std::vector<std::string>{"merged.bin", "to"}));
    EXPECT_TRUE(same_bytes(read_file(dir.file("to")), text_bytes("new")));
}

TEST(NewFileForCopyAndMerge, CommitReplacingSwapsTheWholeFile) {
    TempDir dir;
    const std::string destination = dir.file("copy.bin");
    write_file(destination, text_bytes("old and longer"));
    auto created = NewFile::create(destination);
    ASSERT_TRUE(created);
    ASSERT_EQ(::write(created->descriptor(), "new", 3), 3);
    ASSERT_EQ(error_of(created->commit(ExistingDestination::replace)), "<no error>");
    EXPECT_TRUE(same_bytes(read_file(destination), text_bytes("new")));
    EXPECT_EQ(directory_names(dir.path()), (std::vector<std::string>{"copy.bin"}));
    EXPECT_FALSE(created->commit(ExistingDestination::replace).ok());
}

TEST(NewFileForCopyAndMerge, RejectsNamesThatCannotBeAFile) {
    TempDir dir;
    EXPECT_EQ(error_of(NewFile::create("")), "No such file or directory (os error 2)");
    EXPECT_EQ(error_of(NewFile::create(dir.file("x") + "/")), "Is a directory (os error 21)");
    EXPECT_EQ(error_of(NewFile::create(dir.file(".."))), "Is a directory (os error 21)");
    EXPECT_EQ(error_of(NewFile::create(dir.file("missing/x.bin"))), "No such file or directory (os error 2)");
    EXPECT_TRUE(directory_names(dir.path()).empty());
}

// ---------------------------------------------------------------------------
// Moving byte ranges.

/// Copies [offset, offset + length) of `source` after a 5-byte prefix with
/// `method`; returns the bytes written, or the error.
Result<Bytes> copy_range(const std::string& source, std::uint64_t offset, std::uint64_t length,
                         const std::string& output, CopyMethod method, bool* kernel_still_usable = nullptr) {
    auto input = InputFile::open(source);
    if (!input) return std::move(input).error();
    const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    FileDescriptor owned(fd);
    BufferedWriter writer(fd);
    ByteCopier copier(method);
    if (Status s = writer.write(text_bytes("head:")); !s) return std::move(s).error();
    if (Status s = copier.copy(*input, offset, length, writer, fd); !s) return std::move(s).error();
    if (Status s = writer.write(text_bytes(":tail")); !s) return std::move(s).error();
    if (Status s = writer.flush(); !s) return std::move(s).error();
    if (writer.position() != 10 + length) return Error("position " + std::to_string(writer.position()));
    if (kernel_still_usable != nullptr) *kernel_still_usable = copier.kernel_copy_usable();
    return read_file(output);
}

Bytes patterned(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::byte>((i * 131 + i / 977) & 0xFF);
    return bytes;
}

TEST(ByteCopierForCopy, BothMethodsMoveExactlyTheRange) {
    TempDir dir;
    const Bytes source = patterned(3'000'001);
    const std::string path = dir.write("source", source);
    // Small and large ranges, at odd offsets, up to the very last byte.
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges = {
        {0, 0}, {7, 100}, {12345, 300'000}, {1, 2'999'999}, {2'000'000, 1'000'001}};
    for (const auto method : {CopyMethod::automatic, CopyMethod::through_buffer}) {
        for (const auto& [offset, length] : ranges) {
            auto copied = copy_range(path, offset, length, dir.file("out"), method);
            ASSERT_TRUE(copied) << copied.error().message();
            Bytes expected = text_bytes("head:");
            append(expected, slice(source, offset, length));
            append(expected, text_bytes(":tail"));
            EXPECT_TRUE(same_bytes(*copied, expected)) << offset << "+" << length;
        }
        // Past the end of the source, by a little or by a lot.
        EXPECT_EQ(error_of(copy_range(path, 2'900'000, 100'002, dir.file("out"), method)),
                  "failed to fill whole buffer");
        EXPECT_EQ(error_of(copy_range(path, 100, UINT64_MAX - 50, dir.file("out"), method)),
                  "failed to fill whole buffer");
        EXPECT_EQ(error_of(copy_range(path, 4'000'000, 300'000, dir.file("out"), method)),
                  "failed to fill whole buffer");
    }
}

TEST(ByteCopierForCopy, FallsBackToTheBufferBetweenFileSystemsTheKernelCannotCopyBetween) {
    // /dev/shm is a tmpfs; the test folder is elsewhere. Across file systems
    // of different kinds copy_file_range refuses with EXDEV.
    struct stat shm {};
    struct stat tmp {};
    TempDir dir;
    if (::stat("/dev/shm", &shm) != 0 || ::stat(dir.path().c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev) {
        GTEST_SKIP() << "no second file system at /dev/shm";
    }
    const std::string source = "/dev/shm/kvt-copy-test-" + std::to_string(::getpid());
    const Bytes bytes = patterned(1'500'000);
    write_file(source, bytes);
    bool kernel_still_usable = true;
    auto copied = copy_range(source, 10, 1'400'000, dir.file("out"), CopyMethod::automatic, &kernel_still_usable);
    fs::remove(source);
    ASSERT_TRUE(copied) << copied.error().message();
    Bytes expected = text_bytes("head:");
    append(expected, slice(bytes, 10, 1'400'000));
    append(expected, text_bytes(":tail"));
    EXPECT_TRUE(same_bytes(*copied, expected));
    EXPECT_FALSE(kernel_still_usable);
}

}  // namespace
}  // namespace kvt::testing
