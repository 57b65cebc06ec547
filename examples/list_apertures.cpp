// Opens a pulse file and prints what it holds: its frame rate, whether the
// pulse caller trimmed boundary frames, and each aperture with its record count.
#include <cstdio>
#include <string>

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
    for (std::uint64_t aperture : reader->index().apertures()) {
        auto pulses = reader->get_pulses(aperture);
        if (!pulses) {
            std::printf("aperture %llu: %s\n", static_cast<unsigned long long>(aperture),
                        pulses.error().message().c_str());
            continue;
        }
        std::printf("aperture %llu (x %u, y %u): %u records, %zu pulses\n",
                    static_cast<unsigned long long>(aperture), pulses->header.aperture_x, pulses->header.aperture_y,
                    pulses->header.num_records, pulses->pulses.size());
    }
    return 0;
}
