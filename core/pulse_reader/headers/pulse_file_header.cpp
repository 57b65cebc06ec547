#include "pulse_reader/headers/pulse_file_header.hpp"

#include <string>

#include "pulse_reader/headers/byte_order.hpp"

namespace kvt {

PulseFileHeader PulseFileHeader::new_(std::span<const std::byte, pulse_file_header_size> bytes) {
    return load_fields(bytes, PulseFileHeader{});
}

std::array<std::byte, pulse_file_header_size> PulseFileHeader::to_bytes() const {
    return store_fields<pulse_file_header_size>(*this);
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
