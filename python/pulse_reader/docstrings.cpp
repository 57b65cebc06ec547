#include "pulse_reader/docstrings.hpp"

#include <span>
#include <string>

#include "pulse_reader/table_columns.hpp"
#include "records/columns.hpp"

namespace kvt::python::docs {

namespace {

#define KVT_FILTER_ARGUMENTS                                                                                \
    "* `pulse_filter` - a PulseFilter to apply instead of the reader's default filter (default None).\n"    \
    "* `pulse_filter_kwargs` - a dict of PulseFilter keywords to apply instead (default None); not both.\n" \
    "  Without either, the reader's default filter applies, if it has one.\n"

#define KVT_APERTURES_ARGUMENT                                                                           \
    "* `apertures` - aperture numbers to read, in the order given (repeats included): any iterable of\n" \
    "  integers or a NumPy integer array; None (default) for every aperture in index order.\n"

#define KVT_THREADS_ARGUMENT                                                                              \
    "* `threads` - threads to read with, at least 1; None (default) for every CPU the process may use.\n" \
    "  The result does not depend on it.\n"

#define KVT_ERRORS_ARGUMENT                                                                                      \
    "* `errors` - \"raise\" (default) or \"skip\": whether an aperture that cannot be read soundly (its block\n" \
    "  starts or ends past the end of the file, or its pulses are out of order for the filter) fails the\n"      \
    "  call or gives no rows; skipped ones are listed in attrs[\"skipped_apertures\"] and, in the same\n"        \
    "  order, attrs[\"skipped_reasons\"].\n"

#define KVT_RECORD_ERRORS_ARGUMENT                                                                                \
    "* `errors` - \"raise\" (default) or \"skip\": whether an aperture whose block starts or ends past the end\n" \
    "  of the file fails the call or gives no rows; skipped ones are listed in attrs[\"skipped_apertures\"]\n"    \
    "  and, in the same order, attrs[\"skipped_reasons\"].\n"

#define KVT_BATCH_ARGUMENT                                                                                   \
    "* `batch_records` - records per batch (default 1000000): a batch holds whole apertures and is closed\n" \
    "  once it holds at least this many records.\n"

#define KVT_COLUMNS_ARGUMENT(table)                                                                         \
    "* `columns` - names of the columns to give, in order (default None: every column but aperture_x and\n" \
    "  aperture_y); see COLUMNS[\"" table "\"] or `kvt-pulses columns " table "`.\n"

#define KVT_READ_RAISES                                                                                     \
    "# Raises\n\n"                                                                                          \
    "RuntimeError when the reader is closed or busy, an aperture is not in the file, a block is damaged\n"  \
    "or cut short, or the pulses are out of order for the filter; TypeError, ValueError or OverflowError\n" \
    "for an argument of the wrong type or value; MemoryError; KeyboardInterrupt on Ctrl-C, which stops\n"   \
    "the read at once and leaves the reader usable.\n"

}  // namespace

const char* const get_all_records =
    "get_all_records($self, aperture_index)\n--\n\n"
    "Every record of one aperture, decoded.\n\n"
    "# Arguments\n\n"
    "* `aperture_index` - the aperture's number (an integer, 0 to 2**64-1).\n\n"
    "# Returns\n\n"
    "A pandas DataFrame, one row per record in block order, indexed by the record's position `index`,\n"
    "with the columns of COLUMNS[\"records\"] after aperture_index and index (record_type a column of\n"
    "words); its `attrs` hold the aperture's number, column, row and block position and the run's\n"
    "source, analysis_id, frame_dur_s (seconds), run_dur_f (frames) and run_dur_s (seconds).\n\n"
    "# Raises\n\n"
    "RuntimeError when the reader is closed or busy, the aperture is not in the file, or its block is\n"
    "damaged or cut short; TypeError or OverflowError for a number of the wrong type or range.\n\n"
    "# Examples\n\n"
    "```python\n"
    "from kvt_pulse_reader import PulseReader\n"
    "reader = PulseReader(\"path/to/pulses.bin\")\n"
    "records = reader.get_all_records(0)\n"
    "```";

const char* const get_pulses =
    "get_pulses($self, aperture_index, include_aperture_index=True, pulse_filter=None, pulse_filter_kwargs=None)\n"
    "--\n\n"
    "The pulses of one aperture, optionally filtered.\n\n"
    "# Arguments\n\n"
    "* `aperture_index` - the aperture's number (an integer).\n"
    "* `include_aperture_index` - whether to add an \"aperture_index\" column holding it (default "
    "True).\n" KVT_FILTER_ARGUMENTS
    "  Keywords such as min_dur_f, min_dur_s, max_dur_s, min_snr and min_intensity: help(PulseFilter)\n"
    "  lists them all.\n\n"
    "# Returns\n\n"
    "A pandas DataFrame of the pulses, the columns of COLUMNS[\"pulses\"] (frames counted from frame 0,\n"
    "seconds = frames / fps). Its index gives, for each pulse, the position of its record in the full set\n"
    "of the aperture's records, non-pulse records included; `attrs` as in get_all_records.\n\n"
    "# Raises\n\n"
    "RuntimeError (\"Failed to get pulses: ...\") when the reader is closed or busy, the aperture is not\n"
    "in the file, its block is damaged, or its pulses are out of order for the filter; also when both\n"
    "filter arguments are given; TypeError for an argument of the wrong type.\n\n"
    "# Examples\n\n"
    "```python\n"
    "from kvt_pulse_reader import PulseReader\n"
    "reader = PulseReader(\"path/to/pulses.bin\")\n"
    "pulses = reader.get_pulses(0)\n"
    "bright = reader.get_pulses(0, pulse_filter_kwargs={\"min_snr\": 5.0})\n"
    "```";

const char* const copy_apertures =
    "copy_apertures_to_new_file($self, apertures, file_name, ignore_missing_apertures=False)\n--\n\n"
    "Copy the chosen apertures into a new pulse file, with this file's header, encoding records and\n"
    "metadata; the new file's index lists them in ascending order.\n\n"
    "# Arguments\n\n"
    "* `apertures` - aperture numbers to copy: a sequence of integers or a NumPy integer array.\n"
    "* `file_name` - the new file (str or os.PathLike); it must not be this reader's file.\n"
    "* `ignore_missing_apertures` - skip numbers the file does not hold instead of failing (default False).\n\n"
    "# Returns\n\n"
    "None.\n\n"
    "# Raises\n\n"
    "RuntimeError when the reader is closed or busy, apertures are missing (\"The following apertures were\n"
    "not found in the file: ...\"), or the new file cannot be written; TypeError for arguments of the wrong\n"
    "type.\n\n"
    "# Examples\n\n"
    "```python\n"
    "from kvt_pulse_reader import PulseReader\n"
    "reader = PulseReader(\"path/to/pulses.bin\")\n"
    "reader.copy_apertures_to_new_file([0, 1], \"new_pulses.bin\", ignore_missing_apertures=True)\n"
    "```";

const char* const read_pulses =
    "read_pulses($self, apertures=None, pulse_filter=None, pulse_filter_kwargs=None, *, columns=None, threads=None, "
    "errors=\"raise\")\n--\n\n"
    "Read the pulses of many apertures (every aperture by default) into one DataFrame.\n\n"
    "# Arguments\n\n" KVT_APERTURES_ARGUMENT KVT_FILTER_ARGUMENTS KVT_COLUMNS_ARGUMENT("pulses")
        KVT_THREADS_ARGUMENT KVT_ERRORS_ARGUMENT
    "\n"
    "# Returns\n\n"
    "A pandas DataFrame with \"aperture_index\", \"index\" and the pulse columns of `get_pulses`, aperture\n"
    "after aperture, over a RangeIndex.\n\n" KVT_READ_RAISES
    "\n"
    "# Examples\n\n"
    "```python\n"
    "from kvt_pulse_reader import PulseReader\n"
    "pulses = PulseReader(\"path/to/pulses.bin\").read_pulses(pulse_filter_kwargs={\"min_snr\": 5.0})\n"
    "```";

const char* const read_records =
    "read_records($self, apertures=None, *, columns=None, threads=None, errors=\"raise\")\n--\n\n"
    "Read the records of many apertures (every aperture by default) into one DataFrame.\n\n"
    "# Arguments\n\n" KVT_APERTURES_ARGUMENT KVT_COLUMNS_ARGUMENT("records")
        KVT_THREADS_ARGUMENT KVT_RECORD_ERRORS_ARGUMENT
    "\n"
    "# Returns\n\n"
    "A pandas DataFrame with \"aperture_index\", \"index\" and the columns of `get_all_records`;\n"
    "\"record_type\" is a Categorical.\n\n" KVT_READ_RAISES
    "\n"
    "# Examples\n\n"
    "```python\n"
    "from kvt_pulse_reader import PulseReader\n"
    "records = PulseReader(\"path/to/pulses.bin\").read_records(range(100))\n"
    "```";

const char* const block_table =
    "block_table($self, apertures=None)\n--\n\n"
    "Where the blocks of many apertures lie, from the index and the blocks' 16-byte headers, without\n"
    "reading a record: the module's own plan of the blocks, by the index's lookup rules.\n\n"
    "# Arguments\n\n" KVT_APERTURES_ARGUMENT
    "\n"
    "# Returns\n\n"
    "A dict of three NumPy arrays, one row per aperture in the selection's order: \"aperture\" (uint64,\n"
    "the aperture's number), \"offset\" (uint64, the position of its block in the file, in bytes) and\n"
    "\"num_records\" (uint32, the records of the block, from its header).\n\n"
    "# Raises\n\n"
    "RuntimeError when the reader is closed or busy, an aperture is not in the file, or a block runs past\n"
    "the end of the file; TypeError or OverflowError for an argument of the wrong type or value.\n\n"
    "# Examples\n\n"
    "```python\n"
    "from kvt_pulse_reader import PulseReader\n"
    "blocks = PulseReader(\"path/to/pulses.bin\").block_table()\n"
    "total = int(blocks[\"num_records\"].sum())\n"
    "```";

const char* const summarize =
    "summarize($self, apertures=None, pulse_filter=None, pulse_filter_kwargs=None, *, threads=None, "
    "errors=\"raise\")\n--\n\n"
    "One row per aperture: its record kinds, and counts, times and means of the pulses the filter keeps.\n\n"
    "# Arguments\n\n" KVT_APERTURES_ARGUMENT KVT_FILTER_ARGUMENTS KVT_THREADS_ARGUMENT KVT_ERRORS_ARGUMENT
    "\n"
    "# Returns\n\n"
    "A pandas DataFrame with the columns of COLUMNS[\"summary\"] (times in seconds, pulse_rate_hz in\n"
    "pulses per second of the run), one row per aperture read.\n\n" KVT_READ_RAISES
    "\n"
    "# Examples\n\n"
    "```python\n"
    "from kvt_pulse_reader import PulseReader\n"
    "summary = PulseReader(\"path/to/pulses.bin\").summarize()\n"
    "```";

const char* const iter_pulses =
    "iter_pulses($self, apertures=None, pulse_filter=None, pulse_filter_kwargs=None, *, batch_records=1000000, "
    "columns=None, threads=None, errors=\"raise\")\n--\n\n"
    "The pulses of `read_pulses` in batches of whole apertures, each closed once it holds at least\n"
    "`batch_records` records, so that memory stays bounded by about one batch.\n\n"
    "# Arguments\n\n" KVT_APERTURES_ARGUMENT KVT_FILTER_ARGUMENTS KVT_BATCH_ARGUMENT KVT_COLUMNS_ARGUMENT("pulses")
        KVT_THREADS_ARGUMENT KVT_ERRORS_ARGUMENT
    "\n"
    "# Returns\n\n"
    "An iterator of pandas DataFrames, each like read_pulses' result for its apertures.\n\n" KVT_READ_RAISES
    "Argument errors are raised by the call, read errors by the batch that meets them.\n\n"
    "# Examples\n\n"
    "```python\n"
    "from kvt_pulse_reader import PulseReader\n"
    "for batch in PulseReader(\"path/to/pulses.bin\").iter_pulses():\n"
    "    print(len(batch))\n"
    "```";

const char* const stream_pulses =
    "stream_pulses($self, apertures=None, pulse_filter=None, pulse_filter_kwargs=None, *, batch_records=1000000, "
    "columns=None, threads=None, errors=\"raise\")\n--\n\n"
    "The batches of `iter_pulses` as a one-shot Arrow stream (the Arrow PyCapsule interface), read\n"
    "batch by batch by pyarrow, DuckDB or polars without copying the columns.\n\n"
    "# Arguments\n\n" KVT_APERTURES_ARGUMENT KVT_FILTER_ARGUMENTS KVT_BATCH_ARGUMENT KVT_COLUMNS_ARGUMENT("pulses")
        KVT_THREADS_ARGUMENT KVT_ERRORS_ARGUMENT
    "\n"
    "# Returns\n\n"
    "A stream object with __arrow_c_stream__. Numeric columns have their NumPy types and no nulls; each\n"
    "field's metadata holds its \"description\" and \"unit\".\n\n"
    "# Raises\n\n"
    "As read_pulses for the arguments. A second export of the stream raises RuntimeError; a batch read\n"
    "after the reader is closed fails with the closed-reader message. With errors=\"skip\", the stream's\n"
    "skipped_apertures and skipped_reasons list the skipped apertures, all of them once it is consumed.\n"
    "Ctrl-C fails the stream (pyarrow raises OSError) and KeyboardInterrupt follows at once.\n\n"
    "# Examples\n\n"
    "```python\n"
    "import pyarrow\n"
    "from kvt_pulse_reader import PulseReader\n"
    "table = pyarrow.table(PulseReader(\"path/to/pulses.bin\").stream_pulses())\n"
    "```";

const char* const stream_records =
    "stream_records($self, apertures=None, *, batch_records=1000000, columns=None, threads=None, "
    "errors=\"raise\")\n--\n\n"
    "The records of `read_records` as a one-shot Arrow stream of batches of whole apertures, each closed\n"
    "once it holds at least `batch_records` records. \"record_type\" is dictionary-encoded (int8 indices\n"
    "over the eight kind words in code order); \"long_pulse_duration_f\" and \"event_f\" are float64 with NaN.\n\n"
    "# Arguments\n\n" KVT_APERTURES_ARGUMENT KVT_BATCH_ARGUMENT KVT_COLUMNS_ARGUMENT("records")
        KVT_THREADS_ARGUMENT KVT_RECORD_ERRORS_ARGUMENT
    "\n"
    "# Returns\n\n"
    "A stream object with __arrow_c_stream__; each field's metadata holds its \"description\" and \"unit\".\n\n"
    "# Raises\n\n"
    "As read_records for the arguments; a second export raises RuntimeError. The stream lists skipped\n"
    "apertures as stream_pulses does.\n\n"
    "# Examples\n\n"
    "```python\n"
    "import pyarrow\n"
    "from kvt_pulse_reader import PulseReader\n"
    "reader = pyarrow.RecordBatchReader.from_stream(PulseReader(\"path/to/pulses.bin\").stream_records())\n"
    "```";

const char* const close =
    "close($self)\n--\n\n"
    "Close the pulses.bin file and give its memory back. Closing twice does nothing; every later call\n"
    "that needs the file raises RuntimeError. Raises RuntimeError while another call uses the reader.";

const char* const enter = "__enter__($self)\n--\n\nThe reader itself, for a `with` block that closes it at its end.";

const char* const exit =
    "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"
    "Close the reader at the end of a `with` block.\n\n"
    "* `_exc_type`, `_exc_value`, `_traceback` - the exception that ends the block, if any; it is not\n"
    "  suppressed.";

const char* const apertures = "The aperture numbers of the file, in index order (a list of int).";
const char* const metadata = "The file's JSON metadata block, parsed (a dict).";
const char* const trimmed =
    "Whether the pulse caller ran with boundary-frame trimming: its options (\"pulseCaller\" -> \"options\" in "
    "the metadata) include \"trim_boundary_frames\" (a bool).";

const char* const merge_pulse_files =
    "merge_pulse_files(file_names, new_file_name)\n--\n\n"
    "Merge pulse files into a new one, stacked along the sensor's rows: the apertures of the second file\n"
    "follow those of the first, renumbered past them, and so on.\n\n"
    "# Arguments\n\n"
    "* `file_names` - the files to merge, in order: a sequence of str or os.PathLike.\n"
    "* `new_file_name` - the file to write (str or os.PathLike); it must not be one of the inputs.\n\n"
    "# Returns\n\n"
    "None.\n\n"
    "# Raises\n\n"
    "RuntimeError when an input cannot be opened or read, the inputs do not agree, or the new file\n"
    "cannot be written; TypeError for arguments of the wrong type.";

const char* pulse_reader() {
    static const std::string doc = [] {
        std::string text =
            "PulseReader(file_name, pulse_filter=None, pulse_filter_kwargs=None)\n--\n\n"
            "Pulses.bin reader: opens a pulse file, checks its header, metadata and index, and reads its\n"
            "apertures' records and pulses as pandas DataFrames or Arrow streams.\n\n"
            "# Arguments\n\n"
            "* `file_name` - the file (str or os.PathLike).\n"
            "* `pulse_filter` - a PulseFilter that becomes the reader's default filter (default None).\n"
            "* `pulse_filter_kwargs` - a dict of PulseFilter keywords for the default filter instead (default\n"
            "  None); not both.\n\n"
            "# Raises\n\n"
            "RuntimeError when the file cannot be opened or its header, metadata or index is invalid, or both\n"
            "filter arguments are given; TypeError for arguments of the wrong type.\n\n"
            "# Columns\n\n"
            "Suffixes: _f counts frames, _s seconds (frames / fps, the metadata's frames per second), _m\n"
            "minutes (filter bounds). bin0 and bin1 are the two time bins of a record's measurements; a\n"
            "pulse's intensity, bg_mean and bg_std are those of bin 1. The same table is the module's COLUMNS.\n";
        const std::pair<const char*, std::span<const ColumnDefinition>> tables[] = {
            {"records", record_column_definitions()},
            {"pulses", pulse_column_definitions()},
            {"summary", summary_column_definitions()},
        };
        for (const auto& [name, definitions] : tables) {
            text += std::string("\n") + name + ":\n";
            for (const ColumnDefinition& d : definitions) {
                text += std::string("    ") + d.name + (*d.unit != '\0' ? std::string(" (") + d.unit + ")" : "") +
                        ": " + d.meaning + "\n";
            }
        }
        text += "\nRecord kinds (record_type):\n";
        for (const RecordKind& kind : record_kinds) {
            text += "    " + std::string(kind.word) + ": " + std::string(kind.meaning) + "\n";
        }
        return text;
    }();
    return doc.c_str();
}

}  // namespace kvt::python::docs
