#include "pulse_reader/plan_rows.hpp"

#include <cmath>
#include <cstring>

#include "pulse_reader/pulse_reader.hpp"

namespace kvt {

template <class T>
T* OwnedColumns::column() {
    Column& made = columns_.emplace_back();
    made.words.resize((rows_ * sizeof(T) + 7) / 8);
    made.value_size = sizeof(T);
    return reinterpret_cast<T*>(made.words.data());
}

RecordTable OwnedColumns::records(std::size_t rows) {
    columns_.clear();
    rows_ = rows;
    RecordTable t;
    t.aperture_index = column<std::uint64_t>();
    t.index = column<std::uint64_t>();
    t.aperture_x = column<std::uint32_t>();
    t.aperture_y = column<std::uint32_t>();
    t.ipd_f = column<std::uint16_t>();
    t.dur_f = column<std::uint16_t>();
    for (float** c : {&t.bin0_intensity, &t.bin1_intensity, &t.bin0_bg_mean, &t.bin1_bg_mean, &t.bin0_bg_std,
                      &t.bin1_bg_std}) {
        *c = column<float>();
    }
    t.start_f = column<std::uint32_t>();
    t.record_type = column<FormattedRecordType>();
    t.long_pulse_duration_f = column<double>();
    t.event_f = column<double>();
    return t;
}

PulseTable OwnedColumns::pulses(std::size_t rows) {
    columns_.clear();
    rows_ = rows;
    PulseTable t;
    t.aperture_index = column<std::uint64_t>();
    t.index = column<std::uint64_t>();
    for (std::uint32_t** c : {&t.aperture_x, &t.aperture_y, &t.start_f, &t.end_f, &t.dur_f, &t.ipd_f}) {
        *c = column<std::uint32_t>();
    }
    for (float** c : {&t.dur_s, &t.ipd_s, &t.snr, &t.intensity, &t.bin0_intensity, &t.intensity_display, &t.binratio,
                      &t.bg_mean, &t.bg_std, &t.bin0_bg_mean, &t.bin0_bg_std}) {
        *c = column<float>();
    }
    return t;
}

SummaryTable OwnedColumns::summaries(std::size_t rows) {
    columns_.clear();
    rows_ = rows;
    SummaryTable t;
    for (std::uint64_t** c : {&t.aperture_index, &t.num_records, &t.num_pulses}) *c = column<std::uint64_t>();
    for (std::size_t k = 1; k < formatted_record_type_count; ++k) t.num_kind[k] = column<std::uint64_t>();
    t.aperture_x = column<std::uint32_t>();
    t.aperture_y = column<std::uint32_t>();
    for (double** c : {&t.first_start_s, &t.last_end_s, &t.mean_dur_s, &t.mean_ipd_s, &t.mean_intensity, &t.mean_snr,
                       &t.mean_bg_std}) {
        *c = column<double>();
    }
    return t;
}

std::vector<std::byte> OwnedColumns::bytes(std::size_t rows) const {
    std::vector<std::byte> all;
    for (const Column& c : columns_) {
        const auto* begin = reinterpret_cast<const std::byte*>(c.words.data());
        all.insert(all.end(), begin, begin + rows * c.value_size);
    }
    return all;
}

namespace {

/// A plan of the one aperture, read on `threads` threads with its header kept.
PlanReading one_aperture(const PulseFilter* filter, std::size_t threads) {
    PlanReading how;
    how.filter = filter;
    how.threads = threads;
    how.keep_headers = true;
    how.name_apertures = false;
    return how;
}

}  // namespace

Result<ApertureRecords> PulseReader::get_all_records(std::uint64_t aperture_index, std::size_t threads) const {
    auto plan = plan_blocks(*this, std::span(&aperture_index, 1), PlanHeaders::infer);
    if (!plan) return std::move(plan).error();
    OwnedColumns columns;
    RecordTable t;
    auto rows = read_plan_records(
        *this, std::move(plan).value(), [&](std::size_t n) -> Result<RecordTable> { return t = columns.records(n); },
        one_aperture(nullptr, threads));
    if (!rows) return std::move(rows).error();
    ApertureRecords result{std::vector<FormattedRecord>(rows->rows), rows->headers.front()};
    const auto frames = [](double value) {
        return std::isnan(value) ? std::nullopt : std::optional(static_cast<std::uint32_t>(value));
    };
    for (std::size_t i = 0; i < rows->rows; ++i) {
        result.records[i] = {t.index[i], t.bin0_intensity[i], t.bin1_intensity[i], t.bin0_bg_mean[i],
                             t.bin1_bg_mean[i], t.bin0_bg_std[i], t.bin1_bg_std[i], frames(t.long_pulse_duration_f[i]),
                             frames(t.event_f[i]), t.ipd_f[i], t.dur_f[i], t.record_type[i]};
    }
    return result;
}

Result<AperturePulses> PulseReader::get_pulses(std::uint64_t aperture_index, const PulseFilter* filter,
                                               std::size_t threads) const {
    auto plan = plan_blocks(*this, std::span(&aperture_index, 1), PlanHeaders::infer);
    if (!plan) return std::move(plan).error();
    OwnedColumns columns;
    PulseTable t;
    auto rows = read_plan_pulses(
        *this, std::move(plan).value(), [&](std::size_t n) -> Result<PulseTable> { return t = columns.pulses(n); },
        one_aperture(filter, threads));
    if (!rows) return std::move(rows).error();
    AperturePulses result{std::vector<NormalizedPulse>(rows->rows), rows->headers.front()};
    for (std::size_t i = 0; i < rows->rows; ++i) {
        result.pulses[i] = {t.index[i],          t.start_f[i],        t.end_f[i],    t.dur_f[i], t.dur_s[i],
                            t.ipd_f[i],          t.ipd_s[i],          t.snr[i],      t.intensity[i],
                            t.bin0_intensity[i], t.intensity_display[i], t.binratio[i], t.bg_mean[i],
                            t.bg_std[i],         t.bin0_bg_mean[i],   t.bin0_bg_std[i]};
    }
    return result;
}

}  // namespace kvt
