// What the Python suite cannot reach: the core's own API (header, index,
// decoding of every stored value, normalization and the filter as values,
// the reader's results) and hostile sizes under an allocation cap.
#include <sys/mman.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "allocation_limit.hpp"
#include "file_bytes.hpp"
#include "pulse_filter/pulse_filter.hpp"
#include "pulse_reader/file_merge.hpp"
#include "pulse_reader/headers/pulse_file_header.hpp"
#include "pulse_reader/headers/pulse_file_index.hpp"
#include "pulse_reader/pulse_reader.hpp"
#include "pulse_reader/records/formatted_record.hpp"
#include "pulse_reader/records/normalized_pulse.hpp"

namespace kvt::testing {
namespace {

std::vector<std::byte> index_entries(std::initializer_list<std::pair<std::uint32_t, std::uint64_t>> entries) {
    FileBytes bytes({});
    bytes.bytes.clear();
    for (auto [number, offset] : entries) {
        bytes.append(number, 4);
        bytes.append(offset, 8);
    }
    return bytes.bytes;
}

TEST(Header, ReadsEveryFieldAtItsOffsetAndChecksInOrder) {
    FileBytes file({});
    file.put(4, 0xA1A2A3A4, 4);
    file.put(24, 0xB1B2B3B4, 4);
    const auto bytes = std::span<const std::byte, 48>(file.bytes.data(), 48);
    PulseFileHeader header = PulseFileHeader::new_(bytes);
    EXPECT_EQ(header.reserved1, 0xA1A2A3A4U);
    EXPECT_EQ(header.reserved2, 0xB1B2B3B4U);
    EXPECT_EQ(header.index_offset, file.index_at);
    const auto serialized = header.to_bytes();
    EXPECT_EQ(std::vector<std::byte>(serialized.begin(), serialized.end()),
              std::vector<std::byte>(bytes.begin(), bytes.end()));
    EXPECT_TRUE(header.validate());
    header.num_encoding_records = 7;
    header.record_size = 8;
    EXPECT_EQ(header.validate().error().message(), "Invalid record size: 8");
}

TEST(Index, LooksUpWithGapsRepeatsAndZeroOffsets) {
    auto index = PulseFileIndex::new_(index_entries({{5, 100}, {7, 0}, {7, 200}, {9, 0}, {9, 300}, {9, 0}}), 6);
    ASSERT_TRUE(index);
    EXPECT_EQ(index->apertures(), (std::vector<std::uint64_t>{5, 7, 7, 9, 9, 9}));
    EXPECT_EQ(*index->get(5), 100U);
    EXPECT_EQ(*index->get(7), 200U);  // the later entry wins
    for (std::uint64_t absent : {4ULL, 6ULL, 9ULL, 10ULL, ~0ULL}) {
        EXPECT_EQ(index->get(absent).error().message(),
                  "This file does not contain the provided aperture index: " + std::to_string(absent));
    }
    EXPECT_FALSE(PulseFileIndex::new_({}, 0));
    EXPECT_FALSE(PulseFileIndex::new_(index_entries({{5, 100}, {3, 200}}), 2));
    EXPECT_FALSE(PulseFileIndex::new_(index_entries({{3, 100}, {9, 200}, {5, 300}}), 3));
    EXPECT_EQ(PulseFileIndex::new_(index_entries({{3, 100}}), 2).error().message(), "failed to fill whole buffer");
}

/// Records of eight u16 words each, as the file stores them.
std::vector<std::byte> record_bytes(const std::vector<std::array<std::uint16_t, 8>>& records) {
    std::vector<std::byte> bytes;
    for (const auto& words : records) {
        for (const std::uint16_t word : words) {
            bytes.push_back(static_cast<std::byte>(word));
            bytes.push_back(static_cast<std::byte>(word >> 8));
        }
    }
    return bytes;
}

TEST(Decoding, EveryStoredValueAtEveryScaleIsTheSinglePrecisionDivisionThenSum) {
    // One pulse for every stored value of word 3, decoded eight at a time and,
    // shifted by three records, the last five one by one.
    std::vector<std::array<std::uint16_t, 8>> pulses(0x10000);
    for (std::uint32_t word = 0; word < 0x10000; ++word) pulses[word] = {0, 1, 0, static_cast<std::uint16_t>(word)};
    const std::vector<std::byte> bytes = record_bytes(pulses);
    EncodingRecords encodings{};
    for (unsigned exponent = 0; exponent < 32; exponent += 5) {
        for (float offset : {0.0F, 100.0F, 65535.0F}) {
            encodings[3] = EncodingRecord{static_cast<float>(1U << (exponent & 15)), offset, 0,
                                          static_cast<std::uint8_t>(exponent)};
            for (const std::size_t shift : {std::size_t{0}, std::size_t{3}}) {
                const auto records = decode_records(std::span(bytes).subspan(16 * shift), encodings);
                ASSERT_EQ(records.size(), 0x10000 - shift);
                for (std::uint32_t word = static_cast<std::uint32_t>(shift); word < 0x10000; ++word) {
                    const float got = records[word - shift].bin1_intensity;
                    const volatile float quotient =
                        static_cast<float>(static_cast<std::int16_t>(word)) / encodings[3].scale;
                    const float want = word == 0x7FFF   ? INFINITY
                                       : word == 0x8001 ? -INFINITY
                                       : word == 0x8000 ? std::bit_cast<float>(0x7FC00000U)
                                                        : quotient + offset;
                    ASSERT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(want)) << word;
                }
            }
        }
    }
}

NormalizedPulse pulse(std::uint32_t start, std::uint32_t end, float snr = 10.0F) {
    NormalizedPulse p;
    p.start_f = start;
    p.end_f = end;
    p.dur_f = end - start;
    p.dur_s = static_cast<float>(p.dur_f) / 10.0F;
    p.snr = snr;
    p.ipd_f = 99;
    return p;
}

TEST(Normalization, TwoPulsesAroundOtherRecords) {
    // A background, a pulse, a step down, a pulse: (ipd_f, dur_f) of each.
    const auto bytes = record_bytes({{10, 0}, {5, 20, 1}, {3, 0, 1, 1, 0, 0, 0xFFFA}, {4, 10, 1}});
    RecordPiece records;
    decode_piece(bytes, EncodingRecords{}, 0, records);
    PulsePiece pulses;
    PulseNormalizer(100.0F).add(records, pulses);
    ASSERT_EQ(pulses.count, 2U);
    EXPECT_EQ(std::tuple(pulses.index[0], pulses.start_f[0], pulses.end_f[0], pulses.ipd_f[0]),
              std::tuple(1U, 15U, 35U, 0U));
    EXPECT_EQ(std::tuple(pulses.index[1], pulses.start_f[1], pulses.end_f[1], pulses.ipd_f[1]),
              std::tuple(3U, 42U, 52U, 7U));
    EXPECT_EQ(pulses.ipd_s[1], 7.0F / 100.0F);
    EXPECT_EQ(pulses.dur_s[0], 20.0F / 100.0F);
}

struct FilterCase {
    PulseFilter filter;
    std::vector<NormalizedPulse> pulses;
    std::vector<std::uint32_t> kept_ipd;  // ipd_f of each kept pulse
    bool sorted = true;
};

class Filter : public ::testing::TestWithParam<FilterCase> {};

TEST_P(Filter, KeepsWhatTheBoundsSay) {
    auto result = GetParam().filter.filter_pulses(GetParam().pulses, 10.0F);
    if (!GetParam().sorted) {
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message(), "The provided pulses aren't sorted!");
        return;
    }
    ASSERT_TRUE(result);
    std::vector<std::uint32_t> ipd;
    for (const NormalizedPulse& p : *result) ipd.push_back(p.ipd_f);
    EXPECT_EQ(ipd, GetParam().kept_ipd);
}

