#include "records/columns.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <new>
#include <type_traits>

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

template <class T>
constexpr ColumnType column_type_of() noexcept {
    if constexpr (std::is_same_v<T, std::uint16_t>) return ColumnType::u16;
    if constexpr (std::is_same_v<T, std::uint32_t>) return ColumnType::u32;
    if constexpr (std::is_same_v<T, std::uint64_t>) return ColumnType::u64;
    if constexpr (std::is_same_v<T, float>) return ColumnType::f32;
    if constexpr (std::is_same_v<T, double>) return ColumnType::f64;
    if constexpr (std::is_same_v<T, FormattedRecordType>) return ColumnType::kind;
}

// Every table's columns in the order of their lists: the first two columns of
// a whole-run table say where a row comes from; the block header's
// aperture_x and aperture_y come only when asked for by name.
#define KVT_DEFINITION(name, type, unit, meaning) ColumnDefinition{#name, column_type_of<type>(), unit, meaning, false},
#define KVT_BY_NAME(name, type, unit, meaning) ColumnDefinition{#name, column_type_of<type>(), unit, meaning, true},

constexpr std::array record_definitions = {
    KVT_RECORD_COLUMNS(KVT_DEFINITION, KVT_DEFINITION, KVT_DEFINITION, KVT_DEFINITION, KVT_BY_NAME)};
constexpr std::array pulse_definitions = {KVT_PULSE_COLUMNS(KVT_DEFINITION, KVT_DEFINITION, KVT_BY_NAME)};
constexpr std::array summary_definitions = {KVT_SUMMARY_COLUMNS(KVT_DEFINITION, KVT_DEFINITION, KVT_DEFINITION)};

#undef KVT_DEFINITION
#undef KVT_BY_NAME

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
std::span<const ColumnDefinition> summary_column_definitions() noexcept { return summary_definitions; }

std::vector<const ColumnDefinition*> default_columns(std::span<const ColumnDefinition> definitions) {
    std::vector<const ColumnDefinition*> chosen;
    for (const ColumnDefinition& definition : definitions) {
        if (!definition.by_name_only) chosen.push_back(&definition);
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

#define KVT_TABLE_POINTER(name, type, unit, meaning) t.name = pointer<type>(#name);

RecordTable ColumnSet::record_table() const noexcept {
    RecordTable t;
    KVT_RECORD_COLUMNS(KVT_TABLE_POINTER, KVT_TABLE_POINTER, KVT_TABLE_POINTER, KVT_TABLE_POINTER, KVT_TABLE_POINTER)
    return t;
}

PulseTable ColumnSet::pulse_table() const noexcept {
    PulseTable t;
    KVT_PULSE_COLUMNS(KVT_TABLE_POINTER, KVT_TABLE_POINTER, KVT_TABLE_POINTER)
    return t;
}

#undef KVT_TABLE_POINTER

ColumnSet summary_columns() {
    std::vector<const ColumnDefinition*> definitions;
    for (const ColumnDefinition& definition : summary_definitions) definitions.push_back(&definition);
    return ColumnSet(std::move(definitions));
}

SummaryTable summary_table(const ColumnSet& c) noexcept {
    SummaryTable t;
#define KVT_TABLE_POINTER(name, type, unit, meaning) t.name = c.pointer<type>(#name);
    KVT_SUMMARY_COLUMNS(KVT_TABLE_POINTER, KVT_TABLE_POINTER, KVT_NO_COLUMN)
#undef KVT_TABLE_POINTER
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
