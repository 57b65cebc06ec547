// Opens a pulse file and prints what it holds: its frame rate, whether the
// pulse caller trimmed boundary frames, and each aperture with its record and
// pulse counts, from a summary of every aperture read on every CPU.
#include <cstdio>
#include <string>
#include <vector>

#include "pulse_reader/plan_rows.hpp"
#include "pulse_reader/pulse_reader.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PULSES_BIN\n", argv[0]);
        return 2;
    }
    auto reader = kvt::PulseReader::open(argv[1]);
    if (!reader) {
        std::fprintf(stderr, "%s: %s\n", argv[1], reader.error().message().c_str());
        return 1;
    }
    std::printf("fps %g, trimmed %s, %zu apertures\n", static_cast<double>(reader->fps()),
                reader->trimmed() ? "yes" : "no", reader->index().size());
    // One plan of every aperture the index can look up, summarized on every CPU.
    const std::vector<std::uint64_t> apertures = kvt::lookup_apertures(reader->index());
    auto plan = kvt::plan_blocks(*reader, apertures, kvt::PlanHeaders::infer);
    kvt::OwnedColumns columns;
    kvt::SummaryTable table;
    kvt::PlanReading how;
    how.threads = kvt::usable_cpus();
    auto rows =
        plan ? kvt::summarize_plan(
                   *reader, std::move(plan).value(),
                   [&](std::size_t n) -> kvt::Result<kvt::SummaryTable> { return table = columns.summaries(n); }, how)
             : kvt::Result<kvt::PlanRows>(plan.error());
    if (!rows) {
        std::fprintf(stderr, "%s: %s\n", argv[1], rows.error().message().c_str());
        return 1;
    }
    for (std::size_t i = 0; i < rows->rows; ++i) {
        std::printf("aperture %llu (x %u, y %u): %llu records, %llu pulses\n",
                    static_cast<unsigned long long>(table.aperture_index[i]), table.aperture_x[i], table.aperture_y[i],
                    static_cast<unsigned long long>(table.num_records[i]),
                    static_cast<unsigned long long>(table.num_pulses[i]));
    }
    return 0;
}
