// Speed of the reading core: decoding records, reading an aperture's pulses
// and opening a file with many apertures.
//
//   BM_DecodeRecords     1,000,000 in-memory records decoded a piece at a time
//                        (items_per_second: records per second).
//   BM_DecodeRecordsAllocating  the same into a new vector of FormattedRecord.
//   BM_GetPulses, BM_GetAllRecords  the core's per-aperture calls (plans of
//                        one block, rows as structs) on one page-cached
//                        aperture of 1,000,000 records, on 1 or 2 threads.
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
#include "pulse_reader/plan_rows.hpp"
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

kvt::BlockPlan plan_of(const kvt::PulseReader& reader, std::uint64_t aperture) {
    return kvt::plan_blocks(reader, std::span(&aperture, 1), kvt::PlanHeaders::infer).value();
}

/// The record bytes of an aperture's block, read into memory.
std::vector<std::byte> block_records(const kvt::PulseReader& reader, std::uint64_t aperture) {
    const kvt::PlannedBlock block = plan_of(reader, aperture).blocks.front();
    std::vector<std::byte> bytes(std::size_t{16} * block.num_records);
    if (!reader.file().read_exact_at(block.records_at(), bytes)) std::abort();
    return bytes;
}

void BM_DecodeRecords(benchmark::State& state) {
    const kvt::PulseReader reader = kvt::PulseReader::open(large_apertures_file()).value();
    const std::vector<std::byte> block = block_records(reader, 1);
    const auto piece = std::make_unique<kvt::RecordPiece>();
    for (auto _ : state) {
        kvt::decode_block_pieces(block, reader.encoding_records(), *piece,
                                 [](const kvt::RecordPiece& decoded) { benchmark::DoNotOptimize(decoded.value); });
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{large_aperture_records});
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(block.size()));
}
BENCHMARK(BM_DecodeRecords)->Unit(benchmark::kMillisecond);

/// Decoding into a new vector of FormattedRecord each time.
void BM_DecodeRecordsAllocating(benchmark::State& state) {
    const kvt::PulseReader reader = kvt::PulseReader::open(large_apertures_file()).value();
    const std::vector<std::byte> block = block_records(reader, 1);
    for (auto _ : state) {
        std::vector<kvt::FormattedRecord> records = kvt::decode_records(block, reader.encoding_records());
        benchmark::DoNotOptimize(records.data());
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{large_aperture_records});
}
BENCHMARK(BM_DecodeRecordsAllocating)->Unit(benchmark::kMillisecond);

/// The per-aperture calls (plans of one block, rows as structs), on as many
/// threads as the argument says.
void BM_GetPulses(benchmark::State& state) {
    const kvt::PulseReader reader = kvt::PulseReader::open(large_apertures_file()).value();
    const auto threads = static_cast<std::size_t>(state.range(0));
    if (!reader.get_pulses(2)) state.SkipWithError("get_pulses failed");  // also brings the block into the page cache
    for (auto _ : state) {
        kvt::Result<kvt::AperturePulses> pulses = reader.get_pulses(2, nullptr, threads);
        benchmark::DoNotOptimize(pulses->pulses.data());
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{large_aperture_records});
}
BENCHMARK(BM_GetPulses)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GetAllRecords(benchmark::State& state) {
    const kvt::PulseReader reader = kvt::PulseReader::open(large_apertures_file()).value();
    const auto threads = static_cast<std::size_t>(state.range(0));
    if (!reader.get_all_records(3)) state.SkipWithError("get_all_records failed");
    for (auto _ : state) {
        kvt::Result<kvt::ApertureRecords> records = reader.get_all_records(3, threads);
        benchmark::DoNotOptimize(records->records.data());
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{large_aperture_records});
}
BENCHMARK(BM_GetAllRecords)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

/// Reads an aperture's plan into columns allocated once, on as many threads
/// as the argument says: `read(reader, plan, make_table, how)` with
/// `table(columns)` the table of every column.
template <class Table>
void read_plan_case(benchmark::State& state, std::uint64_t aperture, std::size_t rows, auto read, auto table) {
    const kvt::PulseReader reader = kvt::PulseReader::open(large_apertures_file()).value();
    kvt::OwnedColumns columns;
    const Table made = table(columns, rows);
    kvt::PlanReading how;
    how.threads = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        auto got =
            read(reader, plan_of(reader, aperture), [&](std::size_t) -> kvt::Result<Table> { return made; }, how);
        if (!got) state.SkipWithError("the plan's read failed");
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{large_aperture_records});
}

/// Reading an aperture into every pulse column, as the Python module does.
void BM_ReadPlanPulses(benchmark::State& state) {
    read_plan_case<kvt::PulseTable>(state, 2, large_aperture_records, kvt::read_plan_pulses,
                                    [](kvt::OwnedColumns& c, std::size_t n) { return c.pulses(n); });
}
BENCHMARK(BM_ReadPlanPulses)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadPlanRecords(benchmark::State& state) {
    read_plan_case<kvt::RecordTable>(state, 3, large_aperture_records, kvt::read_plan_records,
                                     [](kvt::OwnedColumns& c, std::size_t n) { return c.records(n); });
}
BENCHMARK(BM_ReadPlanRecords)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

/// Summarizing an aperture.
void BM_SummarizePlan(benchmark::State& state) {
    read_plan_case<kvt::SummaryTable>(state, 2, 1, kvt::summarize_plan,
                                      [](kvt::OwnedColumns& c, std::size_t n) { return c.summaries(n); });
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
