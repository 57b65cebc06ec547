// Decoding of 16-byte event records.
//
// An event record is eight little-endian u16 words w0..w7. w0 is the number of
// frames since the frame reached by the previous record (`ipd_f`), w1 a pulse's
// duration in frames (`dur_f`, 0 for every other kind). Words 2 to 7 hold
// signed 16-bit stored values; in a pulse they are scaled with encoding record
// k: s / scale + offset, where 0x7FFF, 0x8000 and 0x8001 stand for +inf, NaN
// and -inf. Long-pulse and step records carry a u32 in w4 (low) and w5 (high).
//
// Every reader decodes records the same way: a piece of up to 512 records at a
// time (small enough to stay in the cache) into a RecordPiece, one array per
// field. FormattedRecord is one row of a piece, for callers that want records
// one by one.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "pulse_reader/headers/pulse_file_header.hpp"

namespace kvt {

enum class FormattedRecordType : std::uint8_t {
    Pulse = 0,
    Padding = 1,
    LongPulseUpdate = 2,
    LongPulseDropped = 3,
    StepUp = 4,
    StepDown = 5,
    Background = 6,
    Unknown = 7,
};

inline constexpr std::size_t formatted_record_type_count = 8;

/// The record kind's word: "pulse", "padding", "long_pulse_update", ...
std::string_view record_type_name(FormattedRecordType type) noexcept;

/// Whether records of this kind carry a frame count in w4 and w5, and which.
inline bool has_long_pulse_duration(FormattedRecordType type) noexcept {
    return type == FormattedRecordType::LongPulseUpdate || type == FormattedRecordType::LongPulseDropped;
}
inline bool has_event_frame(FormattedRecordType type) noexcept {
    return type == FormattedRecordType::StepUp || type == FormattedRecordType::StepDown;
}

struct FormattedRecord {
    std::uint64_t index = 0;  ///< position in the aperture's record list
    float bin0_intensity = 0.0F;
    float bin1_intensity = 0.0F;
    float bin0_bg_mean = 0.0F;
    float bin1_bg_mean = 0.0F;
    float bin0_bg_std = 0.0F;
    float bin1_bg_std = 0.0F;
    std::optional<std::uint32_t> long_pulse_duration_f;  ///< LongPulseUpdate, LongPulseDropped
    std::optional<std::uint32_t> event_f;                ///< StepUp, StepDown
    std::uint16_t ipd_f = 0;
    std::uint16_t dur_f = 0;
    FormattedRecordType record_type = FormattedRecordType::Unknown;
};

/// The value fields of a record, words 2 to 7, in the order of their words.
enum RecordValue : std::size_t {
    bin0_intensity_value,
    bin1_intensity_value,
    bin0_bg_mean_value,
    bin1_bg_mean_value,
    bin0_bg_std_value,
    bin1_bg_std_value,
    record_value_count
};

/// A set of value fields, for decoding only those that are needed.
using RecordValues = std::bitset<record_value_count>;
inline constexpr RecordValues all_record_values{(1U << record_value_count) - 1};

/// The values that a decoding makes: the value fields `fields`, of every
/// record or, with `pulses_only`, of pulses alone (the values and frame counts
/// of the other records are then left unspecified; normalization reads
/// pulses' values alone).
struct DecodedValues {
    RecordValues fields = all_record_values;
    bool pulses_only = false;
};

/// Where decoded records go, one array per field (see RecordPiece), each with
/// room for every record decoded; a value column left null is not decoded.
struct RecordColumns {
    std::uint16_t* ipd_f = nullptr;
    std::uint16_t* dur_f = nullptr;
    FormattedRecordType* record_type = nullptr;
    std::array<float*, record_value_count> value{};
    std::uint32_t* wide = nullptr;   ///< not decoded when null
    bool pulse_values_only = false;  ///< see DecodedValues::pulses_only
};

/// Decodes the records `raw` (16 bytes each) into rows 0, 1, ... of `out`.
void decode_records_into(std::span<const std::byte> raw, const EncodingRecords& encodings,
                         const RecordColumns& out) noexcept;

/// Up to `capacity` consecutive records of an aperture, decoded: row i is
/// record number first_index + i.
struct RecordPiece {
    static constexpr std::size_t capacity = 512;

    std::size_t count = 0;
    std::uint64_t first_index = 0;
    std::array<std::uint16_t, capacity> ipd_f;
    std::array<std::uint16_t, capacity> dur_f;
    std::array<FormattedRecordType, capacity> record_type;
    /// Words 2 to 7: scaled in pulses; w2, w3 scaled and w4..w7 as stored in
    /// long-pulse and step records; w2, w3 zero and w4..w7 scaled in
    /// backgrounds; as stored in padding and unknown records.
    std::array<std::array<float, capacity>, record_value_count> value;
    /// w4 | w5 << 16: the frame count of long-pulse and step records.
    std::array<std::uint32_t, capacity> wide;
    /// The values decoded; the others hold nothing of these records.
    DecodedValues decoded;

    [[nodiscard]] FormattedRecord row(std::size_t i) const noexcept;
    /// The piece's arrays, as `wanted` asks for them.
    [[nodiscard]] RecordColumns columns(DecodedValues wanted) noexcept;
};

/// Decodes the records `raw` (at most RecordPiece::capacity of them, 16 bytes
/// each) into `out`, numbering them from `first_index`, with the values asked for.
void decode_piece(std::span<const std::byte> raw, const EncodingRecords& encodings, std::uint64_t first_index,
                  RecordPiece& out, DecodedValues values = {}) noexcept;

/// Decodes a block's record bytes a piece at a time into `piece` (kept by the
/// caller from block to block), calling `sink(piece)` after each piece, in
/// order, the records numbered from `first_index` on over the whole block,
/// with the values asked for. Nothing is allocated.
template <class Sink>
void decode_block_pieces(std::span<const std::byte> block, const EncodingRecords& encodings, RecordPiece& piece,
                         Sink&& sink, std::uint64_t first_index = 0, DecodedValues values = {}) {
    const std::size_t count = block.size() / event_record_size;
    for (std::size_t first = 0; first < count; first += RecordPiece::capacity) {
        const std::size_t n = count - first < RecordPiece::capacity ? count - first : RecordPiece::capacity;
        decode_piece(block.subspan(first * event_record_size, n * event_record_size), encodings, first_index + first,
                     piece, values);
        sink(static_cast<const RecordPiece&>(piece));
    }
}

/// Decodes every record of a block (a multiple of 16 bytes), numbering them from 0.
std::vector<FormattedRecord> decode_records(std::span<const std::byte> block, const EncodingRecords& encodings);

}  // namespace kvt
