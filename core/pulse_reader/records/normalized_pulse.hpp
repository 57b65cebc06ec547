// Pulses with absolute frames, derived from an aperture's decoded records.
//
// Records store frame increments: a record's `ipd_f` counts frames since the
// end of the latest pulse, or since the latest other record, or since frame 0.
// Normalization walks the records with a frame counter and turns every pulse
// record into a pulse. All frame arithmetic is u32 and wraps; all float
// arithmetic is single precision, with IEEE results for zero divisors.
//
// Like records, pulses are made a piece at a time, one array per field
// (PulsePiece); NormalizedPulse is one row of a piece.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "pulse_reader/records/formatted_record.hpp"
#include "pulse_reader/table_columns.hpp"

namespace kvt {

/// One pulse: the fields of the pulse columns (table_columns.hpp), in order.
struct NormalizedPulse {
#define KVT_PULSE_FIELD(name, type, unit, meaning) type name{};
    KVT_PULSE_COLUMNS(KVT_NO_COLUMN, KVT_PULSE_FIELD, KVT_NO_COLUMN)
#undef KVT_PULSE_FIELD
};

/// The pulses of a piece of records, a field per array, in the order of
/// NormalizedPulse: row j is the j-th pulse. The fields made from record
/// values that were not decoded (see RecordPiece::values) keep what they held.
struct PulsePiece {
    static constexpr std::size_t capacity = RecordPiece::capacity;

    std::size_t count = 0;
#define KVT_PULSE_ARRAY(name, type, unit, meaning) std::array<type, capacity> name;
    KVT_PULSE_COLUMNS(KVT_NO_COLUMN, KVT_PULSE_ARRAY, KVT_NO_COLUMN)
#undef KVT_PULSE_ARRAY

    [[nodiscard]] NormalizedPulse row(std::size_t j) const noexcept;
    void set_row(std::size_t j, const NormalizedPulse& pulse) noexcept;
    /// Row `from` copied onto row `to`.
    void move_row(std::size_t from, std::size_t to) noexcept;
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
    /// Normalizes the next records of the aperture: `out` becomes their
    /// pulses, with the fields that the records' decoded values make.
    void add(const RecordPiece& records, PulsePiece& out) noexcept;
    [[nodiscard]] const PulseRun& run() const noexcept { return run_; }

private:
    float fps_;
    PulseRun run_;
};

}  // namespace kvt
