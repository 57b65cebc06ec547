// Throughput of the two writers against `cp` of the same bytes, and the merge's
// peak memory.
//
// The inputs are built once under /tmp (page-cached by being written) and
// removed at exit: a 1 GB file of 65,536 apertures of 1,000 records for the
// copy, two 500 MB files of 32,768 apertures of 1,000 records for the merge.
// Every iteration times the writer, `cp --reflink=never` of the same number of
// bytes (coreutils 9.1 copies with read/write then) and a copy_file_range loop
// over the same bytes (the fastest plain copy here), one after the other, and
// removes the outputs untimed. The counters give each throughput and the
// ratios ratio_to_cp and ratio_to_copy_file_range (baseline time / writer
// time, so 1.0 means as fast as the baseline, above 1 faster).
//
// BM_MergePeakMemory reports how much resident memory one merge of the two
// 500 MB inputs adds, measured in a child process.
//
//   bench_writers --benchmark_filter=Copy
//   bench_writers --benchmark_filter=Merge
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <memory>
#include <numeric>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "pulse_reader/file_merge.hpp"
#include "pulse_reader/headers/byte_order.hpp"
#include "pulse_reader/pulse_reader.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t records_per_aperture = 1000;

/// A folder under /tmp for the inputs and outputs, removed at exit.
class Workspace {
public:
    Workspace() {
        std::string pattern = "/tmp/kvt-bench-writers-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
    }
    ~Workspace() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    [[nodiscard]] std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

Workspace& workspace() {
    static Workspace instance;
    return instance;
}

void put_u32(std::vector<std::byte>& out, std::uint32_t value) {
    std::byte bytes[4];
    kvt::store_le(bytes, value);
    out.insert(out.end(), bytes, bytes + 4);
}

void put_u64(std::vector<std::byte>& out, std::uint64_t value) {
    std::byte bytes[8];
    kvt::store_le(bytes, value);
    out.insert(out.end(), bytes, bytes + 8);
}

/// Writes a pulse file of rows x cols apertures, each with
/// `records_per_aperture` records of varying content.
void write_input(const std::string& path, std::uint32_t rows, std::uint32_t cols) {
    const std::string metadata = R"({"fps":100,"duration":60,"rows":)" + std::to_string(rows) +
                                 R"(,"cols":)" + std::to_string(cols) +
                                 R"(,"validWells":10,"validWellsLeft":4,"validWellsRight":6,"roi_offset_col":0,"roi_cols":)" +
                                 std::to_string(cols) + "}";
    const std::uint64_t apertures = std::uint64_t{rows} * cols;
    const std::uint64_t data_offset = (80 + metadata.size() + 15) / 16 * 16;
    const std::uint64_t block = 16 + 16 * std::uint64_t{records_per_aperture};
    const std::uint64_t index_offset = data_offset + apertures * block;

    std::vector<std::byte> head;
    put_u32(head, 0x5074564B);
    put_u32(head, 0);
    put_u64(head, apertures);
    put_u32(head, static_cast<std::uint32_t>(metadata.size()));
    head.push_back(std::byte{1});
    head.push_back(std::byte{4});
    head.push_back(std::byte{8});
    head.push_back(std::byte{0});
    put_u32(head, 0);
    put_u32(head, 16);
    put_u64(head, data_offset);
    put_u64(head, index_offset);
    head.resize(80);
    for (const char c : metadata) head.push_back(static_cast<std::byte>(c));
    head.resize(data_offset);

    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) std::abort();
    std::fwrite(head.data(), 1, head.size(), out);
    std::vector<std::byte> bytes(block);
    for (std::uint64_t n = 0; n < apertures; ++n) {
        bytes.clear();
        put_u32(bytes, static_cast<std::uint32_t>(n % cols));
        put_u32(bytes, static_cast<std::uint32_t>(n / cols));
        put_u32(bytes, static_cast<std::uint32_t>(n));
        put_u32(bytes, records_per_aperture);
        for (std::uint32_t r = 0; r < records_per_aperture * 4; ++r) put_u32(bytes, static_cast<std::uint32_t>(n * 7919 + r));
        std::fwrite(bytes.data(), 1, bytes.size(), out);
    }
    std::vector<std::byte> index;
    put_u64(index, kvt::index_magic);
    for (std::uint64_t n = 0; n < apertures; ++n) {
        put_u32(index, static_cast<std::uint32_t>(n));
        put_u64(index, data_offset + n * block);
    }
    std::fwrite(index.data(), 1, index.size(), out);
    if (std::fclose(out) != 0) std::abort();
}

