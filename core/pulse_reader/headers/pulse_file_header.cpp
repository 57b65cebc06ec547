#include "pulse_reader/headers/pulse_file_header.hpp"

#include <string>

#include "pulse_reader/headers/byte_order.hpp"

namespace kvt {

PulseFileHeader PulseFileHeader::new_(std::span<const std::byte, pulse_file_header_size> bytes) {
    const std::byte* b = bytes.data();
    PulseFileHeader header;
    header.magic = load_le<std::uint32_t>(b + 0);
    header.reserved1 = load_le<std::uint32_t>(b + 4);
    header.num_apertures = load_le<std::uint64_t>(b + 8);
    header.metadata_length = load_le<std::uint32_t>(b + 16);
    header.encoding_record_type = load_le<std::uint8_t>(b + 20);
    header.encoding_record_size = load_le<std::uint8_t>(b + 21);
    header.num_encoding_records = load_le<std::uint16_t>(b + 22);
    header.reserved2 = load_le<std::uint32_t>(b + 24);
    header.record_size = load_le<std::uint32_t>(b + 28);
    header.data_offset = load_le<std::uint64_t>(b + 32);
    header.index_offset = load_le<std::uint64_t>(b + 40);
    return header;
}

std::array<std::byte, pulse_file_header_size> PulseFileHeader::to_bytes() const {
    std::array<std::byte, pulse_file_header_size> bytes{};
    std::byte* b = bytes.data();
    store_le(b + 0, magic);
    store_le(b + 4, reserved1);
    store_le(b + 8, num_apertures);
    store_le(b + 16, metadata_length);
    store_le(b + 20, encoding_record_type);
    store_le(b + 21, encoding_record_size);
    store_le(b + 22, num_encoding_records);
    store_le(b + 24, reserved2);
    store_le(b + 28, record_size);
    store_le(b + 32, data_offset);
    store_le(b + 40, index_offset);
    return bytes;
}

Status PulseFileHeader::validate() const {
    if (magic != pulse_file_magic) return Error(ErrorCode::invalid_header, "Pulse file header is invalid!");
    if (encoding_record_type != 1) {
        return Error(ErrorCode::invalid_header,
                     "Invalid encoding record type: " + std::to_string(encoding_record_type));
    }
    if (encoding_record_size != kvt::encoding_record_size) {
        return Error(ErrorCode::invalid_header,
                     "Invalid encoding record size: " + std::to_string(encoding_record_size));
    }
    if (record_size != event_record_size) {
        return Error(ErrorCode::invalid_header, "Invalid record size: " + std::to_string(record_size));
    }
    if (num_encoding_records != encoding_record_count) {
        return Error(ErrorCode::invalid_header,
                     "Invalid number of encoding records: " + std::to_string(num_encoding_records));
    }
    return {};
}

EncodingRecord EncodingRecord::new_(std::span<const std::byte, encoding_record_size> bytes) {
    EncodingRecord record;
    record.code = load_le<std::uint8_t>(bytes.data());
    record.scale_exponent = load_le<std::uint8_t>(bytes.data() + 1);
    record.scale = static_cast<float>(std::uint32_t{1} << (record.scale_exponent & 15U));
    record.offset = static_cast<float>(load_le<std::uint16_t>(bytes.data() + 2));
    return record;
}

}  // namespace kvt
