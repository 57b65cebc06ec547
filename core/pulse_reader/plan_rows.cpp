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

#define KVT_OWNED_COLUMN(name, type, unit, meaning) t.name = column<type>();

RecordTable OwnedColumns::records(std::size_t rows) {
    columns_.clear();
    rows_ = rows;
    RecordTable t;
    KVT_RECORD_COLUMNS(KVT_OWNED_COLUMN, KVT_OWNED_COLUMN, KVT_OWNED_COLUMN, KVT_OWNED_COLUMN, KVT_OWNED_COLUMN)
    return t;
}

PulseTable OwnedColumns::pulses(std::size_t rows) {
    columns_.clear();
    rows_ = rows;
    PulseTable t;
    KVT_PULSE_COLUMNS(KVT_OWNED_COLUMN, KVT_OWNED_COLUMN, KVT_OWNED_COLUMN)
    return t;
}

SummaryTable OwnedColumns::summaries(std::size_t rows) {
    columns_.clear();
    rows_ = rows;
    SummaryTable t;
    KVT_SUMMARY_COLUMNS(KVT_OWNED_COLUMN, KVT_OWNED_COLUMN, KVT_NO_COLUMN)
    return t;
}

#undef KVT_OWNED_COLUMN

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
        result.records[i] = {
            t.index[i],           t.bin0_intensity[i], t.bin1_intensity[i], t.bin0_bg_mean[i],
            t.bin1_bg_mean[i],    t.bin0_bg_std[i],    t.bin1_bg_std[i],    frames(t.long_pulse_duration_f[i]),
            frames(t.event_f[i]), t.ipd_f[i],          t.dur_f[i],          t.record_type[i]};
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
#define KVT_PULSE_ROW(name, type, unit, meaning) result.pulses[i].name = t.name[i];
        KVT_PULSE_COLUMNS(KVT_NO_COLUMN, KVT_PULSE_ROW, KVT_NO_COLUMN)
#undef KVT_PULSE_ROW
    }
    return result;
}

}  // namespace kvt
