// Speed of the reading core: decoding records, reading an aperture's pulses
// and opening a file with many apertures.
//
//   BM_DecodeRecords     1,000,000 in-memory records decoded into FormattedRecord
//                        values (items_per_second: records per second).
//   BM_GetPulses         get_pulses of one page-cached aperture of 1,000,000
//                        records: read, decode, normalize.
//   BM_ReadPulseColumns  the same aperture read straight into the pulses'
//                        columns and "aperture_index" (argument 0: split
//                        between two threads; otherwise on one thread)
//   BM_ReadRecordColumns the same for the records' columns
//   BM_MovePulseBytes    what memory allows for BM_ReadPulseColumns/0: the
//                        same block read and the same columns filled, on two
//                        threads, without decoding
//   BM_OpenManyApertures PulseReader::open of a file of 2,000,000 apertures,
//                        each time next to opening the same file and reading
//                        its index bytes with a single read; the ratio of the
//                        two (ratio_to_index_read) is what counts.
//
// Run: build/bench/benchmarks/bench_core (add --benchmark_repetitions=5 for
// medians).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_support.hpp"
#include "pulse_reader/pulse_reader.hpp"
#include "pulse_reader/records/formatted_record.hpp"

namespace {

using kvt::bench::median;

constexpr std::uint32_t large_aperture_records = 1'000'000;

kvt::bench::Workspace& workspace() {
    static kvt::bench::Workspace instance("kvt-bench-core");
    return instance;
}

/// A file of four apertures of 1,000,000 acquisition-like records each.
const std::string& large_apertures_file() {
    static const std::string path = [] {
        std::string name = workspace().file("large-apertures.bin");
        kvt::bench::write_pulse_file(name, {.rows = 2,
                                            .cols = 2,
                                            .records_per_aperture = large_aperture_records,
                                            .make_record = kvt::bench::acquisition_record});
        return name;
    }();
    return path;
}

/// A file of 2,000,000 empty apertures: all of its size is blocks and index.
const std::string& many_apertures_file() {
    static const std::string path = [] {
        std::string name = workspace().file("many-apertures.bin");
        kvt::bench::write_pulse_file(name, {.rows = 1000, .cols = 2000, .records_per_aperture = 0});
        return name;
    }();
    return path;
}

void BM_DecodeRecords(benchmark::State& state) {
    const kvt::PulseReader reader = kvt::PulseReader::open(large_apertures_file()).value();
    const kvt::RawBlock block = reader.read_block(1).value();
    std::vector<kvt::FormattedRecord> records(block.header.num_records);
    for (auto _ : state) {
        kvt::decode_records_into(block.record_bytes(), reader.encoding_records(), 0, records);
        benchmark::DoNotOptimize(records.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(records.size()));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(block.record_bytes().size()));
}
BENCHMARK(BM_DecodeRecords)->Unit(benchmark::kMillisecond);

/// Decoding into a new vector each time, as get_all_records does.
void BM_DecodeRecordsAllocating(benchmark::State& state) {
    const kvt::PulseReader reader = kvt::PulseReader::open(large_apertures_file()).value();
    const kvt::RawBlock block = reader.read_block(1).value();
    for (auto _ : state) {
        std::vector<kvt::FormattedRecord> records = kvt::decode_records(block.record_bytes(), reader.encoding_records());
        benchmark::DoNotOptimize(records.data());
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{block.header.num_records});
}
BENCHMARK(BM_DecodeRecordsAllocating)->Unit(benchmark::kMillisecond);

void BM_GetPulses(benchmark::State& state) {
    const kvt::PulseReader reader = kvt::PulseReader::open(large_apertures_file()).value();
    if (!reader.get_pulses(2)) state.SkipWithError("get_pulses failed");  // also brings the block into the page cache
    for (auto _ : state) {
        kvt::Result<kvt::AperturePulses> pulses = reader.get_pulses(2);
        benchmark::DoNotOptimize(pulses->pulses.data());
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{large_aperture_records});
}
BENCHMARK(BM_GetPulses)->Unit(benchmark::kMillisecond);

void BM_GetAllRecords(benchmark::State& state) {
    const kvt::PulseReader reader = kvt::PulseReader::open(large_apertures_file()).value();
    if (!reader.get_all_records(3)) state.SkipWithError("get_all_records failed");
    for (auto _ : state) {
        kvt::Result<kvt::ApertureRecords> records = reader.get_all_records(3);
        benchmark::DoNotOptimize(records->records.data());
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{large_aperture_records});
}
BENCHMARK(BM_GetAllRecords)->Unit(benchmark::kMillisecond);

/// Column buffers for one aperture of 1,000,000 records, allocated once.
struct Columns {
    explicit Columns(std::size_t rows) : rows_(rows) {}
    template <class T>
    T* column() {
        buffers_.emplace_back(rows_ * sizeof(T));
        value_sizes_.push_back(sizeof(T));
        return buffers_.back().template as<T>();
    }
    /// The pulses' columns, and "aperture_index" when `aperture_index` is given.
    kvt::PulseColumnPointers pulses(std::optional<std::uint64_t> aperture_index = std::nullopt) {
        kvt::PulseColumnPointers out{
            column<std::uint64_t>(), column<std::uint32_t>(), column<std::uint32_t>(), column<std::uint32_t>(),
            column<float>(),         column<std::uint32_t>(), column<float>(),         column<float>(),
            column<float>(),         column<float>(),         column<float>(),         column<float>(),
            column<float>(),         column<float>(),         column<float>(),         column<float>()};
        if (aperture_index) {
            out.aperture_index = column<std::uint64_t>();
            out.aperture_number = *aperture_index;
        }
        return out;
    }
    std::size_t rows_;
    std::vector<kvt::LargeBuffer> buffers_;
    std::vector<std::size_t> value_sizes_;  ///< of each buffer's values
};

/// Reading an aperture straight into the pulses' columns and "aperture_index",
/// as the Python module does; split_from 0 lets two threads share the block,
/// the largest size keeps it on one.
void BM_ReadPulseColumns(benchmark::State& state) {
    const kvt::PulseReader reader = kvt::PulseReader::open(large_apertures_file()).value();
    const kvt::BlockPlace place = reader.locate_block(2).value();
    Columns columns(place.header.num_records);
    const kvt::PulseColumnPointers out = columns.pulses(2);
    const kvt::ColumnReading how{.split_from = static_cast<std::size_t>(state.range(0))};
    for (auto _ : state) {
        kvt::Result<std::size_t> count = reader.read_pulse_columns(place, nullptr, out, how);
        if (!count) state.SkipWithError("read_pulse_columns failed");
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{large_aperture_records});
}
BENCHMARK(BM_ReadPulseColumns)->Arg(0)->Arg(SIZE_MAX >> 1)->Unit(benchmark::kMillisecond);

/// The reference for BM_ReadPulseColumns/0: two threads each read half of the
/// same block a chunk at a time and fill their rows of the same columns with a
/// constant, a piece at a time, as the decoder does, without decoding.
void BM_MovePulseBytes(benchmark::State& state) {
    const kvt::PulseReader reader = kvt::PulseReader::open(large_apertures_file()).value();
    const kvt::BlockPlace place = reader.locate_block(2).value();
    const std::size_t records = place.header.num_records;
    Columns columns(records);
    const kvt::ColumnReading how{};
    const kvt::PulseColumnPointers out = columns.pulses(2);
    // As many rows as the decoder writes, spread over the block as its
    // pulses are.
    const std::size_t rows = reader.read_pulse_columns(place, nullptr, out, how).value();
    const auto half = [&](std::size_t first, std::size_t last) {
        const kvt::LargeBuffer chunk(how.chunk_records * kvt::event_record_size);
        for (std::size_t at = first; at < last; at += how.chunk_records) {
            const std::size_t n = std::min(how.chunk_records, last - at);
            if (!reader.file().read_exact_at(place.records_at + at * kvt::event_record_size,
                                             std::span(chunk.data(), n * kvt::event_record_size))) {
                std::abort();
            }
            const std::size_t from = at * rows / records;
            const std::size_t to = (at + n) * rows / records;
            for (std::size_t piece = from; piece < to; piece += kvt::decoding_piece) {
                const std::size_t end = std::min(piece + kvt::decoding_piece, to);
                for (std::size_t k = 0; k < columns.buffers_.size(); ++k) {
                    const std::size_t size = columns.value_sizes_[k];
                    std::memset(columns.buffers_[k].data() + piece * size, static_cast<int>(at & 0xFF),
                                (end - piece) * size);
                }
            }
        }
    };
    for (auto _ : state) {
        std::thread helper(half, records / 2, records);
        half(0, records / 2);
        helper.join();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{large_aperture_records});
}
BENCHMARK(BM_MovePulseBytes)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadRecordColumns(benchmark::State& state) {
    const kvt::PulseReader reader = kvt::PulseReader::open(large_apertures_file()).value();
    const kvt::BlockPlace place = reader.locate_block(3).value();
    Columns columns(place.header.num_records);
    const kvt::RecordColumnPointers out{
        columns.column<std::uint16_t>(), columns.column<std::uint16_t>(), columns.column<float>(),
        columns.column<float>(),         columns.column<float>(),         columns.column<float>(),
        columns.column<float>(),         columns.column<float>(),         columns.column<std::uint32_t>(),
        columns.column<kvt::FormattedRecordType>(), columns.column<double>(), columns.column<double>()};
    const kvt::ColumnReading how{.split_from = static_cast<std::size_t>(state.range(0))};
    for (auto _ : state) {
        if (!reader.read_record_columns(place, out, how)) state.SkipWithError("read_record_columns failed");
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{large_aperture_records});
}
BENCHMARK(BM_ReadRecordColumns)->Arg(0)->Arg(SIZE_MAX >> 1)->Unit(benchmark::kMillisecond);

/// The floor for opening: the file opened, its index bytes read with one read
/// into a new buffer, and closed. Returns the seconds taken.
double time_read_index_bytes(const std::string& path, std::uint64_t index_offset, std::uint64_t index_size) {
    const auto start = std::chrono::steady_clock::now();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    auto bytes = std::make_unique_for_overwrite<std::byte[]>(index_size);
    const ssize_t got = ::pread(fd, bytes.get(), index_size, static_cast<off_t>(index_offset));
    benchmark::DoNotOptimize(bytes.get());
    ::close(fd);
    const double elapsed = kvt::bench::seconds_since(start);
    if (got != static_cast<ssize_t>(index_size)) std::abort();
    return elapsed;
}

/// Times `open` and, right after it in the same iteration, the floor, so that
/// both see the same state of this shared machine; the ratio of their medians
/// is `ratio_to_index_read` (at most 2 is the aim).
void BM_OpenManyApertures(benchmark::State& state) {
    const std::string& path = many_apertures_file();
    const kvt::PulseReader probe = kvt::PulseReader::open(path).value();
    const std::uint64_t index_offset = probe.header().index_offset;
    const std::uint64_t index_size = std::filesystem::file_size(path) - index_offset;
    std::vector<double> opens;
    std::vector<double> reads;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        kvt::Result<kvt::PulseReader> reader = kvt::PulseReader::open(path);
        benchmark::DoNotOptimize(reader->index().size());
        reader = kvt::Error("closed");  // the reader's teardown belongs to the open
        const double elapsed = kvt::bench::seconds_since(start);
        opens.push_back(elapsed);
        state.SetIterationTime(elapsed);
        reads.push_back(time_read_index_bytes(path, index_offset, index_size));
    }
    state.counters["open_ms"] = median(opens) * 1e3;
    state.counters["index_read_ms"] = median(reads) * 1e3;
    state.counters["ratio_to_index_read"] = median(opens) / median(reads);
    state.SetItemsProcessed(state.iterations() * 2'000'000);
}
BENCHMARK(BM_OpenManyApertures)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(200);

}  // namespace
