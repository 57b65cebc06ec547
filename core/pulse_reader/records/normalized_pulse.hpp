// Pulses with absolute frames, derived from an aperture's decoded records.
//
// Records store frame increments: a record's `ipd_f` counts frames since the
// end of the latest pulse, or since the latest other record, or since frame 0.
// Normalization walks the records with a frame counter and turns every pulse
// record into a `NormalizedPulse`. All frame arithmetic is u32 and wraps; all
// float arithmetic is single precision, with IEEE results for zero divisors.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "pulse_reader/records/formatted_record.hpp"

namespace kvt {

struct NormalizedPulse {
    std::uint64_t index = 0;  ///< the pulse record's position among all records
    std::uint32_t start_f = 0;
    std::uint32_t end_f = 0;  ///< start_f + dur_f: the frame just after the pulse
    std::uint32_t dur_f = 0;
    float dur_s = 0.0F;
    std::uint32_t ipd_f = 0;  ///< start_f minus the previous pulse's end_f; 0 for the first
    float ipd_s = 0.0F;
    float snr = 0.0F;  ///< bin1_intensity / bin1_bg_std
    float intensity = 0.0F;
    float bin0_intensity = 0.0F;
    float intensity_display = 0.0F;  ///< bin1_intensity + bin1_bg_mean
    float binratio = 0.0F;           ///< bin0_intensity / bin1_intensity
    float bg_mean = 0.0F;
    float bg_std = 0.0F;
    float bin0_bg_mean = 0.0F;
    float bin0_bg_std = 0.0F;

    static std::vector<NormalizedPulse> from_formatted_records(std::span<const FormattedRecord> records, float fps);
};

/// Where a normalization pass stands after some records of an aperture.
struct PulseRun {
    std::uint32_t frame = 0;         ///< the frame reached
    std::uint32_t previous_end = 0;  ///< end_f of the latest pulse
    bool have_previous = false;
    std::uint64_t pulses = 0;  ///< pulses so far

    friend bool operator==(const PulseRun&, const PulseRun&) = default;
};

/// The run after the records `block` (record bytes, a multiple of 16), from
/// `run`, without decoding them. A record moves the frame by its ipd_f (w0)
/// and a pulse then by its duration (w1) to its end; every other record has
/// w1 = 0. So the frame after a record is the wrapping sum of w0 + w1 over the
/// records up to it, and a pulse ends there: words 0 and 1 are all it takes.
[[nodiscard]] PulseRun pulse_run_after(std::span<const std::byte> block, PulseRun run) noexcept;

/// The wrapping sum of the records' ipd_f (w0): how far the records' own
/// "start_f" column moves over `block`.
[[nodiscard]] std::uint32_t sum_ipd_f(std::span<const std::byte> block) noexcept;

/// The frame counter of one pass over an aperture's records, so that the
/// records can be fed in consecutive pieces, from the start of the aperture or
/// from a run worked out with pulse_run_after.
class PulseNormalizer {
public:
    explicit PulseNormalizer(float fps, PulseRun from = {}) noexcept : fps_(fps), run_(from) {}
    /// Normalizes the next records of the aperture, appending its pulses to `out`.
    void add(std::span<const FormattedRecord> records, std::vector<NormalizedPulse>& out);
    [[nodiscard]] const PulseRun& run() const noexcept { return run_; }

private:
    float fps_;
    PulseRun run_;
};

/// Decodes and normalizes a block's record bytes a piece at a time (see
/// decode_block_pieces), calling `sink` with the pulses of each piece in order
/// (a span valid during the call, maybe empty): the same pulses as decoding
/// the whole block and then normalizing it, with nothing the size of the block
/// allocated.
template <class Sink>
void normalize_block_pieces(std::span<const std::byte> block, const EncodingRecords& encodings, float fps,
                            Sink&& sink) {
    std::vector<NormalizedPulse> pulses;
    pulses.reserve(std::min(block.size() / event_record_size, decoding_piece));
    PulseNormalizer normalizer(fps);
    decode_block_pieces(block, encodings, [&](std::span<const FormattedRecord> records) {
        pulses.clear();
        normalizer.add(records, pulses);
        sink(std::span<const NormalizedPulse>(pulses));
    });
}

}  // namespace kvt