const std::string& copy_input() {
    static const std::string path = [] {
        std::string name = workspace().file("copy-input.bin");
        write_input(name, 256, 256);
        return name;
    }();
    return path;
}

const std::vector<std::string>& merge_inputs() {
    static const std::vector<std::string> paths = [] {
        std::vector<std::string> names = {workspace().file("merge-input-1.bin"), workspace().file("merge-input-2.bin")};
        for (const auto& name : names) write_input(name, 128, 256);
        return names;
    }();
    return paths;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/// Time of `cp --reflink=never` of each of `sources`, to outputs removed afterwards.
double time_cp(const std::vector<std::string>& sources) {
    std::vector<std::string> targets;
    std::string command;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        targets.push_back(workspace().file("cp-output-" + std::to_string(i) + ".bin"));
        if (!command.empty()) command += " && ";
        command += "cp --reflink=never " + sources[i] + " " + targets.back();
    }
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) std::abort();
    const double elapsed = seconds_since(start);
    for (const auto& target : targets) fs::remove(target);
    return elapsed;
}

/// Time of copying each of `sources` with a copy_file_range loop (what a cp
/// that copies inside the kernel does), to outputs removed afterwards.
double time_kernel_copy(const std::vector<std::string>& sources) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> targets;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        targets.push_back(workspace().file("kernel-copy-output-" + std::to_string(i) + ".bin"));
        const int in = ::open(sources[i].c_str(), O_RDONLY | O_CLOEXEC);
        const int out = ::open(targets.back().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (in < 0 || out < 0) std::abort();
        while (true) {
            const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, std::size_t{1} << 30, 0);
            if (copied < 0) std::abort();
            if (copied == 0) break;
        }
        ::close(in);
        if (::close(out) != 0) std::abort();
    }
    const double elapsed = seconds_since(start);
    for (const auto& target : targets) fs::remove(target);
    return elapsed;
}

void report(benchmark::State& state, double writer_seconds, double cp_seconds, double kernel_seconds,
            std::uint64_t bytes) {
    const double gb = static_cast<double>(bytes) / 1e9;
    state.counters["copy_file_range_GBps"] = gb * static_cast<double>(state.iterations()) / kernel_seconds;
    state.counters["ratio_to_copy_file_range"] = kernel_seconds / writer_seconds;
    state.counters["writer_GBps"] = gb * static_cast<double>(state.iterations()) / writer_seconds;
    state.counters["cp_GBps"] = gb * static_cast<double>(state.iterations()) / cp_seconds;
    state.counters["ratio_to_cp"] = cp_seconds / writer_seconds;
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes) * state.iterations());
}

void BM_CopyAllApertures(benchmark::State& state) {
    const std::string& input = copy_input();
    auto reader = kvt::PulseReader::open(input);
    if (!reader) {
        state.SkipWithError(reader.error().message().c_str());
        return;
    }
    const std::vector<std::uint64_t>& apertures = reader->index().apertures();
    const std::string output = workspace().file("copy-output.bin");
    const std::uint64_t bytes = fs::file_size(input);
    double writer_seconds = 0;
    double cp_seconds = 0;
    double kernel_seconds = 0;
    for (auto _ : state) {
        cp_seconds += time_cp({input});
        kernel_seconds += time_kernel_copy({input});
        const auto start = std::chrono::steady_clock::now();
        kvt::Status copied = reader->copy_apertures_to_new_file(apertures, output);
        const double elapsed = seconds_since(start);
        if (!copied) {
            state.SkipWithError(copied.error().message().c_str());
            return;
        }
        if (fs::file_size(output) != bytes) state.SkipWithError("the copy is not the size of its source");
        fs::remove(output);
        writer_seconds += elapsed;
        state.SetIterationTime(elapsed);
    }
    report(state, writer_seconds, cp_seconds, kernel_seconds, bytes);
}
BENCHMARK(BM_CopyAllApertures)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);