PulseFilter with(auto set) {
    PulseFilter filter;
    set(filter);
    return filter;
}

INSTANTIATE_TEST_SUITE_P(
    Examples, Filter,
    ::testing::Values(
        FilterCase{with([](PulseFilter& f) { f.start_m = 1.0F; }), {pulse(10, 20), pulse(600, 610)}, {99}},
        FilterCase{with([](PulseFilter& f) { f.start_m = 1.01F; }), {pulse(600, 610)}, {}},
        FilterCase{with([](PulseFilter& f) { f.end_m = 1.0F; }), {pulse(590, 600), pulse(601, 602)}, {99}},
        FilterCase{with([](PulseFilter& f) { f.mask_s = std::pair(10.0F, 20.0F); }),
                   {pulse(50, 99), pulse(100, 110), pulse(200, 210), pulse(211, 220)},
                   {99, 99}},
        FilterCase{with([](PulseFilter& f) { f.min_snr = 5.0F, f.recalc_ipd = true; }),
                   {pulse(10, 20), pulse(30, 40, 1.0F), pulse(50, 60)},
                   {0, 30}},
        FilterCase{with([](PulseFilter& f) { f.min_snr = 5.0F; }), {pulse(10, 20, NAN), pulse(30, 40)}, {99}},
        FilterCase{with([](PulseFilter& f) { f.min_snr = NAN; }), {pulse(10, 20)}, {}},
        FilterCase{with([](PulseFilter& f) { f.min_dur_f = 10U, f.max_dur_s = 1.0F; }),
                   {pulse(0, 9), pulse(10, 20), pulse(21, 32)},
                   {99}},
        FilterCase{with([](PulseFilter& f) { f.min_dur_f = 100U; }), {pulse(10, 20), pulse(20, 30)}, {}, false},
        FilterCase{PulseFilter{}, {pulse(10, 20), pulse(15, 30)}, {}, false}));

