#include "records/columns.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include "pulse_reader/large_buffer.hpp"

namespace kvt::python {

ColumnBuffer::ColumnBuffer(std::size_t count, std::size_t element_size, bool zero_filled)
    : count_(count), element_size_(element_size) {
    if (count > std::numeric_limits<std::size_t>::max() / element_size) throw std::bad_alloc();
    // Never a null pointer, not even for an empty column: NumPy would take a
    // null data pointer as a request to allocate memory of its own.
    const std::size_t bytes = std::max<std::size_t>(count * element_size, 1);
    void* memory = allocate_large(bytes);
    if (memory == nullptr) throw std::bad_alloc();
    data_.reset(memory);
    if (zero_filled) std::memset(memory, 0, bytes);
}

void ColumnBuffer::shrink(std::size_t count) noexcept {
    if (count >= count_) return;
    count_ = count;
    const std::size_t bytes = std::max<std::size_t>(count * element_size_, 1);
    // A failed realloc leaves the block as it was, which still holds the column.
    if (void* smaller = std::realloc(data_.get(), bytes); smaller != nullptr) {
        (void)data_.release();
        data_.reset(smaller);
    }
}

namespace {

constexpr double absent = std::numeric_limits<double>::quiet_NaN();

RecordColumns allocate_record_columns(std::size_t n, const ApertureHeader& header) {
    RecordColumns columns;
    columns.ipd_f = ColumnBuffer(n, 2, false);
    columns.dur_f = ColumnBuffer(n, 2, false);
    for (ColumnBuffer* column : {&columns.bin0_intensity, &columns.bin1_intensity, &columns.bin0_bg_mean,
                                 &columns.bin1_bg_mean, &columns.bin0_bg_std, &columns.bin1_bg_std}) {
        *column = ColumnBuffer(n, 4, false);
    }
    columns.start_f = ColumnBuffer(n, 4, false);
    columns.long_pulse_duration_f = ColumnBuffer(n, 8, false);
    columns.event_f = ColumnBuffer(n, 8, false);
    columns.record_type.resize(n);
    columns.header = header;
    return columns;
}

/// Writes one field of every record or pulse of a piece into its column, from
/// `first` on.
template <class T, class Item, class Field>
void put_field(ColumnBuffer& column, std::size_t first, std::span<const Item> items, Field Item::*field) noexcept {
    T* out = column.as<T>() + first;
    for (std::size_t i = 0; i < items.size(); ++i) out[i] = items[i].*field;
}

/// Writes an optional u32 field as f64, NaN where it is absent.
void put_optional(ColumnBuffer& column, std::size_t first, std::span<const FormattedRecord> records,
                  std::optional<std::uint32_t> FormattedRecord::*field) noexcept {
    double* out = column.as<double>() + first;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::optional<std::uint32_t>& value = records[i].*field;
        out[i] = value ? *value : absent;
    }
}

/// Stores records [first, first + records.size()) and advances the running
/// sum. Column by column over the piece, which is still in the cache: one
/// write stream at a time, rather than one per column, whose starts (all on
/// 2 MiB boundaries for large columns) would compete for the same cache sets.
void store_records(RecordColumns& columns, std::size_t first, std::span<const FormattedRecord> records,
                   std::uint32_t& start_f) {
    put_field<std::uint16_t>(columns.ipd_f, first, records, &FormattedRecord::ipd_f);
    put_field<std::uint16_t>(columns.dur_f, first, records, &FormattedRecord::dur_f);
    put_field<float>(columns.bin0_intensity, first, records, &FormattedRecord::bin0_intensity);
    put_field<float>(columns.bin1_intensity, first, records, &FormattedRecord::bin1_intensity);
    put_field<float>(columns.bin0_bg_mean, first, records, &FormattedRecord::bin0_bg_mean);
    put_field<float>(columns.bin1_bg_mean, first, records, &FormattedRecord::bin1_bg_mean);
    put_field<float>(columns.bin0_bg_std, first, records, &FormattedRecord::bin0_bg_std);
    put_field<float>(columns.bin1_bg_std, first, records, &FormattedRecord::bin1_bg_std);
    auto* start = columns.start_f.as<std::uint32_t>() + first;
    for (std::size_t i = 0; i < records.size(); ++i) {
        start_f += records[i].ipd_f;
        start[i] = start_f;
    }
    FormattedRecordType* type = columns.record_type.data() + first;
    for (std::size_t i = 0; i < records.size(); ++i) type[i] = records[i].record_type;
    put_optional(columns.long_pulse_duration_f, first, records, &FormattedRecord::long_pulse_duration_f);
    put_optional(columns.event_f, first, records, &FormattedRecord::event_f);
}

}  // namespace

