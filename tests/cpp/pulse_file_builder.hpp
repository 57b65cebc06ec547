// Builds pulse files for tests: valid ones, and deliberately damaged ones.
//
// A `PulseFilePlan` describes a file field by field; every field has a default
// that gives a valid file, so a test states only what it cares about:
//
//   PulseFilePlan plan;
//   plan.metadata = R"({"fps": 10})";
//   plan.apertures = {aperture(7, {pulse(5, 20), padding()}, /*x=*/1, /*y=*/2)};
//   BuiltFile file = build(plan);
//
// Default layout:
//
//   0                     48-byte header
//   48                    8 encoding records of 4 bytes
//   80                    metadata bytes
//   80 + metadata size    zero padding up to data_offset (the next multiple of 16)
//   data_offset           aperture blocks, back to back, in `apertures` order
//   index_offset          "$INDX$\r\n", then one 12-byte entry per aperture
//
// Header overrides change only the value stored in the header, never where
// the builder puts things: a wrong `metadata_length` or `index_offset` is a
// wrong field in an otherwise well laid out file. `BuiltFile` reports where
// every section really is, so tests can truncate or point at them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kvt::testing {

using Bytes = std::vector<std::byte>;

/// One 16-byte event record as its eight u16 words w0..w7.
using Record = std::array<std::uint16_t, 8>;

/// Word values are u16; signed stored values are given as int and wrapped,
/// so -64 becomes 0xFFC0.
constexpr std::uint16_t word(int value) noexcept { return static_cast<std::uint16_t>(value); }

/// A pulse: w0 = ipd, w1 = dur (non-zero makes it a pulse), w2..w7 the stored
/// bin0/bin1 intensities, bin0/bin1 background means and deviations.
Record pulse(std::uint16_t ipd, std::uint16_t dur, int w2 = 0, int w3 = 0, int w4 = 0, int w5 = 0, int w6 = 0,
             int w7 = 0);
/// A background record: w2 = w3 = 0, so only w4..w7 carry values.
Record background(std::uint16_t ipd, int w4 = 0, int w5 = 0, int w6 = 0, int w7 = 0);
/// A padding record: w0 = 0xFFFF, all else 0.
Record padding();
/// Step and long-pulse records: w6 is the marker, the u32 is split into
/// w4 (low half) and w5 (high half).
Record step_up(std::uint16_t ipd, std::uint32_t event_f, int w2 = 0, int w3 = 0, int w7 = 0);
Record step_down(std::uint16_t ipd, std::uint32_t event_f, int w2 = 0, int w3 = 0, int w7 = 0);
Record long_pulse_update(std::uint16_t ipd, std::uint32_t long_pulse_duration_f, int w2 = 0, int w3 = 0,
                         int w7 = 0);
Record long_pulse_dropped(std::uint16_t ipd, std::uint32_t long_pulse_duration_f, int w2 = 0, int w3 = 0,
                          int w7 = 0);

/// The 16 little-endian bytes of a record.
std::array<std::byte, 16> record_bytes(const Record& record);

/// One 4-byte encoding record as stored.
struct EncodingPlan {
    std::uint8_t code = 0;
    std::uint8_t scale_exponent = 0;
    std::uint16_t offset = 0;
};

struct AperturePlan {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t index = 0;
    std::vector<Record> records;
    /// Stored `num_records`; by default the number of records written.
    std::optional<std::uint32_t> num_records;
};

/// An aperture numbered `index` at column `x`, row `y`, holding `records`.
AperturePlan aperture(std::uint32_t index, std::vector<Record> records = {}, std::uint32_t x = 0,
                      std::uint32_t y = 0);

/// One index entry. It points either at a block the builder laid out or at an
/// explicit byte offset.
struct IndexEntry {
    std::uint32_t aperture_index = 0;
    /// When set, the entry holds the offset of this block (position in
    /// `PulseFilePlan::apertures`) and `byte_offset` is ignored.
    std::optional<std::size_t> block;
    std::uint64_t byte_offset = 0;
};

