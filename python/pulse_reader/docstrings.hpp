// The help of PulseReader, its methods and merge_pulse_files: arguments with
// their units and defaults, what is returned and what is raised.
#pragma once

namespace kvt::python::docs {

extern const char* const get_all_records;
extern const char* const get_pulses;
extern const char* const copy_apertures;
extern const char* const read_pulses;
extern const char* const read_records;
extern const char* const block_table;
extern const char* const summarize;
extern const char* const iter_pulses;
extern const char* const stream_pulses;
extern const char* const stream_records;
extern const char* const close;
extern const char* const enter;
extern const char* const exit;
extern const char* const apertures;
extern const char* const metadata;
extern const char* const trimmed;
extern const char* const merge_pulse_files;

/// The class's help, with the data dictionary: every column of the records,
/// pulses and summary tables with its dtype, unit and meaning, and the
/// record kinds.
const char* pulse_reader();

}  // namespace kvt::python::docs
