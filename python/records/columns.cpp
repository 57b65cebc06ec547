#include "records/columns.hpp"

#include <algorithm>
#include <limits>
#include <new>

namespace kvt::python {

ColumnBuffer::ColumnBuffer(std::size_t count, std::size_t element_size, bool zero_filled)
    : count_(count), element_size_(element_size) {
    if (count > std::numeric_limits<std::size_t>::max() / element_size) throw std::bad_alloc();
    // Never a null pointer, not even for an empty column: NumPy would take a
    // null data pointer as a request to allocate memory of its own.
    const std::size_t bytes = std::max<std::size_t>(count * element_size, 1);
    void* memory = zero_filled ? std::calloc(bytes, 1) : std::malloc(bytes);
    if (memory == nullptr) throw std::bad_alloc();
    data_.reset(memory);
}

namespace {

constexpr double absent = std::numeric_limits<double>::quiet_NaN();

RecordColumns allocate_record_columns(std::size_t n, const ApertureHeader& header) {
    RecordColumns columns;
    columns.ipd_f = ColumnBuffer(n, 2, true);
    columns.dur_f = ColumnBuffer(n, 2, true);
    for (ColumnBuffer* column : {&columns.bin0_intensity, &columns.bin1_intensity, &columns.bin0_bg_mean,
                                 &columns.bin1_bg_mean, &columns.bin0_bg_std, &columns.bin1_bg_std}) {
        *column = ColumnBuffer(n, 4, true);
    }
    columns.start_f = ColumnBuffer(n, 4, true);
    columns.long_pulse_duration_f = ColumnBuffer(n, 8, true);
    columns.event_f = ColumnBuffer(n, 8, true);
    columns.record_type.resize(n);
    columns.header = header;
    return columns;
}

/// Stores records [first, first + records.size()) and advances the running sum.
void store_records(RecordColumns& columns, std::size_t first, std::span<const FormattedRecord> records,
                   std::uint32_t& start_f) {
    auto* ipd_f = columns.ipd_f.as<std::uint16_t>() + first;
    auto* dur_f = columns.dur_f.as<std::uint16_t>() + first;
    auto* bin0_intensity = columns.bin0_intensity.as<float>() + first;
    auto* bin1_intensity = columns.bin1_intensity.as<float>() + first;
    auto* bin0_bg_mean = columns.bin0_bg_mean.as<float>() + first;
    auto* bin1_bg_mean = columns.bin1_bg_mean.as<float>() + first;
    auto* bin0_bg_std = columns.bin0_bg_std.as<float>() + first;
    auto* bin1_bg_std = columns.bin1_bg_std.as<float>() + first;
    auto* start = columns.start_f.as<std::uint32_t>() + first;
    auto* type = columns.record_type.data() + first;
    auto* long_pulse_duration_f = columns.long_pulse_duration_f.as<double>() + first;
    auto* event_f = columns.event_f.as<double>() + first;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const FormattedRecord& record = records[i];
        ipd_f[i] = record.ipd_f;
        dur_f[i] = record.dur_f;
        bin0_intensity[i] = record.bin0_intensity;
        bin1_intensity[i] = record.bin1_intensity;
        bin0_bg_mean[i] = record.bin0_bg_mean;
        bin1_bg_mean[i] = record.bin1_bg_mean;
        bin0_bg_std[i] = record.bin0_bg_std;
        bin1_bg_std[i] = record.bin1_bg_std;
        start_f += record.ipd_f;
        start[i] = start_f;
        type[i] = record.record_type;
        long_pulse_duration_f[i] = record.long_pulse_duration_f ? *record.long_pulse_duration_f : absent;
        event_f[i] = record.event_f ? *record.event_f : absent;
    }
}

}  // namespace

RecordColumns record_columns(std::span<const FormattedRecord> records, const ApertureHeader& header) {
    RecordColumns columns = allocate_record_columns(records.size(), header);
    std::uint32_t start_f = 0;
    store_records(columns, 0, records, start_f);
    return columns;
}

RecordColumns record_columns(const RawBlock& block, const EncodingRecords& encodings) {
    constexpr std::size_t piece = 512;
    const std::span<const std::byte> bytes = block.record_bytes();
    const std::size_t n = bytes.size() / event_record_size;
    RecordColumns columns = allocate_record_columns(n, block.header);
    std::vector<FormattedRecord> records(std::min(n, piece));
    std::uint32_t start_f = 0;
    for (std::size_t first = 0; first < n; first += piece) {
        const std::size_t count = std::min(piece, n - first);
        const std::span<FormattedRecord> decoded(records.data(), count);
        decode_records_into(bytes.subspan(first * event_record_size, count * event_record_size), encodings, first,
                            decoded);
        store_records(columns, first, decoded, start_f);
    }
    return columns;
}

namespace {

template <class T, class Field>
ColumnBuffer gather(std::span<const NormalizedPulse> pulses, Field field) {
    ColumnBuffer column(pulses.size(), sizeof(T), false);
    T* out = column.as<T>();
    for (std::size_t i = 0; i < pulses.size(); ++i) out[i] = pulses[i].*field;
    return column;
}

}  // namespace

PulseColumns pulse_columns(std::span<const NormalizedPulse> pulses, const ApertureHeader& header,
                           bool include_aperture_index, std::uint64_t aperture_index) {
    PulseColumns columns;
    columns.count = pulses.size();
    columns.header = header;
    columns.index = gather<std::uint64_t>(pulses, &NormalizedPulse::index);
    if (include_aperture_index) {
        columns.has_aperture_index = true;
        columns.aperture_index = ColumnBuffer(pulses.size(), 8, aperture_index == 0);
        if (aperture_index != 0) std::fill_n(columns.aperture_index.as<std::uint64_t>(), pulses.size(), aperture_index);
    }
    columns.start_f = gather<std::uint32_t>(pulses, &NormalizedPulse::start_f);
    columns.end_f = gather<std::uint32_t>(pulses, &NormalizedPulse::end_f);
    columns.dur_f = gather<std::uint32_t>(pulses, &NormalizedPulse::dur_f);
    columns.dur_s = gather<float>(pulses, &NormalizedPulse::dur_s);
    columns.ipd_f = gather<std::uint32_t>(pulses, &NormalizedPulse::ipd_f);
    columns.ipd_s = gather<float>(pulses, &NormalizedPulse::ipd_s);
    columns.snr = gather<float>(pulses, &NormalizedPulse::snr);
    columns.intensity = gather<float>(pulses, &NormalizedPulse::intensity);
    columns.bin0_intensity = gather<float>(pulses, &NormalizedPulse::bin0_intensity);
    columns.intensity_display = gather<float>(pulses, &NormalizedPulse::intensity_display);
    columns.binratio = gather<float>(pulses, &NormalizedPulse::binratio);
    columns.bg_mean = gather<float>(pulses, &NormalizedPulse::bg_mean);
    columns.bg_std = gather<float>(pulses, &NormalizedPulse::bg_std);
    columns.bin0_bg_mean = gather<float>(pulses, &NormalizedPulse::bin0_bg_mean);
    columns.bin0_bg_std = gather<float>(pulses, &NormalizedPulse::bin0_bg_std);
    return columns;
}

}  // namespace kvt::python
