// A coverage-guided fuzz target for the core: the input is a pulse file. It is
// recovered into a new file, which must open; opened, its apertures listed,
// every aperture's records and pulses read with and without a filter (plans of
// one block on two threads), the pulses and summaries of every aperture read
// as one plan in small units on three threads, every readable aperture copied
// to a new file that is opened again, and the input merged with itself.
// Nothing may crash, leak, hang or allocate by a count the file cannot back.
//
// Built with -DKVT_FUZZ=ON (clang) as kvt_fuzz_pulse_file; the test program
// links it too and replays the seed corpus in corpus/ (see ReplayCorpus).
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "pulse_filter/pulse_filter.hpp"
#include "pulse_reader/file_merge.hpp"
#include "pulse_reader/plan_rows.hpp"
#include "pulse_reader/pulse_reader.hpp"
#include "pulse_reader/recovery.hpp"

namespace {

/// A folder of this process's own for the files of one input, removed at exit.
const std::string& scratch_folder() {
    static const std::string folder = [] {
        std::string pattern = std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/kvt-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        return pattern;
    }();
    static const int removal = std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(scratch_folder(), ignored);
    });
    (void)removal;
    return folder;
}

void read_every_aperture(const kvt::PulseReader& reader, std::vector<std::uint64_t>* readable) {
    kvt::PulseFilter filter;
    filter.min_snr = 1.0F;
    filter.mask_s = std::pair(0.5F, 2.0F);
    filter.recalc_ipd = true;
    std::vector<std::uint64_t> apertures = reader.index().apertures();
    if (apertures.size() > 64) apertures.resize(64);
    for (const std::uint64_t aperture : apertures) {
        const auto records = reader.get_all_records(aperture, 2);
        (void)reader.get_pulses(aperture, nullptr, 2);
        (void)reader.get_pulses(aperture, &filter, 2);
        if (records && readable != nullptr) readable->push_back(aperture);
    }
    // Every aperture in one plan, cut into small units for three threads, the
    // damaged apertures and those whose pulses are out of order skipped.
    kvt::PlanReading how;
    how.filter = &filter;
    how.threads = 3;
    how.unit_records = 64;
    how.skip_unreadable = true;
    const std::vector<std::uint64_t> all = kvt::lookup_apertures(reader.index());
    kvt::OwnedColumns columns;
    if (auto plan = kvt::plan_blocks(reader, all, kvt::PlanHeaders::infer, kvt::DamagedBlocks::mark)) {
        (void)kvt::read_plan_pulses(
            reader, *plan, [&](std::size_t n) -> kvt::Result<kvt::PulseTable> { return columns.pulses(n); }, how);
        (void)kvt::summarize_plan(
            reader, *plan, [&](std::size_t n) -> kvt::Result<kvt::SummaryTable> { return columns.summaries(n); }, how);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = scratch_folder() + "/input.bin";
    const std::string copy = scratch_folder() + "/copy.bin";
    const std::string merged = scratch_folder() + "/merged.bin";
    if (std::FILE* file = std::fopen(input.c_str(), "wb")) {
        if (size != 0 && std::fwrite(data, 1, size, file) != size) std::abort();
        std::fclose(file);
    }
    const std::string recovered = scratch_folder() + "/recovered.bin";
    ::unlink(recovered.c_str());
    if (kvt::recover_pulse_file(input, recovered, size % 2 == 1)) {
        auto again = kvt::PulseReader::open(recovered);
        if (!again) std::abort();
        read_every_aperture(*again, nullptr);
    }
    ::unlink(recovered.c_str());
    auto reader = kvt::PulseReader::open(input);
    if (!reader) return 0;
    std::vector<std::uint64_t> readable;
    read_every_aperture(*reader, &readable);

    std::sort(readable.begin(), readable.end());
    readable.erase(std::unique(readable.begin(), readable.end()), readable.end());
    ::unlink(copy.c_str());
    if (!readable.empty() && reader->copy_apertures_to_new_file(readable, copy)) {
        if (auto again = kvt::PulseReader::open(copy)) read_every_aperture(*again, nullptr);
    }
    ::unlink(merged.c_str());
    const kvt::PulseReader* twice[] = {&*reader, &*reader};
    if (kvt::merge_pulse_files(twice, merged)) {
        if (auto again = kvt::PulseReader::open(merged)) read_every_aperture(*again, nullptr);
    }
    ::unlink(copy.c_str());
    ::unlink(merged.c_str());
    return 0;
}
