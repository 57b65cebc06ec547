// Decoding of 16-byte event records.
//
// An event record is eight little-endian u16 words w0..w7. w0 is the number of
// frames since the frame reached by the previous record (`ipd_f`), w1 a pulse's
// duration in frames (`dur_f`, 0 for every other kind). Words 2 to 7 hold
// signed 16-bit stored values; in a pulse they are scaled with encoding record
// k: s / scale + offset, where 0x7FFF, 0x8000 and 0x8001 stand for +inf, NaN
// and -inf. Long-pulse and step records carry a u32 in w4 (low) and w5 (high).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
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
inline std::string to_string(FormattedRecordType type) { return std::string(record_type_name(type)); }

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

    /// Decodes the 16 bytes of one record at position `index`.
    static FormattedRecord from_raw(std::span<const std::byte, event_record_size> raw,
                                    const EncodingRecords& encodings, std::uint64_t index) noexcept;
};

/// Decodes every record of a block (a multiple of 16 bytes) in one pass,
/// numbering them from 0.
std::vector<FormattedRecord> decode_records(std::span<const std::byte> block, const EncodingRecords& encodings);

/// Decodes the records of `block` into `out` (which holds one slot per 16
/// bytes), numbering them from `first_index`.
void decode_records_into(std::span<const std::byte> block, const EncodingRecords& encodings,
                         std::uint64_t first_index, std::span<FormattedRecord> out) noexcept;

/// Records decoded per piece by decode_block_pieces.
inline constexpr std::size_t decoding_piece = 512;

/// Decodes a block's record bytes `decoding_piece` records at a time (small
/// enough to stay in the cache) into `piece` (room for decoding_piece records,
/// kept by the caller from block to block), calling `sink` with each piece's
/// records in order, numbered from `first_index` on over the whole block (a
/// span valid during the call). Nothing is allocated.
template <class Sink>
void decode_block_pieces(std::span<const std::byte> block, const EncodingRecords& encodings, Sink&& sink,
                         std::uint64_t first_index, std::span<FormattedRecord, decoding_piece> piece) {
    const std::size_t count = block.size() / event_record_size;
    for (std::size_t first = 0; first < count; first += decoding_piece) {
        const std::size_t n = std::min(decoding_piece, count - first);
        const std::span<FormattedRecord> records = piece.first(n);
        decode_records_into(block.subspan(first * event_record_size, n * event_record_size), encodings,
                            first_index + first, records);
        sink(std::span<const FormattedRecord>(records));
    }
}

/// The same with a piece of its own, on the stack.
template <class Sink>
void decode_block_pieces(std::span<const std::byte> block, const EncodingRecords& encodings, Sink&& sink,
                         std::uint64_t first_index = 0) {
    std::array<FormattedRecord, decoding_piece> piece;
    decode_block_pieces(block, encodings, std::forward<Sink>(sink), first_index, std::span(piece));
}

}  // namespace kvt
