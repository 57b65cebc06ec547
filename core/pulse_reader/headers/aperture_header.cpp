#include "pulse_reader/headers/aperture_header.hpp"

#include "pulse_reader/headers/byte_order.hpp"

namespace kvt {

ApertureHeader ApertureHeader::new_(std::span<const std::byte, aperture_header_size> bytes,
                                    std::uint64_t aperture_byteloc) {
    ApertureHeader header;
    header.aperture_byteloc = aperture_byteloc;
    return load_fields(bytes, header);
}

std::uint32_t block_record_count(std::span<const std::byte, aperture_header_size> header) noexcept {
    return ApertureHeader::new_(header, 0).num_records;
}

std::array<std::byte, aperture_header_size> ApertureHeader::to_bytes() const {
    return store_fields<aperture_header_size>(*this);
}

}  // namespace kvt
