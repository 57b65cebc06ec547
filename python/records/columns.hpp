// Column buffers of one aperture's records or pulses.
//
// Each field of a record or pulse is gathered once into a buffer of its own
// width; the buffer is later lent to NumPy in place. Filling the buffers
// touches no Python object, so it runs without the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "pulse_reader/pulse_reader.hpp"

namespace kvt::python {

/// A column's memory: `count` elements of `element_size` bytes from malloc.
class ColumnBuffer {
public:
    ColumnBuffer() = default;
    /// Throws std::bad_alloc when the memory cannot be had.
    ColumnBuffer(std::size_t count, std::size_t element_size, bool zero_filled);

    /// Keeps only the first `count` elements (at most count()), handing the
    /// rest of the memory back when the allocator can.
    void shrink(std::size_t count) noexcept;

    template <class T>
    [[nodiscard]] T* as() const noexcept { return static_cast<T*>(data_.get()); }
    [[nodiscard]] void* data() const noexcept { return data_.get(); }
    [[nodiscard]] std::size_t count() const noexcept { return count_; }
    [[nodiscard]] std::size_t element_size() const noexcept { return element_size_; }

private:
    struct Free {
        void operator()(void* memory) const noexcept { std::free(memory); }
    };
    std::unique_ptr<void, Free> data_;
    std::size_t count_ = 0;
    std::size_t element_size_ = 0;
};

/// The records' columns, in column order.
struct RecordColumns {
    ColumnBuffer ipd_f;          // u16
    ColumnBuffer dur_f;          // u16
    ColumnBuffer bin0_intensity; // f32
    ColumnBuffer bin1_intensity;
    ColumnBuffer bin0_bg_mean;
    ColumnBuffer bin1_bg_mean;
    ColumnBuffer bin0_bg_std;
    ColumnBuffer bin1_bg_std;
    ColumnBuffer start_f;        // u32: running sum of ipd_f, wrapping
    std::vector<FormattedRecordType> record_type;
    ColumnBuffer long_pulse_duration_f;  // f64, NaN when absent
    ColumnBuffer event_f;                // f64, NaN when absent
    ApertureHeader header;

    [[nodiscard]] std::size_t size() const noexcept { return record_type.size(); }
};

/// The pulses' columns, in column order.
struct PulseColumns {
    ColumnBuffer index;           // u64
    ColumnBuffer aperture_index;  // u64, only when asked for
    ColumnBuffer start_f;         // u32
    ColumnBuffer end_f;
    ColumnBuffer dur_f;
    ColumnBuffer dur_s;           // f32
    ColumnBuffer ipd_f;           // u32
    ColumnBuffer ipd_s;           // f32
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
    std::uint64_t aperture_index_value = 0;
    std::size_t count = 0;
    ApertureHeader header;
};

/// Decodes a block straight into columns, a cache-sized piece at a time; the
/// same columns as decoding the block and then gathering its records.
RecordColumns record_columns(const RawBlock& block, const EncodingRecords& encodings);

/// Empty pulse columns with room for `capacity` pulses, to be filled with
/// append_pulses and then closed with finish_pulse_columns.
PulseColumns allocate_pulse_columns(std::size_t capacity, const ApertureHeader& header, bool include_aperture_index,
                                    std::uint64_t aperture_index);

/// Appends `pulses` (no more than the room left) to the columns.
void append_pulses(PulseColumns& columns, std::span<const NormalizedPulse> pulses) noexcept;

/// Trims every column to the pulses appended.
void finish_pulse_columns(PulseColumns& columns) noexcept;

}  // namespace kvt::python
