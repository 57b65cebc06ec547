// What the benchmarks share: a scratch folder removed at exit, and a writer of
// synthetic pulse files of any shape, written straight to disk so that inputs
// of a gigabyte never sit in memory whole.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <chrono>
#include <unistd.h>

#include "pulse_reader/headers/byte_order.hpp"
#include "pulse_reader/headers/pulse_file_header.hpp"
#include "pulse_reader/headers/pulse_file_index.hpp"

namespace kvt::bench {

/// A folder under /tmp for inputs and outputs, removed with its content at exit.
class Workspace {
public:
    explicit Workspace(const std::string& prefix) {
        std::string pattern = "/tmp/" + prefix + "-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
    }
    ~Workspace() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    [[nodiscard]] std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

/// The eight words of one event record.
using RecordWords = std::array<std::uint16_t, 8>;

/// Word values of record `r` of aperture `n`.
using RecordMaker = std::function<RecordWords(std::uint64_t n, std::uint32_t r)>;

/// Records whose words count up: distinct bytes everywhere, no meaning.
inline RecordWords counting_record(std::uint64_t n, std::uint32_t r) {
    RecordWords words{};
    for (std::uint32_t k = 0; k < 4; ++k) {
        const auto value = static_cast<std::uint32_t>(n * 7919 + std::uint64_t{r} * 4 + k);
        words[2 * k] = static_cast<std::uint16_t>(value);
        words[2 * k + 1] = static_cast<std::uint16_t>(value >> 16);
    }
    return words;
}

/// Records as an acquisition writes them: mostly pulses of a few frames with
/// varied intensities, one in sixteen a background update.
inline RecordWords acquisition_record(std::uint64_t n, std::uint32_t r) {
    std::uint64_t state = (n * 0x9E3779B97F4A7C15ULL) ^ (std::uint64_t{r} * 0xBF58476D1CE4E5B9ULL);
    auto next = [&state] {
        state ^= state >> 31;
        state *= 0x94D049BB133111EBULL;
        state ^= state >> 29;
        return static_cast<std::uint16_t>(state);
    };
    RecordWords words{};
    words[0] = static_cast<std::uint16_t>(1 + next() % 200);
    const bool background = r % 16 == 15;
    words[1] = background ? 0 : static_cast<std::uint16_t>(1 + next() % 30);
    words[2] = background ? 0 : static_cast<std::uint16_t>(next() % 4000);
    words[3] = background ? 0 : static_cast<std::uint16_t>(next() % 4000);
    for (std::size_t k = 4; k < 8; ++k) words[k] = static_cast<std::uint16_t>(next() % 2000);
    return words;
}

struct FileShape {
    std::uint32_t rows = 1;
    std::uint32_t cols = 1;
    std::uint32_t records_per_aperture = 0;
    RecordMaker make_record = counting_record;
};

namespace detail {
inline void put_u16(std::vector<std::byte>& out, std::uint16_t value) {
    std::byte bytes[2];
    store_le(bytes, value);
    out.insert(out.end(), bytes, bytes + 2);
}
inline void put_u32(std::vector<std::byte>& out, std::uint32_t value) {
    std::byte bytes[4];
    store_le(bytes, value);
    out.insert(out.end(), bytes, bytes + 4);
}
inline void put_u64(std::vector<std::byte>& out, std::uint64_t value) {
    std::byte bytes[8];
    store_le(bytes, value);
    out.insert(out.end(), bytes, bytes + 8);
}
}  // namespace detail

/// Writes a pulse file of rows x cols apertures (numbers 0 to rows*cols-1, in
/// order), each a block of `records_per_aperture` records. Words 2 to 7 are
/// scaled by 1/16 with offset 0.
inline void write_pulse_file(const std::string& path, const FileShape& shape) {
    using detail::put_u16;
    using detail::put_u32;
    using detail::put_u64;
    const std::string cols = std::to_string(shape.cols);
    const std::string metadata =
        R"({"fps":100,"duration":60,"rows":)" + std::to_string(shape.rows) + R"(,"cols":)" + cols +
        R"(,"validWells":10,"validWellsLeft":4,"validWellsRight":6,"roi_offset_col":0,"roi_cols":)" + cols + "}";
    const std::uint64_t apertures = std::uint64_t{shape.rows} * shape.cols;
    const std::uint64_t data_offset = (80 + metadata.size() + 15) / 16 * 16;
    const std::uint64_t block = 16 + 16 * std::uint64_t{shape.records_per_aperture};
    const std::uint64_t index_offset = data_offset + apertures * block;

    std::vector<std::byte> head;
    put_u32(head, pulse_file_magic);
    put_u32(head, 0);
    put_u64(head, apertures);
    put_u32(head, static_cast<std::uint32_t>(metadata.size()));
    head.push_back(std::byte{1});
    head.push_back(std::byte{4});
    put_u16(head, 8);
    put_u32(head, 0);
    put_u32(head, 16);
    put_u64(head, data_offset);
    put_u64(head, index_offset);
    for (std::size_t k = 0; k < encoding_record_count; ++k) {
        head.push_back(std::byte{0});                         // code
        head.push_back(k < 2 ? std::byte{0} : std::byte{4});  // scale 2^4 for the scaled words
        put_u16(head, 0);                                     // offset
    }
    for (const char c : metadata) head.push_back(static_cast<std::byte>(c));
    head.resize(data_offset);

    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) std::abort();
    std::fwrite(head.data(), 1, head.size(), out);
    std::vector<std::byte> bytes;
    bytes.reserve(block);
    for (std::uint64_t n = 0; n < apertures; ++n) {
        bytes.clear();
        put_u32(bytes, static_cast<std::uint32_t>(n % shape.cols));
        put_u32(bytes, static_cast<std::uint32_t>(n / shape.cols));
        put_u32(bytes, static_cast<std::uint32_t>(n));
        put_u32(bytes, shape.records_per_aperture);
        for (std::uint32_t r = 0; r < shape.records_per_aperture; ++r) {
            for (const std::uint16_t word : shape.make_record(n, r)) put_u16(bytes, word);
        }
        std::fwrite(bytes.data(), 1, bytes.size(), out);
    }
    std::vector<std::byte> index;
    index.reserve(index_magic_size + 12 * apertures);
    put_u64(index, index_magic);
    for (std::uint64_t n = 0; n < apertures; ++n) {
        put_u32(index, static_cast<std::uint32_t>(n));
        put_u64(index, data_offset + n * block);
    }
    std::fwrite(index.data(), 1, index.size(), out);
    if (std::fclose(out) != 0) std::abort();
}

/// The median of `values` (not empty): the middle one, or the mean of the two
/// middle ones.
inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace kvt::bench