TEST(Reader, ReadsTheSameTwiceAndStaysUsableAfterAFailure) {
    TempFolder folder;
    FileBytes file({{2, {{3, 5, 1, 2, 3, 4, 5, 6}, {0xFFFF, 0, 0, 0, 0, 0, 0, 0}}, std::nullopt}, {4, {}, 1000}});
    auto reader = PulseReader::open(folder.write("p.bin", file.bytes));
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->fps(), 100.0F);
    EXPECT_EQ(reader->get_all_records(4).error().message(), "failed to fill whole buffer");
    auto first = reader->get_pulses(2);
    auto second = reader->get_pulses(2);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->header.aperture_byteloc, file.block_at[0]);
    ASSERT_EQ(first->pulses.size(), 1U);
    EXPECT_EQ(std::tuple(second->pulses[0].start_f, second->pulses[0].end_f), std::tuple(3U, 8U));
    EXPECT_EQ(reader->get_all_records(2)->records.at(1).record_type, FormattedRecordType::Padding);
}

// Each failure's code, error number and file, as the module maps them to
// exception classes: made at the main places where the core makes errors.
TEST(Errors, CarryTheirCodeErrorNumberAndFile) {
    TempFolder folder;
    FileBytes file({{2, {{0, 5, 1, 2, 3, 4, 5, 6}, {0, 5, 1, 2, 3, 4, 5, 6}}, std::nullopt}});  // pulses that touch
    const std::string path = folder.write("p.bin", file.bytes);
    const auto failure = [](auto&& result) {
        return result ? Error(ErrorCode::internal, "did not fail") : std::move(result).error();
    };
    auto reader = PulseReader::open(path);
    ASSERT_TRUE(reader);
    const PulseReader* one[] = {&*reader};
    const std::uint64_t two[] = {2};
    PulseFilter filter;
    auto cut = file.bytes;
    cut.resize(file.index_at + 4);
    const std::string missing = folder.file("missing.bin");
    const std::string nowhere = folder.file("none/x.bin");
    const std::vector<std::tuple<Error, ErrorCode, int, std::string>> cases = {
        {failure(PulseReader::open(missing)), ErrorCode::io, ENOENT, missing},
        {failure(PulseReader::open(folder.file(""))), ErrorCode::io, EISDIR, folder.file("")},
        {failure(PulseReader::open(folder.write("cut.bin", cut))), ErrorCode::truncated, 0, ""},
        {failure(PulseReader::open(folder.write("t.bin", std::vector<std::byte>(64, std::byte{'t'})))),
         ErrorCode::invalid_header, 0, ""},
        {failure(PulseReader::open(folder.write("m.bin", FileBytes({}, "{\"fps\": 1").bytes))),
         ErrorCode::invalid_metadata, 0, ""},
        {failure(PulseReader::open(folder.write("i.bin", FileBytes({}).bytes))), ErrorCode::invalid_index, 0, ""},
        {failure(reader->get_all_records(7)), ErrorCode::missing_aperture, 0, ""},
        {failure(reader->get_pulses(2, &filter)), ErrorCode::unsorted_pulses, 0, ""},
        {failure(reader->copy_apertures_to_new_file(two, path)), ErrorCode::refused, 0, ""},
        {failure(reader->copy_apertures_to_new_file(two, nowhere)), ErrorCode::io, ENOENT, nowhere},
        {failure(reader->copy_apertures_to_new_file({}, nowhere)), ErrorCode::invalid_argument, 0, ""},
        {failure(merge_pulse_files(one, path)), ErrorCode::already_exists, EEXIST, path},
    };
    for (const auto& [error, code, number, file_name] : cases) {
        EXPECT_EQ(std::tuple(error.code(), error.os_error_number(), error.path()), std::tuple(code, number, file_name))
            << error.message();
        EXPECT_EQ(error.prefixed("context: ").code(), code);
    }
}

