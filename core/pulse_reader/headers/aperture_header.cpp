#include "pulse_reader/headers/aperture_header.hpp"

#include "pulse_reader/headers/byte_order.hpp"

namespace kvt {

ApertureHeader ApertureHeader::new_(std::span<const std::byte, aperture_header_size> bytes,
                                    std::uint64_t aperture_byteloc) {
    ApertureHeader header;
    header.aperture_byteloc = aperture_byteloc;
    header.aperture_x = load_le<std::uint32_t>(bytes.data() + 0);
    header.aperture_y = load_le<std::uint32_t>(bytes.data() + 4);
    header.aperture_index = load_le<std::uint32_t>(bytes.data() + 8);
    header.num_records = block_record_count(bytes);
    return header;
}

std::uint32_t block_record_count(std::span<const std::byte, aperture_header_size> header) noexcept {
    return load_le<std::uint32_t>(header.data() + 12);
}

std::array<std::byte, aperture_header_size> ApertureHeader::to_bytes() const {
    std::array<std::byte, aperture_header_size> bytes{};
    store_le(bytes.data() + 0, aperture_x);
    store_le(bytes.data() + 4, aperture_y);
    store_le(bytes.data() + 8, aperture_index);
    store_le(bytes.data() + 12, num_records);
    return bytes;
}

}  // namespace kvt
