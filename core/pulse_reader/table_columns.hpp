// The columns of the records, pulses and summary tables, declared once.
//
// Each list below names every column of a table in its order, with its C++
// type (which fixes its dtype), its unit and its meaning. The lists are
// X-macros: a list takes one macro per source of values, and every entry is
// handed to the macro of its source as (name, type, unit, meaning). The core's
// tables (RecordTable, PulseTable, SummaryTable), the unit columns of the plan
// reader and their copy loops, PulsePiece and NormalizedPulse, the module's
// column definitions, its data dictionary and the Arrow schemas all expand
// these lists, so that a new column is one line here (plus the code that
// computes its value, where it is new).
//
// Units: "frames" counts frames of the instrument's camera (the suffix _f),
// "seconds" is frames divided by the run's frames per second, fps (the
// suffix _s), "minutes" the same divided by 60 (the suffix _m, filter bounds
// only). An empty unit is a number without one (a position, a code).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pulse_reader/records/formatted_record.hpp"

namespace kvt {

/// The eight record kinds, by FormattedRecordType code: their word and what
/// the instrument's pulse caller means by them.
struct RecordKind {
    std::string_view word;
    std::string_view meaning;
};

inline constexpr std::array<RecordKind, formatted_record_type_count> record_kinds{{
    {"pulse", "a pulse: light above the background for dur_f frames, with its measurements"},
    {"padding", "filler that moves the frame counter by ipd_f (65535) and carries no event"},
    {"long_pulse_update", "news of a long pulse: its duration so far, long_pulse_duration_f frames (32 bits wide)"},
    {"long_pulse_dropped", "a long pulse dropped after long_pulse_duration_f frames; it gives no pulse"},
    {"step_up", "a step up of the aperture's level, at frame event_f"},
    {"step_down", "a step down of the aperture's level, at frame event_f"},
    {"background", "the aperture's background level and noise (bg_mean, bg_std) at this frame"},
    {"unknown", "a record of a kind this reader does not know; its words are given raw"},
}};

/// The record kind code that a summary's column "num_<word>" counts, or
/// formatted_record_type_count when the name is not such a column.
constexpr std::size_t counted_kind(std::string_view column) noexcept {
    for (std::size_t k = 0; k < record_kinds.size(); ++k) {
        if (column.size() == 4 + record_kinds[k].word.size() && column.substr(0, 4) == "num_" &&
            column.substr(4) == record_kinds[k].word) {
            return k;
        }
    }
    return formatted_record_type_count;
}

// ---------------------------------------------------------------------------
// Records: one row per record of an aperture's block, in block order.
//   APERTURE  the aperture's number
//   RECORD    a column of the decoded records of the same name
//   VALUE     a measurement, RecordValue <name>_value of the record
//   FRAMES    the 32-bit frame count of words 4 and 5, where the kind has it
//   HEADER    a field of the block header of the same name (asked for by name only)
#define KVT_RECORD_COLUMNS(APERTURE, RECORD, VALUE, FRAMES, HEADER)                                                 \
    APERTURE(aperture_index, std::uint64_t, "", "the aperture's number, the key of the file's index")               \
    RECORD(index, std::uint64_t, "", "the record's position in its aperture's records, from 0, every kind counted") \
    RECORD(ipd_f, std::uint16_t, "frames",                                                                          \
           "word 0: frames from the frame the previous record reached (a pulse its end, other kinds their own "     \
           "frame; 0 before the first) to this record's frame")                                                     \
    RECORD(dur_f, std::uint16_t, "frames", "word 1: a pulse's duration; 0 in every other kind")                     \
    VALUE(bin0_intensity, float, "intensity", "the signal in time bin 0 of the record's frame, above background")   \
    VALUE(bin1_intensity, float, "intensity", "the signal in time bin 1, above background")                         \
    VALUE(bin0_bg_mean, float, "intensity", "the mean background in bin 0")                                         \
    VALUE(bin1_bg_mean, float, "intensity", "the mean background in bin 1")                                         \
    VALUE(bin0_bg_std, float, "intensity",                                                                          \
          "the background's standard deviation in bin 0; -3, -2, -5, -6 mark the long-pulse and step kinds")        \
    VALUE(bin1_bg_std, float, "intensity", "the background's standard deviation in bin 1")                          \
    RECORD(start_f, std::uint32_t, "frames",                                                                        \
           "the running sum of ipd_f within the aperture's block, wrapping at 2**32 (pulses' durations not "        \
           "added)")                                                                                                \
    RECORD(record_type, FormattedRecordType, "", "the record's kind, one of the eight words")                       \
    FRAMES(long_pulse_duration_f, double, "frames",                                                                 \
           "a long pulse's frames so far (long_pulse_update, long_pulse_dropped); NaN in other kinds")              \
    FRAMES(event_f, double, "frames", "the frame of a background step (step_up, step_down); NaN in other kinds")    \
    HEADER(aperture_x, std::uint32_t, "", "the aperture's column on the sensor, from its block header")             \
    HEADER(aperture_y, std::uint32_t, "", "the aperture's row on the sensor, from its block header")

// ---------------------------------------------------------------------------
// Pulses: one row per pulse record, frames counted from frame 0 of the
// aperture's record stream.
//   APERTURE  the aperture's number
//   PULSE     a field of the normalized pulses (PulsePiece) of the same name
//   HEADER    a field of the block header (asked for by name only)
#define KVT_PULSE_COLUMNS(APERTURE, PULSE, HEADER)                                                                 \
    APERTURE(aperture_index, std::uint64_t, "", "the aperture's number, the key of the file's index")              \
    PULSE(index, std::uint64_t, "", "the pulse record's position among all the aperture's records, from 0")        \
    PULSE(start_f, std::uint32_t, "frames", "the pulse's first frame")                                             \
    PULSE(end_f, std::uint32_t, "frames", "start_f + dur_f: the frame just after the pulse")                       \
    PULSE(dur_f, std::uint32_t, "frames", "the pulse's duration")                                                  \
    PULSE(dur_s, float, "seconds", "the pulse's duration: dur_f / fps")                                            \
    PULSE(ipd_f, std::uint32_t, "frames",                                                                          \
          "inter-pulse duration: start_f minus the previous pulse's end_f (of the pulses kept, with recalc_ipd); " \
          "0 for the first")                                                                                       \
    PULSE(ipd_s, float, "seconds", "ipd_f / fps")                                                                  \
    PULSE(snr, float, "ratio", "signal-to-noise ratio: bin1_intensity / bin1_bg_std")                              \
    PULSE(intensity, float, "intensity", "the pulse's signal above background: bin1_intensity")                    \
    PULSE(bin0_intensity, float, "intensity", "the signal in time bin 0")                                          \
    PULSE(intensity_display, float, "intensity", "the total signal, for display: bin1_intensity + bin1_bg_mean")   \
    PULSE(binratio, float, "ratio", "bin0_intensity / bin1_intensity: how the light splits between the two bins")  \
    PULSE(bg_mean, float, "intensity", "the mean background: bin1_bg_mean")                                        \
    PULSE(bg_std, float, "intensity", "the background's standard deviation: bin1_bg_std")                          \
    PULSE(bin0_bg_mean, float, "intensity", "the mean background in bin 0")                                        \
    PULSE(bin0_bg_std, float, "intensity", "the background's standard deviation in bin 0")                         \
    HEADER(aperture_x, std::uint32_t, "", "the aperture's column on the sensor, from its block header")            \
    HEADER(aperture_y, std::uint32_t, "", "the aperture's row on the sensor, from its block header")

// ---------------------------------------------------------------------------
// Summary: one row per aperture, over the pulses that the filter keeps.
//   SUMMARY   a field of ApertureSummary of the same name
//   KIND      the count of records of the kind named after "num_" (unfiltered)
//   RATE      made by the module from the other columns and the run's duration
#define KVT_SUMMARY_COLUMNS(SUMMARY, KIND, RATE)                                                              \
    SUMMARY(aperture_index, std::uint64_t, "", "the aperture's number, the key of the file's index")          \
    SUMMARY(aperture_x, std::uint32_t, "", "the aperture's column on the sensor, from its block header")      \
    SUMMARY(aperture_y, std::uint32_t, "", "the aperture's row on the sensor, from its block header")         \
    SUMMARY(num_records, std::uint64_t, "records", "the aperture's records, every kind")                      \
    SUMMARY(num_pulses, std::uint64_t, "pulses", "the pulses the filter keeps")                               \
    KIND(num_padding, std::uint64_t, "records", "padding records")                                            \
    KIND(num_long_pulse_update, std::uint64_t, "records", "long_pulse_update records")                        \
    KIND(num_long_pulse_dropped, std::uint64_t, "records", "long_pulse_dropped records")                      \
    KIND(num_step_up, std::uint64_t, "records", "step_up records")                                            \
    KIND(num_step_down, std::uint64_t, "records", "step_down records")                                        \
    KIND(num_background, std::uint64_t, "records", "background records")                                      \
    KIND(num_unknown, std::uint64_t, "records", "records of unknown kind")                                    \
    SUMMARY(first_start_s, double, "seconds", "start_f / fps of the first kept pulse; NaN without one")       \
    SUMMARY(last_end_s, double, "seconds", "end_f / fps of the last kept pulse; NaN without one")             \
    SUMMARY(mean_dur_s, double, "seconds", "the mean dur_s of the kept pulses; NaN without one")              \
    SUMMARY(mean_ipd_s, double, "seconds",                                                                    \
            "the mean ipd_s of the kept pulses after the first; NaN with fewer than two")                     \
    SUMMARY(mean_intensity, double, "intensity", "the mean intensity of the kept pulses, over finite values") \
    SUMMARY(mean_snr, double, "ratio", "the mean snr of the kept pulses, over finite values")                 \
    SUMMARY(mean_bg_std, double, "intensity", "the mean bg_std of the kept pulses, over finite values")       \
    RATE(pulse_rate_hz, double, "hertz", "num_pulses divided by the run's duration in seconds")

/// A column entry expanded to nothing, for the sources a user skips.
#define KVT_NO_COLUMN(name, type, unit, meaning)

}  // namespace kvt