TEST(AllocationCap, RefusesAboveTheLimitOnEveryPath) {
    constexpr std::size_t big = std::size_t{1} << 30;
    {
        AllocationLimit limit(1 << 20);
        EXPECT_THROW((void)std::vector<char>(big), std::bad_alloc);
        EXPECT_EQ(std::malloc(big), nullptr);
        EXPECT_EQ(std::calloc(big, 2), nullptr);
        const volatile std::size_t huge = std::size_t{1} << 62;
        EXPECT_EQ(std::calloc(huge, 8), nullptr);
        EXPECT_EQ(std::realloc(nullptr, big), nullptr);
        EXPECT_EQ(std::aligned_alloc(4096, big), nullptr);
        void* memory = nullptr;
        EXPECT_NE(posix_memalign(&memory, 4096, big), 0);
        EXPECT_EQ(mmap(nullptr, big, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0), MAP_FAILED);
        EXPECT_TRUE(AllocationLimit::refused());
        EXPECT_GE(AllocationLimit::largest_request(), big);
    }
    void* memory = std::malloc(big);
    EXPECT_NE(memory, nullptr);
    std::free(memory);
}

// Damaged sizes, each claiming far more than the file holds. Opening, reading
// every aperture, copying and merging must fail or succeed without ever asking
// for a buffer sized by such a number.
struct Damage {
    const char* name;
    void (*apply)(FileBytes& file);
};

class HostileSizes : public ::testing::TestWithParam<Damage> {};

TEST_P(HostileSizes, AreRefusedWithoutAllocatingThem) {
    TempFolder folder;
    std::vector<Words> records(40, Words{1, 1, 1, 1, 1, 1, 1, 1});
    FileBytes file({{0, records, std::nullopt}, {1, {}, std::nullopt}, {5, records, std::nullopt}});
    GetParam().apply(file);
    const std::string path = folder.write("p.bin", file.bytes);
    AllocationLimit limit(std::size_t{64} << 20);
    auto reader = PulseReader::open(path);
    if (reader) {
        PulseFilter filter;
        filter.min_snr = 0.5F;
        std::vector<std::uint64_t> found;
        for (std::uint64_t n : reader->index().apertures()) {
            if (reader->get_all_records(n)) found.push_back(n);
            (void)reader->get_pulses(n);
            (void)reader->get_pulses(n, &filter);
        }
        (void)reader->copy_apertures_to_new_file(found, folder.file("copy.bin"));
        const PulseReader* both[] = {&*reader, &*reader};
        (void)merge_pulse_files(both, folder.file("merged.bin"));
    }
    EXPECT_FALSE(AllocationLimit::refused()) << AllocationLimit::largest_request();
}

INSTANTIATE_TEST_SUITE_P(
    Damages, HostileSizes,
    ::testing::Values(Damage{"metadata_length", [](FileBytes& f) { f.put(16, 0xFFFFFFFF, 4); }},
                      Damage{"num_apertures", [](FileBytes& f) { f.put(8, 1ULL << 61, 8); }},
                      Damage{"num_apertures_past_end", [](FileBytes& f) { f.put(8, 1ULL << 20, 8); }},
                      Damage{"index_offset", [](FileBytes& f) { f.put(40, 1ULL << 62, 8); }},
                      Damage{"data_offset", [](FileBytes& f) { f.put(32, 1ULL << 40, 8); }},
                      Damage{"data_offset_past_index", [](FileBytes& f) { f.put(32, f.index_at + 4096, 8); }},
                      Damage{"num_records", [](FileBytes& f) { f.put(f.block_at[1] + 12, 0xFFFFFFFF, 4); }},
                      Damage{"index_span", [](FileBytes& f) { f.put(f.index_at + 32, 0xFFFFFFF0, 4); }},
                      Damage{"index_span_with_repeats",
                             [](FileBytes& f) {
                                 f.put(f.index_at + 20, 0, 4);
                                 f.put(f.index_at + 32, 0xFFFFFFF0, 4);
                             }}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace kvt::testing