/// An entry pointing at the block of `apertures[block]`.
IndexEntry entry_to_block(std::uint32_t aperture_index, std::size_t block);
/// An entry holding `byte_offset` as it is (0 marks the aperture absent).
IndexEntry entry_at(std::uint32_t aperture_index, std::uint64_t byte_offset);

enum class IndexPlacement {
    after_blocks,   ///< the usual layout: the index is the last bytes of the file
    before_blocks,  ///< the index right after the padding, blocks after it, so
                    ///< truncating the file into a block leaves the index whole
};

struct PulseFilePlan {
    // Header fields. The optional ones default to what the layout says.
    std::uint32_t magic = 0x5074564B;  // "KVtP"
    std::uint32_t reserved1 = 0;
    std::optional<std::uint64_t> num_apertures;   ///< default: number of index entries
    std::optional<std::uint32_t> metadata_length;  ///< default: size of `metadata`
    std::uint8_t encoding_record_type = 1;
    std::uint8_t encoding_record_size = 4;
    std::uint16_t num_encoding_records = 8;
    std::uint32_t reserved2 = 0;
    std::uint32_t record_size = 16;
    std::optional<std::uint64_t> data_offset;   ///< default: position of the first block
    std::optional<std::uint64_t> index_offset;  ///< default: position of the index magic

    /// Always written as 8 records of 4 bytes, whatever the header says.
    std::array<EncodingPlan, 8> encodings{};

    /// Raw metadata bytes (need not be valid UTF-8 or JSON).
    std::string metadata = R"({"fps": 100})";

    /// Bytes between the metadata and the first block; by default zeros up to
    /// the next multiple of 16.
    std::optional<Bytes> padding;

    std::vector<AperturePlan> apertures;

    /// Default: one entry per aperture, in `apertures` order, each pointing at
    /// its block. Set to write any entries at all (none, repeated, out of order).
    std::optional<std::vector<IndexEntry>> index;
    std::uint64_t index_magic = 0x0A0D2458444E4924ULL;  // "$INDX$\r\n"
    IndexPlacement index_placement = IndexPlacement::after_blocks;

    /// Cut the finished file to this many bytes.
    std::optional<std::size_t> truncate_to;
};

/// The bytes of a built file and where its sections are (before truncation).
struct BuiltFile {
    Bytes bytes;
    std::uint64_t metadata_offset = 0;
    std::uint64_t padding_offset = 0;
    std::uint64_t data_offset = 0;  ///< where the first block would be
    std::vector<std::uint64_t> block_offsets;  ///< one per `apertures` entry
    std::uint64_t index_offset = 0;  ///< position of the index magic
    std::uint64_t index_entries_offset = 0;
    std::uint64_t index_entries_size = 0;  ///< 12 bytes per entry written
    std::uint64_t full_size = 0;  ///< size before `truncate_to`

    /// The index entries' bytes (empty when truncated before them).
    [[nodiscard]] std::span<const std::byte> index_entry_bytes() const;
};

BuiltFile build(const PulseFilePlan& plan);

/// Writes `bytes` to `path`, replacing any file there.
void write_file(const std::filesystem::path& path, std::span<const std::byte> bytes);
/// The whole content of the file at `path`.
Bytes read_file(const std::filesystem::path& path);

/// A fresh directory under the system's temporary folder, removed with
/// everything in it when the object goes away.
class TempDir {
public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }
    /// `name` inside the directory, as a string for APIs that take one.
    [[nodiscard]] std::string file(const std::string& name) const;
    /// Builds `plan` into `name` inside the directory; returns the file's path.
    std::string write(const std::string& name, const PulseFilePlan& plan) const;
    std::string write(const std::string& name, std::span<const std::byte> bytes) const;

private:
    std::filesystem::path path_;
};

}  // namespace kvt::testing
