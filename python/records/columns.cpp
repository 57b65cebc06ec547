#include "records/columns.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <new>

namespace kvt::python {

std::size_t element_size(ColumnType type) noexcept {
    switch (type) {
        case ColumnType::u16: return 2;
        case ColumnType::u32: return 4;
        case ColumnType::f32: return 4;
        case ColumnType::u64: return 8;
        case ColumnType::f64: return 8;
        case ColumnType::kind: return sizeof(FormattedRecordType);
    }
    return 1;
}

namespace {

// The first two columns of a whole-run table say where a row comes from; the
// block header's aperture_x and aperture_y come only when asked for by name.
constexpr std::array record_definitions = {
    ColumnDefinition{"aperture_index", ColumnType::u64},
    ColumnDefinition{"index", ColumnType::u64},
    ColumnDefinition{"ipd_f", ColumnType::u16},
    ColumnDefinition{"dur_f", ColumnType::u16},
    ColumnDefinition{"bin0_intensity", ColumnType::f32},
    ColumnDefinition{"bin1_intensity", ColumnType::f32},
    ColumnDefinition{"bin0_bg_mean", ColumnType::f32},
    ColumnDefinition{"bin1_bg_mean", ColumnType::f32},
    ColumnDefinition{"bin0_bg_std", ColumnType::f32},
    ColumnDefinition{"bin1_bg_std", ColumnType::f32},
    ColumnDefinition{"start_f", ColumnType::u32},
    ColumnDefinition{"record_type", ColumnType::kind},
    ColumnDefinition{"long_pulse_duration_f", ColumnType::f64},
    ColumnDefinition{"event_f", ColumnType::f64},
    ColumnDefinition{"aperture_x", ColumnType::u32},
    ColumnDefinition{"aperture_y", ColumnType::u32},
};

constexpr std::array pulse_definitions = {
    ColumnDefinition{"aperture_index", ColumnType::u64},
    ColumnDefinition{"index", ColumnType::u64},
    ColumnDefinition{"start_f", ColumnType::u32},
    ColumnDefinition{"end_f", ColumnType::u32},
    ColumnDefinition{"dur_f", ColumnType::u32},
    ColumnDefinition{"dur_s", ColumnType::f32},
    ColumnDefinition{"ipd_f", ColumnType::u32},
    ColumnDefinition{"ipd_s", ColumnType::f32},
    ColumnDefinition{"snr", ColumnType::f32},
    ColumnDefinition{"intensity", ColumnType::f32},
    ColumnDefinition{"bin0_intensity", ColumnType::f32},
    ColumnDefinition{"intensity_display", ColumnType::f32},
    ColumnDefinition{"binratio", ColumnType::f32},
    ColumnDefinition{"bg_mean", ColumnType::f32},
    ColumnDefinition{"bg_std", ColumnType::f32},
    ColumnDefinition{"bin0_bg_mean", ColumnType::f32},
    ColumnDefinition{"bin0_bg_std", ColumnType::f32},
    ColumnDefinition{"aperture_x", ColumnType::u32},
    ColumnDefinition{"aperture_y", ColumnType::u32},
};

constexpr std::array summary_definitions = {
    ColumnDefinition{"aperture_index", ColumnType::u64},
    ColumnDefinition{"aperture_x", ColumnType::u32},
    ColumnDefinition{"aperture_y", ColumnType::u32},
    ColumnDefinition{"num_records", ColumnType::u64},
    ColumnDefinition{"num_pulses", ColumnType::u64},
    ColumnDefinition{"num_padding", ColumnType::u64},
    ColumnDefinition{"num_long_pulse_update", ColumnType::u64},
    ColumnDefinition{"num_long_pulse_dropped", ColumnType::u64},
    ColumnDefinition{"num_step_up", ColumnType::u64},
    ColumnDefinition{"num_step_down", ColumnType::u64},
    ColumnDefinition{"num_background", ColumnType::u64},
    ColumnDefinition{"num_unknown", ColumnType::u64},
    ColumnDefinition{"first_start_s", ColumnType::f64},
    ColumnDefinition{"last_end_s", ColumnType::f64},
    ColumnDefinition{"mean_dur_s", ColumnType::f64},
    ColumnDefinition{"mean_ipd_s", ColumnType::f64},
    ColumnDefinition{"mean_intensity", ColumnType::f64},
    ColumnDefinition{"mean_snr", ColumnType::f64},
    ColumnDefinition{"mean_bg_std", ColumnType::f64},
    ColumnDefinition{"pulse_rate_hz", ColumnType::f64},
};

bool is_header_column(const ColumnDefinition& definition) noexcept {
    const std::string_view name = definition.name;
    return name == "aperture_x" || name == "aperture_y";
}

}  // namespace

ColumnBuffer::ColumnBuffer(std::size_t capacity, std::size_t size) : count_(capacity), element_size_(size) {
    if (capacity > std::numeric_limits<std::size_t>::max() / size) throw std::bad_alloc();
    // Never a null pointer, not even for an empty column: NumPy would take a
    // null data pointer as a request to allocate memory of its own.
    memory_ = LargeBuffer(std::max<std::size_t>(capacity * size, 1));
    if (!memory_) throw std::bad_alloc();
}

void ColumnBuffer::set_count(std::size_t count) noexcept {
    count_ = std::min(count, memory_.capacity() / std::max<std::size_t>(element_size_, 1));
}

std::span<const ColumnDefinition> record_column_definitions() noexcept { return record_definitions; }
std::span<const ColumnDefinition> pulse_column_definitions() noexcept { return pulse_definitions; }

std::vector<const ColumnDefinition*> default_columns(std::span<const ColumnDefinition> definitions) {
    std::vector<const ColumnDefinition*> chosen;
    for (const ColumnDefinition& definition : definitions) {
        if (!is_header_column(definition)) chosen.push_back(&definition);
    }
    return chosen;
}

const ColumnDefinition* find_column(std::span<const ColumnDefinition> definitions, std::string_view name) noexcept {
    for (const ColumnDefinition& definition : definitions) {
        if (name == definition.name) return &definition;
    }
    return nullptr;
}

std::string unknown_column_message(std::span<const ColumnDefinition> definitions, std::string_view name) {
    std::string text = "Unknown column '" + std::string(name) + "'; the valid columns are: ";
    for (std::size_t i = 0; i < definitions.size(); ++i) {
        if (i > 0) text += ", ";
        text += definitions[i].name;
    }
    return text;
}

ColumnSet::ColumnSet(std::vector<const ColumnDefinition*> definitions) {
    columns_.reserve(definitions.size());
    for (const ColumnDefinition* definition : definitions) columns_.push_back({definition, {}});
}

void ColumnSet::allocate(std::size_t rows) {
    for (Column& column : columns_) column.buffer = ColumnBuffer(rows, element_size(column.definition->type));
}

void ColumnSet::finish(std::size_t rows) noexcept {
    for (Column& column : columns_) column.buffer.set_count(rows);
}

RecordTable ColumnSet::record_table() const noexcept {
    RecordTable t;
    t.aperture_index = pointer<std::uint64_t>("aperture_index");
    t.index = pointer<std::uint64_t>("index");
    t.aperture_x = pointer<std::uint32_t>("aperture_x");
    t.aperture_y = pointer<std::uint32_t>("aperture_y");
    t.ipd_f = pointer<std::uint16_t>("ipd_f");
    t.dur_f = pointer<std::uint16_t>("dur_f");
    t.bin0_intensity = pointer<float>("bin0_intensity");
    t.bin1_intensity = pointer<float>("bin1_intensity");
    t.bin0_bg_mean = pointer<float>("bin0_bg_mean");
    t.bin1_bg_mean = pointer<float>("bin1_bg_mean");
    t.bin0_bg_std = pointer<float>("bin0_bg_std");
    t.bin1_bg_std = pointer<float>("bin1_bg_std");
    t.start_f = pointer<std::uint32_t>("start_f");
    t.record_type = pointer<FormattedRecordType>("record_type");
    t.long_pulse_duration_f = pointer<double>("long_pulse_duration_f");
    t.event_f = pointer<double>("event_f");
    return t;
}

PulseTable ColumnSet::pulse_table() const noexcept {
    PulseTable t;
    t.aperture_index = pointer<std::uint64_t>("aperture_index");
    t.index = pointer<std::uint64_t>("index");
    t.aperture_x = pointer<std::uint32_t>("aperture_x");
    t.aperture_y = pointer<std::uint32_t>("aperture_y");
    t.start_f = pointer<std::uint32_t>("start_f");
    t.end_f = pointer<std::uint32_t>("end_f");
    t.dur_f = pointer<std::uint32_t>("dur_f");
    t.dur_s = pointer<float>("dur_s");
    t.ipd_f = pointer<std::uint32_t>("ipd_f");
    t.ipd_s = pointer<float>("ipd_s");
    t.snr = pointer<float>("snr");
    t.intensity = pointer<float>("intensity");
    t.bin0_intensity = pointer<float>("bin0_intensity");
    t.intensity_display = pointer<float>("intensity_display");
    t.binratio = pointer<float>("binratio");
    t.bg_mean = pointer<float>("bg_mean");
    t.bg_std = pointer<float>("bg_std");
    t.bin0_bg_mean = pointer<float>("bin0_bg_mean");
    t.bin0_bg_std = pointer<float>("bin0_bg_std");
    return t;
}

ColumnSet summary_columns() {
    std::vector<const ColumnDefinition*> definitions;
    for (const ColumnDefinition& definition : summary_definitions) definitions.push_back(&definition);
    return ColumnSet(std::move(definitions));
}

SummaryTable summary_table(const ColumnSet& c) noexcept {
    SummaryTable t;
    t.aperture_index = c.pointer<std::uint64_t>("aperture_index");
    t.aperture_x = c.pointer<std::uint32_t>("aperture_x");
    t.aperture_y = c.pointer<std::uint32_t>("aperture_y");
    t.num_records = c.pointer<std::uint64_t>("num_records");
    t.num_pulses = c.pointer<std::uint64_t>("num_pulses");
    // The kinds but pulses, in code order, follow num_pulses.
    for (std::size_t k = 1; k < formatted_record_type_count; ++k) {
        t.num_kind[k] = c.pointer<std::uint64_t>(summary_definitions[4 + k].name);
    }
    t.first_start_s = c.pointer<double>("first_start_s");
    t.last_end_s = c.pointer<double>("last_end_s");
    t.mean_dur_s = c.pointer<double>("mean_dur_s");
    t.mean_ipd_s = c.pointer<double>("mean_ipd_s");
    t.mean_intensity = c.pointer<double>("mean_intensity");
    t.mean_snr = c.pointer<double>("mean_snr");
    t.mean_bg_std = c.pointer<double>("mean_bg_std");
    return t;
}

void fill_pulse_rates(ColumnSet& c, double run_seconds) noexcept {
    const auto* pulses = c.pointer<std::uint64_t>("num_pulses");
    auto* rates = c.pointer<double>("pulse_rate_hz");
    if (pulses == nullptr || rates == nullptr) return;
    const std::size_t n = c.columns().empty() ? 0 : c.columns().front().buffer.count();
    for (std::size_t i = 0; i < n; ++i) rates[i] = static_cast<double>(pulses[i]) / run_seconds;
}

}  // namespace kvt::python
