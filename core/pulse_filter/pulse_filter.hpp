// Selection of pulses by optional criteria.
//
// Every bound is inclusive; a comparison involving NaN never holds, so a NaN
// value fails any bound set on it and a NaN bound rejects every pulse. The same
// pass refuses pulses that are not in strictly increasing time order.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "pulse_reader/records/normalized_pulse.hpp"
#include "result.hpp"

namespace kvt {

// The filter's keywords, declared once: the struct below, the module's
// PulseFilter class (its keywords, their conversion, its repr and help), the
// command's filter options and the stubs all come from this list. Each entry
// is (name, type, unit, meaning), handed to the macro of its kind:
//   BOUND  an optional bound of type `type`, unset by default
//   PAIR   an optional pair (first, second) of `type`
//   FLAG   a setting that is off by default
#define KVT_FILTER_KEYWORDS(BOUND, PAIR, FLAG)                                                                      \
    BOUND(min_dur_f, std::uint32_t, "frames", "keep pulses with dur_f >= this")                                     \
    BOUND(min_dur_s, float, "seconds", "keep pulses with dur_s >= this")                                            \
    BOUND(max_dur_s, float, "seconds", "keep pulses with dur_s <= this")                                            \
    BOUND(min_snr, float, "ratio", "keep pulses with snr >= this")                                                  \
    BOUND(min_intensity, float, "intensity", "keep pulses with intensity >= this")                                  \
    BOUND(min_binratio, float, "ratio", "keep pulses with binratio >= this")                                        \
    BOUND(max_binratio, float, "ratio", "keep pulses with binratio <= this")                                        \
    BOUND(start_m, float, "minutes", "keep pulses with start_f / fps / 60 >= this: starting at or after this time") \
    BOUND(end_m, float, "minutes", "keep pulses with end_f / fps / 60 <= this: ending at or before this time")      \
    PAIR(mask_s, float, "seconds", "drop pulses that touch or overlap the interval [first, second]")                \
    FLAG(recalc_ipd, bool, "", "recompute ipd_f and ipd_s over the kept pulses")

struct PulseFilter {
#define KVT_FILTER_BOUND(name, type, unit, meaning) std::optional<type> name;
#define KVT_FILTER_PAIR(name, type, unit, meaning) std::optional<std::pair<type, type>> name;
#define KVT_FILTER_FLAG(name, type, unit, meaning) type name = false;
    KVT_FILTER_KEYWORDS(KVT_FILTER_BOUND, KVT_FILTER_PAIR, KVT_FILTER_FLAG)
#undef KVT_FILTER_BOUND
#undef KVT_FILTER_PAIR
#undef KVT_FILTER_FLAG

    /// The kept pulses in input order, or "The provided pulses aren't sorted!"
    /// when a pulse starts at or before the end of the pulse before it.
    [[nodiscard]] Result<std::vector<NormalizedPulse>> filter_pulses(std::span<const NormalizedPulse> pulses,
                                                                     float fps) const;

    /// The record values that the criteria set read (through snr, intensity
    /// and binratio).
    [[nodiscard]] RecordValues values_needed() const noexcept;

    /// Whether pulse j of `pulses` meets every criterion that is set.
    [[nodiscard]] bool keeps(const PulsePiece& pulses, std::size_t j, float fps,
                             float frames_per_minute) const noexcept;

    friend bool operator==(const PulseFilter&, const PulseFilter&) = default;
};

/// One filtering pass over an aperture's pulses fed in consecutive pieces:
/// the same pulses kept, and the same error, as filter_pulses on them all.
class PulseFilterPass {
public:
    PulseFilterPass(const PulseFilter& filter, float fps) noexcept
        : filter_(filter), fps_(fps), frames_per_minute_(fps * 60.0F) {}
    /// A pass that starts in the middle of an aperture, after pulses that
    /// ended at `previous_end` (when `have_previous`); the pulses kept before
    /// are unknown, so with recalc_ipd the first pulse kept here gets ipd_f 0
    /// and is for the caller to correct.
    PulseFilterPass(const PulseFilter& filter, float fps, std::uint32_t previous_end, bool have_previous) noexcept
        : PulseFilterPass(filter, fps) {
        previous_end_ = previous_end;
        have_previous_ = have_previous;
    }

    /// Filters the next piece of pulses in place: `pulses` keeps the kept
    /// pulses, in order.
    Status add(PulsePiece& pulses);

private:
    const PulseFilter& filter_;
    float fps_;
    float frames_per_minute_;
    std::uint32_t previous_end_ = 0;  ///< end_f of the pulse before
    std::uint32_t kept_end_ = 0;      ///< end_f of the latest kept pulse
    bool have_previous_ = false;
    bool have_kept_ = false;
};

/// A piece of decoded records and one of their pulses, kept by a caller from
/// block to block (tens of KiB, so on the heap).
struct PulseScratch {
    std::unique_ptr<RecordPiece> records = std::make_unique<RecordPiece>();
    std::unique_ptr<PulsePiece> pulses = std::make_unique<PulsePiece>();
};

/// The one way from an aperture's record bytes to its pulses: decodes,
/// normalizes and filters `records` a piece at a time, starting from `start`
/// (the run before them; {} at the start of the aperture) and numbering them
/// from `first_record`. Calls `take_records(piece)` with each piece of decoded
/// records, then `take_pulses(pulses)` with its pulses that `filter` (when not
/// null) keeps, their fields made from the record `values` and those that the
/// filter reads. Stops at the filter's error and returns it.
template <class TakeRecords, class TakePulses>
Status visit_pulse_pieces(std::span<const std::byte> records, const EncodingRecords& encodings, float fps,
                          const PulseFilter* filter, const PulseRun& start, std::uint64_t first_record,
                          RecordValues values, PulseScratch& scratch, TakeRecords&& take_records,
                          TakePulses&& take_pulses) {
    PulseNormalizer normalizer(fps, start);
    std::optional<PulseFilterPass> pass;
    if (filter != nullptr) {
        pass.emplace(*filter, fps, start.previous_end, start.have_previous);
        values |= filter->values_needed();
    }
    Status status;
    // Normalization reads the values of pulses alone.
    const DecodedValues decoded{values, true};
    decode_block_pieces(
        records, encodings, *scratch.records,
        [&](const RecordPiece& piece) {
            if (!status) return;
            take_records(piece);
            normalizer.add(piece, *scratch.pulses);
            if (pass) status = pass->add(*scratch.pulses);
            if (status) take_pulses(static_cast<const PulsePiece&>(*scratch.pulses));
        },
        first_record, decoded);
    return status;
}

}  // namespace kvt
