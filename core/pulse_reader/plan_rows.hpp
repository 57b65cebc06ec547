// A plan's rows in columns of their own, and as structs one by one: for C++
// callers (the per-aperture reads of PulseReader, the example, the tests and
// the benchmarks) that have no column store of their own, such as the Python
// module's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pulse_reader/plan_reader.hpp"

namespace kvt {

/// Every column of a table, each in a buffer of its own.
class OwnedColumns {
public:
    /// Tables of every column with room for `rows` rows; a table made before
    /// is given up.
    [[nodiscard]] RecordTable records(std::size_t rows);
    [[nodiscard]] PulseTable pulses(std::size_t rows);
    [[nodiscard]] SummaryTable summaries(std::size_t rows);

    /// The bytes of the first `rows` rows of every column, one column after the other.
    [[nodiscard]] std::vector<std::byte> bytes(std::size_t rows) const;

private:
    template <class T>
    T* column();

    struct Column {
        std::vector<std::uint64_t> words;  // aligned for every column's type
        std::size_t value_size = 0;
    };
    std::vector<Column> columns_;
    std::size_t rows_ = 0;
};

}  // namespace kvt
