// An open pulse file.
//
// Opening reads and checks everything that is not aperture data (header,
// encoding records, metadata, index) and keeps it; each later request for an
// aperture is a plan of its block (an index lookup), read by the plan reader.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cancellation.hpp"
#include "pulse_filter/pulse_filter.hpp"
#include "pulse_reader/file.hpp"
#include "pulse_reader/headers/aperture_header.hpp"
#include "pulse_reader/headers/pulse_file_header.hpp"
#include "pulse_reader/headers/pulse_file_index.hpp"
#include "pulse_reader/metadata.hpp"
#include "pulse_reader/records/formatted_record.hpp"
#include "pulse_reader/records/normalized_pulse.hpp"
#include "result.hpp"

namespace kvt {

struct ApertureRecords {
    std::vector<FormattedRecord> records;
    ApertureHeader header;
};

struct AperturePulses {
    std::vector<NormalizedPulse> pulses;
    ApertureHeader header;
};

class PulseReader {
public:
    /// Opens and checks the file at `path`; the first failing check is reported.
    static Result<PulseReader> open(const std::string& path);

    /// The decoded records of aperture `aperture_index` with its block header:
    /// a plan of the one block, read on `threads` threads (see plan_rows.cpp).
    [[nodiscard]] Result<ApertureRecords> get_all_records(std::uint64_t aperture_index, std::size_t threads = 1) const;

    /// The aperture's pulses, passed through `filter` when one is given, the same way.
    [[nodiscard]] Result<AperturePulses> get_pulses(std::uint64_t aperture_index, const PulseFilter* filter = nullptr,
                                                    std::size_t threads = 1) const;

    /// Writes a new pulse file holding the given apertures (each one the index
    /// holds, no repeats) in ascending order; see aperture_copy.cpp. Once
    /// `cancel` is cancelled the copy stops, writing nothing.
    [[nodiscard]] Status copy_apertures_to_new_file(std::span<const std::uint64_t> apertures,
                                                    const std::string& file_name,
                                                    const CancellationToken* cancel = nullptr) const;

    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    [[nodiscard]] const InputFile& file() const noexcept { return file_; }
    [[nodiscard]] const PulseFileHeader& header() const noexcept { return header_; }
    [[nodiscard]] const EncodingRecords& encoding_records() const noexcept { return encoding_records_; }
    [[nodiscard]] const std::string& metadata_text() const noexcept { return metadata_text_; }
    [[nodiscard]] const Metadata& metadata() const noexcept { return metadata_; }
    [[nodiscard]] const PulseFileIndex& index() const noexcept { return index_; }
    [[nodiscard]] float fps() const noexcept { return fps_; }
    [[nodiscard]] bool trimmed() const noexcept { return trimmed_; }

private:
    PulseReader(std::string path, InputFile file, PulseFileHeader header, EncodingRecords encoding_records,
                std::string metadata_text, Metadata metadata, PulseFileIndex index, float fps, bool trimmed);

    std::string path_;
    InputFile file_;
    PulseFileHeader header_;
    EncodingRecords encoding_records_;
    std::string metadata_text_;
    Metadata metadata_;
    PulseFileIndex index_;
    float fps_;
    bool trimmed_;
};

}  // namespace kvt
