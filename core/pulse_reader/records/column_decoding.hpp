// Decoding straight into columns.
//
// A table of records or pulses is wanted column by column (one array per
// field). These decoders write each field of every record or pulse into its
// column directly, a cache-sized piece of records at a time, without a vector
// of structures in between. They give exactly the values of decode_records
// and of PulseNormalizer. They can continue from a given state, so that the
// two halves of a block can be decoded at the same time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "pulse_reader/headers/pulse_file_header.hpp"
#include "pulse_reader/records/formatted_record.hpp"
#include "pulse_reader/records/normalized_pulse.hpp"

namespace kvt {

/// Where the records' columns are written: room for every row written.
struct RecordColumnPointers {
    std::uint16_t* ipd_f = nullptr;
    std::uint16_t* dur_f = nullptr;
    float* bin0_intensity = nullptr;
    float* bin1_intensity = nullptr;
    float* bin0_bg_mean = nullptr;
    float* bin1_bg_mean = nullptr;
    float* bin0_bg_std = nullptr;
    float* bin1_bg_std = nullptr;
    std::uint32_t* start_f = nullptr;  ///< running sum of ipd_f, wrapping
    FormattedRecordType* record_type = nullptr;
    double* long_pulse_duration_f = nullptr;  ///< NaN when absent
    double* event_f = nullptr;                ///< NaN when absent
};

/// Decodes the records of `block` into rows at, at + 1, ... of `out`.
/// "start_f" continues the running sum `start_f` of the records before;
/// returns the sum after the last record.
std::uint32_t decode_record_columns(std::span<const std::byte> block, const EncodingRecords& encodings,
                                    std::uint32_t start_f, const RecordColumnPointers& out, std::size_t at) noexcept;

/// The sum of the records' ipd_f (w0), wrapping.
std::uint32_t sum_ipd_f(std::span<const std::byte> block) noexcept;

/// Where the pulses' columns are written, in the order of NormalizedPulse.
struct PulseColumnPointers {
    std::uint64_t* index = nullptr;
    std::uint32_t* start_f = nullptr;
    std::uint32_t* end_f = nullptr;
    std::uint32_t* dur_f = nullptr;
    float* dur_s = nullptr;
    std::uint32_t* ipd_f = nullptr;
    float* ipd_s = nullptr;
    float* snr = nullptr;
    float* intensity = nullptr;
    float* bin0_intensity = nullptr;
    float* intensity_display = nullptr;
    float* binratio = nullptr;
    float* bg_mean = nullptr;
    float* bg_std = nullptr;
    float* bin0_bg_mean = nullptr;
    float* bin0_bg_std = nullptr;
    /// When not null, a column holding `aperture_number` on every row.
    std::uint64_t* aperture_index = nullptr;
    std::uint64_t aperture_number = 0;
};

/// The frame counter of a normalization pass at some record: the state that
/// PulseNormalizer carries from one piece to the next.
struct PulseRun {
    std::uint32_t frame = 0;         ///< the frame reached
    std::uint32_t previous_end = 0;  ///< end_f of the latest pulse
    bool have_previous = false;
    std::uint64_t pulses = 0;  ///< pulses so far

    friend bool operator==(const PulseRun&, const PulseRun&) = default;
};

/// The state after normalizing `block` from state `run`, without the pulses'
/// values: every record moves the frame by w0 + w1 (a pulse by its ipd_f and
/// its duration, any other record, whose w1 is 0, by its ipd_f alone). Reads
/// words 0 and 1 only.
PulseRun pulse_run_after(std::span<const std::byte> block, PulseRun run = {}) noexcept;

/// Decodes and normalizes the records of `block`, the first of which is
/// record `first_index` of its aperture, continuing `run`. Pulse p of the
/// aperture (counted by run.pulses) goes to row p of `out`. Returns the
/// number of pulses written.
std::size_t normalize_pulse_columns(std::span<const std::byte> block, const EncodingRecords& encodings, float fps,
                                    std::uint64_t first_index, PulseRun& run, const PulseColumnPointers& out) noexcept;

/// Writes `pulses` into rows at, at + 1, ... of `out`.
void store_pulses(std::span<const NormalizedPulse> pulses, const PulseColumnPointers& out, std::size_t at) noexcept;

}  // namespace kvt
