// Pulse files built byte by byte for the tests, in a folder that is removed
// with its contents at the end of the test.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace kvt::testing {

using Words = std::array<std::uint16_t, 8>;

struct TestAperture {
    std::uint32_t number = 0;
    std::vector<Words> records;
    std::optional<std::uint32_t> claimed;  ///< record count written in the block header
};

/// Layout: header, eight encoding records (code k, no scaling), metadata,
/// zero padding to a multiple of 16, blocks back to back, index sorted as given.
/// Header fields may be changed afterwards with `put`.
struct FileBytes {
    std::vector<std::byte> bytes;
    std::vector<std::uint64_t> block_at;  ///< one per aperture
    std::uint64_t index_at = 0;

    static constexpr const char* metadata_of_a_2x3_sensor =
        R"({"fps":100,"duration":60,"rows":2,"cols":3,"validWells":6,"validWellsLeft":3,)"
        R"("validWellsRight":3,"roi_offset_col":0,"roi_cols":3,"roi_rows":2})";

    explicit FileBytes(const std::vector<TestAperture>& apertures, std::string metadata = metadata_of_a_2x3_sensor) {
        bytes.resize(48);
        for (std::uint32_t k = 0; k < 8; ++k) append(k, 4);
        for (char c : metadata) bytes.push_back(static_cast<std::byte>(c));
        bytes.resize((bytes.size() + 15) / 16 * 16);
        const std::uint64_t data_at = bytes.size();
        for (const TestAperture& aperture : apertures) {
            block_at.push_back(bytes.size());
            for (std::uint32_t field :
                 {0U, 0U, aperture.number,
                  aperture.claimed.value_or(static_cast<std::uint32_t>(aperture.records.size()))}) {
                append(field, 4);
            }
            for (const Words& words : aperture.records) {
                for (std::uint16_t word : words) append(word, 2);
            }
        }
        index_at = bytes.size();
        append(0x0A0D2458444E4924ULL, 8);
        for (std::size_t i = 0; i < apertures.size(); ++i) {
            append(apertures[i].number, 4);
            append(block_at[i], 8);
        }
        for (auto [at, value, width] : {std::array<std::uint64_t, 3>{0, 0x5074564B, 4},
                                        {8, apertures.size(), 8},
                                        {16, metadata.size(), 4},
                                        {20, 1, 1},
                                        {21, 4, 1},
                                        {22, 8, 2},
                                        {28, 16, 4},
                                        {32, data_at, 8},
                                        {40, index_at, 8}}) {
            put(at, value, static_cast<int>(width));
        }
    }

    void put(std::uint64_t at, std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i)
            bytes.at(at + static_cast<std::uint64_t>(i)) = static_cast<std::byte>(value >> (8 * i));
    }
    void append(std::uint64_t value, int width) {
        bytes.resize(bytes.size() + static_cast<std::size_t>(width));
        put(bytes.size() - static_cast<std::size_t>(width), value, width);
    }
};

/// A fresh folder, removed with everything in it when the value goes.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kvt-test-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    [[nodiscard]] std::string file(const std::string& name) const { return (path_ / name).string(); }
    [[nodiscard]] std::string write(const std::string& name, const std::vector<std::byte>& bytes) const {
        std::ofstream(file(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return file(name);
    }

private:
    std::filesystem::path path_;
};

}  // namespace kvt::testing