void BM_MergeTwoFiles(benchmark::State& state) {
    const auto& inputs = merge_inputs();
    std::vector<kvt::PulseReader> readers;
    for (const auto& input : inputs) {
        auto reader = kvt::PulseReader::open(input);
        if (!reader) {
            state.SkipWithError(reader.error().message().c_str());
            return;
        }
        readers.push_back(std::move(reader).value());
    }
    std::vector<const kvt::PulseReader*> pointers;
    for (const auto& reader : readers) pointers.push_back(&reader);
    const std::string output = workspace().file("merge-output.bin");
    std::uint64_t bytes = 0;
    for (const auto& input : inputs) bytes += fs::file_size(input);
    double writer_seconds = 0;
    double cp_seconds = 0;
    double kernel_seconds = 0;
    for (auto _ : state) {
        cp_seconds += time_cp(inputs);
        kernel_seconds += time_kernel_copy(inputs);
        const auto start = std::chrono::steady_clock::now();
        kvt::Status merged = kvt::merge_pulse_files(pointers, output);
        const double elapsed = seconds_since(start);
        if (!merged) {
            state.SkipWithError(merged.error().message().c_str());
            return;
        }
        fs::remove(output);
        writer_seconds += elapsed;
        state.SetIterationTime(elapsed);
    }
    report(state, writer_seconds, cp_seconds, kernel_seconds, bytes);
}
BENCHMARK(BM_MergeTwoFiles)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);

/// A value in kB from /proc/self/status, such as "VmHWM" or "VmRSS".
long status_kb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    }
    return -1;
}

/// Peak resident memory that one merge adds, measured in a child process: the
/// readers are opened, the peak is reset to the current size (clear_refs 5),
/// the merge runs, and the new peak minus the size before is reported.
void BM_MergePeakMemory(benchmark::State& state) {
    const auto& inputs = merge_inputs();
    const std::string output = workspace().file("merge-memory-output.bin");
    double added_mib = 0;
    std::uint64_t metadata_bytes = 0;
    for (auto _ : state) {
        int pipe_fds[2];
        if (::pipe(pipe_fds) != 0) std::abort();
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(pipe_fds[0]);
            std::vector<kvt::PulseReader> readers;
            for (const auto& input : inputs) readers.push_back(kvt::PulseReader::open(input).value());
            std::vector<const kvt::PulseReader*> pointers;
            for (const auto& reader : readers) pointers.push_back(&reader);
            long result[2] = {-1, static_cast<long>(readers.front().metadata_text().size())};
            // Free heap memory left by the parent would be reused unseen.
            ::malloc_trim(0);
            {
                std::ofstream reset("/proc/self/clear_refs");
                reset << "5";
            }
            const long before = status_kb("VmRSS");
            if (kvt::merge_pulse_files(pointers, output)) result[0] = status_kb("VmHWM") - before;
            if (::write(pipe_fds[1], result, sizeof result) != sizeof result) ::_exit(1);
            ::_exit(0);
        }
        ::close(pipe_fds[1]);
        long result[2] = {-1, 0};
        if (::read(pipe_fds[0], result, sizeof result) != sizeof result) result[0] = -1;
        ::close(pipe_fds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        fs::remove(output);
        if (result[0] < 0) {
            state.SkipWithError("the merge failed in the child process");
            return;
        }
        added_mib = std::max(added_mib, static_cast<double>(result[0]) / 1024.0);
        metadata_bytes = static_cast<std::uint64_t>(result[1]);
    }
    state.counters["peak_rss_added_MiB"] = added_mib;
    state.counters["metadata_bytes"] = static_cast<double>(metadata_bytes);
}
BENCHMARK(BM_MergePeakMemory)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
