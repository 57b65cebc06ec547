// The fixed parts of a pulse file: its 48-byte header and the encoding records.
//
// A pulse file starts with this header (little-endian, packed):
//
//   offset width field
//        0     4 magic                 "KVtP"
//        4     4 reserved1             kept, never interpreted
//        8     8 num_apertures         number of index entries
//       16     4 metadata_length       bytes of JSON metadata after the encoding records
//       20     1 encoding_record_type  must be 1
//       21     1 encoding_record_size  must be 4
//       22     2 num_encoding_records  must be 8
//       24     4 reserved2             kept, never interpreted
//       28     4 record_size           must be 16
//       32     8 data_offset           position of the first aperture block
//       40     8 index_offset          position of the index magic
//
// followed at offset 48 by eight 4-byte encoding records, one per word of an
// event record, and then the metadata text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "pulse_reader/headers/byte_order.hpp"
#include "result.hpp"

namespace kvt {

/// "KVtP" read as a little-endian u32.
inline constexpr std::uint32_t pulse_file_magic = 0x5074564B;
inline constexpr std::size_t pulse_file_header_size = 48;
inline constexpr std::size_t encoding_record_size = 4;
inline constexpr std::size_t encoding_record_count = 8;
/// Size of one event record: eight u16 words.
inline constexpr std::size_t event_record_size = 16;

/// The header's fields, as drawn above: FIELD(name, type, offset).
#define KVT_PULSE_FILE_HEADER_FIELDS(FIELD)        \
    FIELD(magic, std::uint32_t, 0)                 \
    FIELD(reserved1, std::uint32_t, 4)             \
    FIELD(num_apertures, std::uint64_t, 8)         \
    FIELD(metadata_length, std::uint32_t, 16)      \
    FIELD(encoding_record_type, std::uint8_t, 20)  \
    FIELD(encoding_record_size, std::uint8_t, 21)  \
    FIELD(num_encoding_records, std::uint16_t, 22) \
    FIELD(reserved2, std::uint32_t, 24)            \
    FIELD(record_size, std::uint32_t, 28)          \
    FIELD(data_offset, std::uint64_t, 32)          \
    FIELD(index_offset, std::uint64_t, 40)

struct PulseFileHeader {
    KVT_PULSE_FILE_HEADER_FIELDS(KVT_LE_MEMBER)

    /// Calls visit(field, offset) for each stored field of `self`.
    template <class Self, class Visit>
    static void each_field(Self& self, Visit&& visit) {
        KVT_PULSE_FILE_HEADER_FIELDS(KVT_LE_VISIT)
    }

    /// Reads every field at its offset; no field is converted or checked.
    static PulseFileHeader new_(std::span<const std::byte, pulse_file_header_size> bytes);

    /// The serialised 48-byte form, the exact inverse of `new_`.
    [[nodiscard]] std::array<std::byte, pulse_file_header_size> to_bytes() const;

    /// Checks magic, encoding record type, encoding record size, record size
    /// and number of encoding records, in that order; reports the first failure.
    [[nodiscard]] Status validate() const;

    friend bool operator==(const PulseFileHeader&, const PulseFileHeader&) = default;
};

/// How one word of an event record is scaled: value / scale + offset.
struct EncodingRecord {
    float scale = 1.0F;   ///< 2^(scale_exponent & 15), so 1.0 to 32768.0
    float offset = 0.0F;  ///< the stored u16, exactly
    std::uint8_t code = 0;
    std::uint8_t scale_exponent = 0;

    static EncodingRecord new_(std::span<const std::byte, encoding_record_size> bytes);

    friend bool operator==(const EncodingRecord&, const EncodingRecord&) = default;
};

using EncodingRecords = std::array<EncodingRecord, encoding_record_count>;

}  // namespace kvt
