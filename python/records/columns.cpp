#include "records/columns.hpp"

#include <algorithm>
#include <limits>
#include <new>

namespace kvt::python {

ColumnBuffer::ColumnBuffer(std::size_t capacity, std::size_t element_size)
    : count_(capacity), element_size_(element_size) {
    if (capacity > std::numeric_limits<std::size_t>::max() / element_size) throw std::bad_alloc();
    // Never a null pointer, not even for an empty column: NumPy would take a
    // null data pointer as a request to allocate memory of its own.
    memory_ = LargeBuffer(std::max<std::size_t>(capacity * element_size, 1));
    if (!memory_) throw std::bad_alloc();
}

void ColumnBuffer::set_count(std::size_t count) noexcept {
    count_ = std::min(count, memory_.capacity() / std::max<std::size_t>(element_size_, 1));
}

RecordColumns::RecordColumns(const ApertureHeader& block_header)
    : ipd_f(block_header.num_records, 2),
      dur_f(block_header.num_records, 2),
      bin0_intensity(block_header.num_records, 4),
      bin1_intensity(block_header.num_records, 4),
      bin0_bg_mean(block_header.num_records, 4),
      bin1_bg_mean(block_header.num_records, 4),
      bin0_bg_std(block_header.num_records, 4),
      bin1_bg_std(block_header.num_records, 4),
      start_f(block_header.num_records, 4),
      record_type(block_header.num_records, sizeof(FormattedRecordType)),
      long_pulse_duration_f(block_header.num_records, 8),
      event_f(block_header.num_records, 8),
      header(block_header) {}

RecordColumnPointers RecordColumns::pointers() const noexcept {
    return {ipd_f.as<std::uint16_t>(),
            dur_f.as<std::uint16_t>(),
            bin0_intensity.as<float>(),
            bin1_intensity.as<float>(),
            bin0_bg_mean.as<float>(),
            bin1_bg_mean.as<float>(),
            bin0_bg_std.as<float>(),
            bin1_bg_std.as<float>(),
            start_f.as<std::uint32_t>(),
            record_type.as<FormattedRecordType>(),
            long_pulse_duration_f.as<double>(),
            event_f.as<double>()};
}

PulseColumns::PulseColumns(const ApertureHeader& block_header, bool include_aperture_index,
                           std::uint64_t aperture_index_value)
    : index(block_header.num_records, 8),
      aperture_index(include_aperture_index ? block_header.num_records : 0, 8),
      start_f(block_header.num_records, 4),
      end_f(block_header.num_records, 4),
      dur_f(block_header.num_records, 4),
      dur_s(block_header.num_records, 4),
      ipd_f(block_header.num_records, 4),
      ipd_s(block_header.num_records, 4),
      snr(block_header.num_records, 4),
      intensity(block_header.num_records, 4),
      bin0_intensity(block_header.num_records, 4),
      intensity_display(block_header.num_records, 4),
      binratio(block_header.num_records, 4),
      bg_mean(block_header.num_records, 4),
      bg_std(block_header.num_records, 4),
      bin0_bg_mean(block_header.num_records, 4),
      bin0_bg_std(block_header.num_records, 4),
      has_aperture_index(include_aperture_index),
      aperture_number(aperture_index_value),
      header(block_header) {}

PulseColumnPointers PulseColumns::pointers() const noexcept {
    return {index.as<std::uint64_t>(),  start_f.as<std::uint32_t>(), end_f.as<std::uint32_t>(),
            dur_f.as<std::uint32_t>(),  dur_s.as<float>(),           ipd_f.as<std::uint32_t>(),
            ipd_s.as<float>(),          snr.as<float>(),             intensity.as<float>(),
            bin0_intensity.as<float>(), intensity_display.as<float>(), binratio.as<float>(),
            bg_mean.as<float>(),        bg_std.as<float>(),          bin0_bg_mean.as<float>(),
            bin0_bg_std.as<float>(),
            has_aperture_index ? aperture_index.as<std::uint64_t>() : nullptr,
            aperture_number};
}

void PulseColumns::finish(std::size_t count) noexcept {
    for (ColumnBuffer* column : {&index, &aperture_index, &start_f, &end_f, &dur_f, &dur_s, &ipd_f, &ipd_s, &snr,
                                 &intensity, &bin0_intensity, &intensity_display, &binratio, &bg_mean, &bg_std,
                                 &bin0_bg_mean, &bin0_bg_std}) {
        column->set_count(count);
    }
}

}  // namespace kvt::python
