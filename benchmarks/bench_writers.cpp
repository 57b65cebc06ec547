// Throughput of the two writers against `cp` of the same bytes, and the merge's
// peak memory.
//
// The inputs are built once under /tmp (page-cached by being written, then
// read once untimed) and removed at exit: a 1 GB file of 65,536 apertures of
// 1,000 records for the copy, two 500 MB files of 32,768 apertures of 1,000
// records for the merge. Every iteration times the writer, `cp --reflink=never`
// of the same number of bytes (coreutils 9.1 copies with read/write then) and
// a copy_file_range loop over the same bytes (the fastest plain copy here), in
// an order that rotates from one iteration to the next, removing each output
// and syncing untimed. The writers fsync their new file before giving it its
// name, so both baselines fsync their outputs too, inside the timing: every
// contender pays for putting its bytes on stable storage. The counters give each one's throughput in its median
// round and the ratios ratio_to_cp and ratio_to_copy_file_range (median
// baseline time / median writer time, so 1.0 means as fast as the baseline,
// above 1 faster).
//
// BM_MergePeakMemory reports how much resident memory one merge of the two
// 500 MB inputs adds, measured in a child process.
//
//   bench_writers --benchmark_filter=Copy
//   bench_writers --benchmark_filter=Merge
#include <benchmark/benchmark.h>

#include <algorithm>
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

#include "bench_support.hpp"
#include "pulse_reader/file_merge.hpp"
#include "pulse_reader/pulse_reader.hpp"

namespace {

using kvt::bench::median;

namespace fs = std::filesystem;
using kvt::bench::seconds_since;

constexpr std::uint32_t records_per_aperture = 1000;

kvt::bench::Workspace& workspace() {
    static kvt::bench::Workspace instance("kvt-bench-writers");
    return instance;
}

/// Writes a pulse file of rows x cols apertures of `records_per_aperture`
/// records each.
void write_input(const std::string& path, std::uint32_t rows, std::uint32_t cols) {
    kvt::bench::write_pulse_file(path, {.rows = rows, .cols = cols, .records_per_aperture = records_per_aperture});
}

/// Lets the kernel finish with the removed outputs (untimed), so that no
/// measurement pays for the write-back of the one before.
void settle() { ::sync(); }

/// Runs the three measurements of one iteration, starting with a different
/// one each round: none always runs after the others.
template <class A, class B, class C>
void run_in_turn(std::size_t round, A&& a, B&& b, C&& c) {
    switch (round % 3) {
        case 0:
            a();
            b();
            c();
            break;
        case 1:
            b();
            c();
            a();
            break;
        default:
            c();
            a();
            b();
            break;
    }
}

/// Flushes the file at `path` to stable storage.
void sync_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) std::abort();
    ::close(fd);
}

/// Time of `cp --reflink=never` of each of `sources` and an fsync of each
/// output, to outputs removed afterwards.
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
    for (const auto& target : targets) sync_file(target);
    const double elapsed = seconds_since(start);
    for (const auto& target : targets) fs::remove(target);
    settle();
    return elapsed;
}

/// Time of copying each of `sources` with a copy_file_range loop (what a cp
/// that copies inside the kernel does) and an fsync of each output, to
/// outputs removed afterwards.
double time_kernel_copy(const std::vector<std::string>& sources, bool sync = true) {
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
        if (sync && ::fsync(out) != 0) std::abort();
        if (::close(out) != 0) std::abort();
    }
    const double elapsed = seconds_since(start);
    for (const auto& target : targets) fs::remove(target);
    settle();
    return elapsed;
}

/// The first pass over a freshly written file costs here up to ten times a
/// later one, whatever does the reading (seen with a plain copy_file_range
/// loop too). One untimed pass, so that every measurement reads the file
/// page-cached and settled.
void warm_up(const std::vector<std::string>& sources) { (void)time_kernel_copy(sources, false); }

const std::string& copy_input() {
    static const std::string path = [] {
        std::string name = workspace().file("copy-input.bin");
        write_input(name, 256, 256);
        warm_up({name});
        return name;
    }();
    return path;
}

const std::vector<std::string>& merge_inputs() {
    static const std::vector<std::string> paths = [] {
        std::vector<std::string> names = {workspace().file("merge-input-1.bin"), workspace().file("merge-input-2.bin")};
        for (const auto& name : names) write_input(name, 128, 256);
        warm_up(names);
        return names;
    }();
    return paths;
}

/// Seconds of one round of each contender.
struct Rounds {
    std::vector<double> writer;
    std::vector<double> cp;
    std::vector<double> kernel;
};

/// Throughputs and ratios from the median round of each contender: on this
/// shared machine a round now and then takes several times as long, for
/// whichever contender happens to run then, and one such round would
/// otherwise decide a mean.
void report(benchmark::State& state, const Rounds& rounds, std::uint64_t bytes) {
    const double gb = static_cast<double>(bytes) / 1e9;
    const double writer = median(rounds.writer);
    const double cp = median(rounds.cp);
    const double kernel = median(rounds.kernel);
    state.counters["writer_GBps"] = gb / writer;
    state.counters["cp_GBps"] = gb / cp;
    state.counters["copy_file_range_GBps"] = gb / kernel;
    state.counters["ratio_to_cp"] = cp / writer;
    state.counters["ratio_to_copy_file_range"] = kernel / writer;
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
    Rounds rounds;
    std::size_t round = 0;
    for (auto _ : state) {
        double elapsed = 0;
        auto writer = [&] {
            const auto start = std::chrono::steady_clock::now();
            kvt::Status copied = reader->copy_apertures_to_new_file(apertures, output);
            elapsed = seconds_since(start);
            if (!copied) state.SkipWithError(copied.error().message().c_str());
            else if (fs::file_size(output) != bytes) state.SkipWithError("the copy is not the size of its source");
            fs::remove(output);
            settle();
        };
        run_in_turn(
            round++, writer, [&] { rounds.cp.push_back(time_cp({input})); },
            [&] { rounds.kernel.push_back(time_kernel_copy({input})); });
        if (state.error_occurred()) return;
        rounds.writer.push_back(elapsed);
        state.SetIterationTime(elapsed);
    }
    report(state, rounds, bytes);
}
BENCHMARK(BM_CopyAllApertures)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(9);

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
    Rounds rounds;
    std::size_t round = 0;
    for (auto _ : state) {
        double elapsed = 0;
        auto writer = [&] {
            const auto start = std::chrono::steady_clock::now();
            kvt::Status merged = kvt::merge_pulse_files(pointers, output);
            elapsed = seconds_since(start);
            if (!merged) state.SkipWithError(merged.error().message().c_str());
            fs::remove(output);
            settle();
        };
        run_in_turn(
            round++, writer, [&] { rounds.cp.push_back(time_cp(inputs)); },
            [&] { rounds.kernel.push_back(time_kernel_copy(inputs)); });
        if (state.error_occurred()) return;
        rounds.writer.push_back(elapsed);
        state.SetIterationTime(elapsed);
    }
    report(state, rounds, bytes);
}
BENCHMARK(BM_MergeTwoFiles)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(9);

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