RecordColumns record_columns(const RawBlock& block, const EncodingRecords& encodings) {
    const std::span<const std::byte> bytes = block.record_bytes();
    RecordColumns columns = allocate_record_columns(bytes.size() / event_record_size, block.header);
    std::size_t first = 0;
    std::uint32_t start_f = 0;
    decode_block_pieces(bytes, encodings, [&](std::span<const FormattedRecord> records) {
        store_records(columns, first, records, start_f);
        first += records.size();
    });
    return columns;
}

PulseColumns allocate_pulse_columns(std::size_t capacity, const ApertureHeader& header, bool include_aperture_index,
                                    std::uint64_t aperture_index) {
    PulseColumns columns;
    columns.header = header;
    columns.index = ColumnBuffer(capacity, 8, false);
    if (include_aperture_index) {
        columns.has_aperture_index = true;
        columns.aperture_index_value = aperture_index;
        columns.aperture_index = ColumnBuffer(capacity, 8, false);
    }
    for (ColumnBuffer* column : {&columns.start_f, &columns.end_f, &columns.dur_f, &columns.dur_s, &columns.ipd_f,
                                 &columns.ipd_s, &columns.snr, &columns.intensity, &columns.bin0_intensity,
                                 &columns.intensity_display, &columns.binratio, &columns.bg_mean, &columns.bg_std,
                                 &columns.bin0_bg_mean, &columns.bin0_bg_std}) {
        *column = ColumnBuffer(capacity, 4, false);
    }
    return columns;
}

void append_pulses(PulseColumns& columns, std::span<const NormalizedPulse> pulses) noexcept {
    const std::size_t first = columns.count;
    pulses = pulses.first(std::min(pulses.size(), columns.index.count() - first));
    // Column by column over the piece, which is still in the cache: one write
    // stream at a time. Writing all the columns in one loop would keep a
    // stream per column open, and the columns' starts, all on 2 MiB
    // boundaries, would compete for the same cache sets.
    put_field<std::uint64_t>(columns.index, first, pulses, &NormalizedPulse::index);
    if (columns.has_aperture_index) {
        std::fill_n(columns.aperture_index.as<std::uint64_t>() + first, pulses.size(), columns.aperture_index_value);
    }
    put_field<std::uint32_t>(columns.start_f, first, pulses, &NormalizedPulse::start_f);
    put_field<std::uint32_t>(columns.end_f, first, pulses, &NormalizedPulse::end_f);
    put_field<std::uint32_t>(columns.dur_f, first, pulses, &NormalizedPulse::dur_f);
    put_field<float>(columns.dur_s, first, pulses, &NormalizedPulse::dur_s);
    put_field<std::uint32_t>(columns.ipd_f, first, pulses, &NormalizedPulse::ipd_f);
    put_field<float>(columns.ipd_s, first, pulses, &NormalizedPulse::ipd_s);
    put_field<float>(columns.snr, first, pulses, &NormalizedPulse::snr);
    put_field<float>(columns.intensity, first, pulses, &NormalizedPulse::intensity);
    put_field<float>(columns.bin0_intensity, first, pulses, &NormalizedPulse::bin0_intensity);
    put_field<float>(columns.intensity_display, first, pulses, &NormalizedPulse::intensity_display);
    put_field<float>(columns.binratio, first, pulses, &NormalizedPulse::binratio);
    put_field<float>(columns.bg_mean, first, pulses, &NormalizedPulse::bg_mean);
    put_field<float>(columns.bg_std, first, pulses, &NormalizedPulse::bg_std);
    put_field<float>(columns.bin0_bg_mean, first, pulses, &NormalizedPulse::bin0_bg_mean);
    put_field<float>(columns.bin0_bg_std, first, pulses, &NormalizedPulse::bin0_bg_std);
    columns.count += pulses.size();
}

void finish_pulse_columns(PulseColumns& columns) noexcept {
    for (ColumnBuffer* column :
         {&columns.index, &columns.aperture_index, &columns.start_f, &columns.end_f, &columns.dur_f, &columns.dur_s,
          &columns.ipd_f, &columns.ipd_s, &columns.snr, &columns.intensity, &columns.bin0_intensity,
          &columns.intensity_display, &columns.binratio, &columns.bg_mean, &columns.bg_std, &columns.bin0_bg_mean,
          &columns.bin0_bg_std}) {
        column->shrink(columns.count);
    }
}

}  // namespace kvt::python
