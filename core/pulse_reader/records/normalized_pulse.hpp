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

/// The frame counter of one pass over an aperture's records, so that the
/// records can be fed in consecutive pieces.
class PulseNormalizer {
public:
    explicit PulseNormalizer(float fps) noexcept : fps_(fps) {}
    /// Normalizes the next records of the aperture, appending its pulses to `out`.
    void add(std::span<const FormattedRecord> records, std::vector<NormalizedPulse>& out);

private:
    float fps_;
    std::uint32_t counter_ = 0;
    std::uint32_t previous_end_ = 0;
    bool have_previous_ = false;
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
