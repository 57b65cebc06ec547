// Speed of the reading core: decoding records, reading an aperture's pulses
// and opening a file with many apertures.
//
//   BM_DecodeRecords     1,000,000 in-memory records decoded a piece at a time
//                        (items_per_second: records per second).
//   BM_DecodeRecordsAllocating  the same into a new vector of FormattedRecord.
//   BM_GetPulses, BM_GetAllRecords  the core's per-aperture calls on one
//                        page-cached aperture of 1,000,000 records.
//   BM_ReadPlanPulses, BM_ReadPlanRecords, BM_SummarizePlan  the same
//                        aperture read into the columns of a table, or
//                        summarized, on 1 or 2 threads (the argument).
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
#include "pulse_reader/plan_reader.hpp"
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
    const auto piece = std::make_unique<kvt::RecordPiece>();
    for (auto _ : state) {
        kvt::decode_block_pieces(block.record_bytes(), reader.encoding_records(), *piece,
                                 [](const kvt::RecordPiece& decoded) { benchmark::DoNotOptimize(decoded.value); });
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(block.header.num_records));
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

/// Columns for one aperture of 1,000,000 records, allocated once.
struct Columns {
    explicit Columns(std::size_t rows) : rows_(rows) {}
    template <class T>
    T* column() {
        buffers_.emplace_back(rows_ * sizeof(T));
        return buffers_.back().template as<T>();
    }
    std::size_t rows_;
    std::vector<kvt::LargeBuffer> buffers_;
};

kvt::BlockPlan plan_of(const kvt::PulseReader& reader, std::uint64_t aperture) {
    return kvt::plan_blocks(reader, std::span(&aperture, 1), kvt::PlanHeaders::infer).value();
}

/// Reading an aperture into the pulses' columns and "aperture_index", as the
/// Python module does, on as many threads as the argument says.
void BM_ReadPlanPulses(benchmark::State& state) {
    const kvt::PulseReader reader = kvt::PulseReader::open(large_apertures_file()).value();
    Columns columns(large_aperture_records);
    kvt::PulseTable table;
    table.aperture_index = columns.column<std::uint64_t>();
    table.index = columns.column<std::uint64_t>();
    for (std::uint32_t** c : {&table.start_f, &table.end_f, &table.dur_f, &table.ipd_f}) {
        *c = columns.column<std::uint32_t>();
    }
    for (float** c : {&table.dur_s, &table.ipd_s, &table.snr, &table.intensity, &table.bin0_intensity,
                      &table.intensity_display, &table.binratio, &table.bg_mean, &table.bg_std, &table.bin0_bg_mean,
                      &table.bin0_bg_std}) {
        *c = columns.column<float>();
    }
    kvt::PlanReading how;
    how.threads = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        auto rows = kvt::read_plan_pulses(
            reader, plan_of(reader, 2), [&](std::size_t) -> kvt::Result<kvt::PulseTable> { return table; }, how);
        if (!rows) state.SkipWithError("read_plan_pulses failed");
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{large_aperture_records});
}
BENCHMARK(BM_ReadPlanPulses)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadPlanRecords(benchmark::State& state) {
    const kvt::PulseReader reader = kvt::PulseReader::open(large_apertures_file()).value();
    Columns columns(large_aperture_records);
    kvt::RecordTable table;
    table.ipd_f = columns.column<std::uint16_t>();
    table.dur_f = columns.column<std::uint16_t>();
    for (float** c : {&table.bin0_intensity, &table.bin1_intensity, &table.bin0_bg_mean, &table.bin1_bg_mean,
                      &table.bin0_bg_std, &table.bin1_bg_std}) {
        *c = columns.column<float>();
    }
    table.start_f = columns.column<std::uint32_t>();
    table.record_type = columns.column<kvt::FormattedRecordType>();
    table.long_pulse_duration_f = columns.column<double>();
    table.event_f = columns.column<double>();
    kvt::PlanReading how;
    how.threads = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        auto rows = kvt::read_plan_records(
            reader, plan_of(reader, 3), [&](std::size_t) -> kvt::Result<kvt::RecordTable> { return table; }, how);
        if (!rows) state.SkipWithError("read_plan_records failed");
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{large_aperture_records});
}
BENCHMARK(BM_ReadPlanRecords)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

/// Summarizing an aperture, on as many threads as the argument says.
void BM_SummarizePlan(benchmark::State& state) {
    const kvt::PulseReader reader = kvt::PulseReader::open(large_apertures_file()).value();
    Columns columns(1);
    kvt::SummaryTable table;
#define KVT_BENCH_COLUMN(name, type, unit, meaning) table.name = columns.column<type>();
    KVT_SUMMARY_COLUMNS(KVT_BENCH_COLUMN, KVT_BENCH_COLUMN, KVT_NO_COLUMN)
#undef KVT_BENCH_COLUMN
    kvt::PlanReading how;
    how.threads = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        auto rows = kvt::summarize_plan(
            reader, plan_of(reader, 2), [&](std::size_t) -> kvt::Result<kvt::SummaryTable> { return table; }, how);
        if (!rows) state.SkipWithError("summarize_plan failed");
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{large_aperture_records});
}
BENCHMARK(BM_SummarizePlan)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

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
        reader = kvt::Error(kvt::ErrorCode::internal, "closed");  // the reader's teardown belongs to the open
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
