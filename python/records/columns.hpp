// Column buffers of tables of records, pulses and summaries.
//
// Each column of a table is gathered once into a buffer of its own type; the
// buffer is later lent to NumPy in place. A `ColumnSet` is the columns a call
// asked for, in the order asked; it hands the core reader the pointers of a
// RecordTable or PulseTable, with null for every column not asked for.
// Allocating and filling the buffers touches no Python object, so it runs
// without the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pulse_reader/large_buffer.hpp"
#include "pulse_reader/plan_reader.hpp"

namespace kvt::python {

/// What a column holds; "kind" is a FormattedRecordType code per row.
enum class ColumnType : std::uint8_t { u16, u32, u64, f32, f64, kind };

[[nodiscard]] std::size_t element_size(ColumnType type) noexcept;

/// A column of a table, from its list in table_columns.hpp.
struct ColumnDefinition {
    const char* name;
    ColumnType type;
    const char* unit;     ///< "" for a number without one
    const char* meaning;  ///< one line for the data dictionary
    bool by_name_only;    ///< the block header's columns, not in the default columns
};

/// A column's memory: room for `capacity` elements of `element_size` bytes,
/// the first count() of which hold the column.
class ColumnBuffer {
public:
    ColumnBuffer() = default;
    /// Throws std::bad_alloc when the memory cannot be had.
    ColumnBuffer(std::size_t capacity, std::size_t element_size);

    template <class T>
    [[nodiscard]] T* as() const noexcept {
        return memory_.as<T>();
    }
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

struct Column {
    const ColumnDefinition* definition = nullptr;
    ColumnBuffer buffer;
};

/// The columns of a records table, in their default order: the aperture's
/// number, the record's position, then the columns of get_all_records; the
/// block header's aperture_x and aperture_y only when asked for by name.
std::span<const ColumnDefinition> record_column_definitions() noexcept;
/// The columns of a pulses table likewise, with the pulse columns.
std::span<const ColumnDefinition> pulse_column_definitions() noexcept;
/// The summary table's columns.
std::span<const ColumnDefinition> summary_column_definitions() noexcept;
/// The columns that a table gives when none are named (all but the header's).
std::vector<const ColumnDefinition*> default_columns(std::span<const ColumnDefinition> definitions);
/// The definition named `name`, or null.
const ColumnDefinition* find_column(std::span<const ColumnDefinition> definitions, std::string_view name) noexcept;
/// "Unknown column 'x'; the valid columns are: a, b, ..."
std::string unknown_column_message(std::span<const ColumnDefinition> definitions, std::string_view name);

class ColumnSet {
public:
    ColumnSet() = default;
    explicit ColumnSet(std::vector<const ColumnDefinition*> definitions);

    /// Room for `rows` rows in every column (throws std::bad_alloc).
    void allocate(std::size_t rows);
    /// Keeps the first `rows` rows of every column.
    void finish(std::size_t rows) noexcept;

    [[nodiscard]] RecordTable record_table() const noexcept;
    [[nodiscard]] PulseTable pulse_table() const noexcept;

    [[nodiscard]] std::vector<Column>& columns() noexcept { return columns_; }

    /// The buffer of the column named `name` as T*, or null.
    template <class T>
    T* pointer(std::string_view name) const noexcept {
        for (const Column& column : columns_) {
            if (name == column.definition->name) return column.buffer.as<T>();
        }
        return nullptr;
    }

private:
    std::vector<Column> columns_;
};

/// The summary table's columns, all of them.
ColumnSet summary_columns();
/// Where the core writes them: every column but "pulse_rate_hz".
SummaryTable summary_table(const ColumnSet& columns) noexcept;
/// "pulse_rate_hz": "num_pulses" divided by the run's duration in seconds.
void fill_pulse_rates(ColumnSet& columns, double run_seconds) noexcept;

}  // namespace kvt::python
