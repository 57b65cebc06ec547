// Column buffers of one aperture's records or pulses.
//
// Each field of a record or pulse is gathered once into a buffer of its own
// width; the buffer is later lent to NumPy in place. Filling the buffers
// touches no Python object, so it runs without the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pulse_reader/large_buffer.hpp"
#include "pulse_reader/pulse_reader.hpp"

namespace kvt::python {

/// A column's memory: room for `capacity` elements of `element_size` bytes,
/// the first count() of which hold the column.
class ColumnBuffer {
public:
    ColumnBuffer() = default;
    /// Throws std::bad_alloc when the memory cannot be had.
    ColumnBuffer(std::size_t capacity, std::size_t element_size);

    template <class T>
    [[nodiscard]] T* as() const noexcept { return memory_.as<T>(); }
    [[nodiscard]] void* data() const noexcept { return memory_.data(); }
    [[nodiscard]] std::size_t count() const noexcept { return count_; }
    [[nodiscard]] std::size_t element_size() const noexcept { return element_size_; }
    /// Keeps the first `count` elements (at most the capacity) as the column.
    void set_count(std::size_t count) noexcept;

private:
    LargeBuffer memory_;
    std::size_t count_ = 0;
    std::size_t element_size_ = 0;
};

/// The records' columns, in column order.
struct RecordColumns {
    ColumnBuffer ipd_f;           // u16
    ColumnBuffer dur_f;           // u16
    ColumnBuffer bin0_intensity;  // f32
    ColumnBuffer bin1_intensity;
    ColumnBuffer bin0_bg_mean;
    ColumnBuffer bin1_bg_mean;
    ColumnBuffer bin0_bg_std;
    ColumnBuffer bin1_bg_std;
    ColumnBuffer start_f;                // u32: running sum of ipd_f, wrapping
    ColumnBuffer record_type;            // FormattedRecordType, one byte each
    ColumnBuffer long_pulse_duration_f;  // f64, NaN when absent
    ColumnBuffer event_f;                // f64, NaN when absent
    ApertureHeader header;

    /// Columns for the `header.num_records` records of a block.
    explicit RecordColumns(const ApertureHeader& header);
    [[nodiscard]] RecordColumnPointers pointers() const noexcept;
    [[nodiscard]] std::size_t size() const noexcept { return record_type.count(); }
};

/// The pulses' columns, in column order.
struct PulseColumns {
    ColumnBuffer index;           // u64
    ColumnBuffer aperture_index;  // u64, only when asked for
    ColumnBuffer start_f;         // u32
    ColumnBuffer end_f;
    ColumnBuffer dur_f;
    ColumnBuffer dur_s;  // f32
    ColumnBuffer ipd_f;  // u32
    ColumnBuffer ipd_s;  // f32
    ColumnBuffer snr;
    ColumnBuffer intensity;
    ColumnBuffer bin0_intensity;
    ColumnBuffer intensity_display;
    ColumnBuffer binratio;
    ColumnBuffer bg_mean;
    ColumnBuffer bg_std;
    ColumnBuffer bin0_bg_mean;
    ColumnBuffer bin0_bg_std;
    bool has_aperture_index = false;
    std::uint64_t aperture_number = 0;  ///< the value of every "aperture_index" row
    ApertureHeader header;

    /// Columns with room for the pulses of a block of `header.num_records`
    /// records (every pulse comes from one record), with an "aperture_index"
    /// column of `aperture_index_value` when asked for.
    PulseColumns(const ApertureHeader& header, bool include_aperture_index, std::uint64_t aperture_index_value);
    [[nodiscard]] PulseColumnPointers pointers() const noexcept;
    /// Closes the columns at `count` pulses.
    void finish(std::size_t count) noexcept;
};

}  // namespace kvt::python
