// merge_pulse_files: several pulse files stacked along the row axis.
//
// Layout of the merged file:
//
//   0                 the first input's header, with num_apertures,
//                     metadata_length, data_offset and index_offset recomputed
//   48                the first input's 8 encoding records
//   80                the merged metadata, compact JSON
//   ...               zero bytes up to data_offset: the first input's
//                     data_offset moved by the change in metadata length,
//                     rounded up to a multiple of 16
//   data_offset       each input's data region (its data_offset to its
//                     index_offset) in turn, every aperture header patched:
//                     aperture_y + the rows of the inputs before,
//                     aperture_index + their rows x cols
//   index_offset      "$INDX$\r\n", then per input and per entry of its
//                     index: the renumbered aperture index and the block's
//                     position in the merged file
//
// The index entries are computed from the inputs' indexes, so each input's
// blocks must fill its data region back to back in index order (as every file
// this library writes does). That is checked block by block while the data is
// copied. Everything else that can refuse an input (metadata keys, index
// lookups, aperture numbers, sizes) is checked before the new file is created;
// and since the output is a temporary file moved into place only on success,
// a failure found late leaves nothing behind either.
//
// A data region is streamed through the writer's 1 MiB buffer: read straight
// into the buffer, the aperture headers that lie in it patched in place, then
// written. A header is never split between two fills of the buffer.
#include "pulse_reader/file_merge.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "pulse_reader/compact_json.hpp"
#include "pulse_reader/headers/byte_order.hpp"
#include "pulse_reader/new_file.hpp"

namespace kvt {

namespace {

// Sizes and counts are summed in 128 bits, so that no total can wrap unseen.
__extension__ typedef unsigned __int128 Wide;

/// Aperture numbers, rows and their offsets are u32 in an aperture header.
constexpr Wide header_field_range = Wide{1} << 32;

std::optional<std::uint64_t> unsigned_member(const Metadata& metadata, std::string_view key) {
    if (!metadata.is_object()) return std::nullopt;
    const auto found = metadata.find(key);
    if (found == metadata.end() || !found->is_number_unsigned()) return std::nullopt;
    return found->get<std::uint64_t>();
}

Error missing_or_invalid(std::string_view key) {
    return Error(ErrorCode::invalid_metadata, std::string(key) + " missing or invalid");
}

/// Blocks that do not lie back to back refuse the merge; the writer's own
/// position out of step is an internal fault.
Error stream_position_mismatch(ErrorCode code = ErrorCode::refused) { return Error(code, "Stream position mismatch"); }

Error sum_overflows(std::string_view what) {
    return Error(ErrorCode::refused, "The merged " + std::string(what) + " would exceed 18446744073709551615");
}

/// What the merge needs of one input beyond its reader.
struct Input {
    const PulseReader* reader = nullptr;
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;
    std::uint32_t row_offset = 0;    ///< rows of the inputs before
    std::uint32_t index_offset = 0;  ///< rows x cols of the inputs before
    std::uint64_t base = 0;          ///< where its data region goes in the merged file
};

/// Totals over the inputs, from the keys of the first pass.
struct Totals {
    std::uint64_t rows = 0;
    std::uint64_t valid_wells = 0;
    std::uint64_t valid_wells_left = 0;
    std::uint64_t valid_wells_right = 0;
    std::uint64_t roi_start = UINT64_MAX;
    std::uint64_t roi_end = 0;
};

/// The six keys of every input, in the order they are checked.
Result<Totals> sum_metadata(std::span<Input> inputs) {
    Totals totals;
    for (Input& input : inputs) {
        const Metadata& metadata = input.reader->metadata();
        std::array<std::uint64_t, 6> values{};
        constexpr std::array<std::string_view, 6> keys = {"validWells", "validWellsLeft", "validWellsRight",
                                                          "rows",       "roi_offset_col", "roi_cols"};
        for (std::size_t k = 0; k < keys.size(); ++k) {
            const auto value = unsigned_member(metadata, keys[k]);
            if (!value) return missing_or_invalid(keys[k]).concerning(input.reader->path());
            values[k] = *value;
        }
        const auto [wells, left, right, rows, roi_offset, roi_cols] = values;
        input.rows = rows;
        if (__builtin_add_overflow(totals.valid_wells, wells, &totals.valid_wells)) return sum_overflows("validWells");
        if (__builtin_add_overflow(totals.valid_wells_left, left, &totals.valid_wells_left)) {
            return sum_overflows("validWellsLeft");
        }
        if (__builtin_add_overflow(totals.valid_wells_right, right, &totals.valid_wells_right)) {
            return sum_overflows("validWellsRight");
        }
        if (__builtin_add_overflow(totals.rows, rows, &totals.rows)) return sum_overflows("rows");
        std::uint64_t roi_end = 0;
        if (__builtin_add_overflow(roi_offset, roi_cols, &roi_end)) return sum_overflows("roi_offset_col + roi_cols");
        totals.roi_start = std::min(totals.roi_start, roi_offset);
        totals.roi_end = std::max(totals.roi_end, roi_end);
    }
    return totals;
}

/// Second pass over one input: its index must resolve, its "cols" be valid,
/// and its aperture numbers be ascending and below its rows x cols, so that
/// the renumbered index is ascending without collisions.
Status check_input(Input& input) {
    const PulseReader& reader = *input.reader;
    const std::vector<std::uint64_t> apertures = reader.index().apertures();
    for (const std::uint64_t aperture : apertures) {
        if (auto at = reader.index().get(aperture); !at)
            return at.error().prefixed("Invalid aperture index encountered: ");
    }
    const auto cols = unsigned_member(reader.metadata(), "cols");
    if (!cols) return missing_or_invalid("cols");
    input.cols = *cols;

    for (std::size_t i = 1; i < apertures.size(); ++i) {
        if (apertures[i] <= apertures[i - 1]) {
            return Error(ErrorCode::refused,
                         "Cannot merge " + reader.path() + ": its index is not in strictly ascending order (aperture " +
                             std::to_string(apertures[i]) + " follows " + std::to_string(apertures[i - 1]) + ")");
        }
    }
    const Wide capacity = Wide{input.rows} * input.cols;
    if (!apertures.empty() && Wide{apertures.back()} >= capacity) {
        return Error(ErrorCode::refused, "Cannot merge " + reader.path() + ": aperture index " +
                                             std::to_string(apertures.back()) + " is not below its rows x cols = " +
                                             std::to_string(input.rows) + " x " + std::to_string(input.cols));
    }
    const PulseFileHeader& header = reader.header();
    if (header.index_offset < header.data_offset) {
        return Error(ErrorCode::refused, "Cannot merge " + reader.path() + ": its index_offset " +
                                             std::to_string(header.index_offset) + " lies before its data_offset " +
                                             std::to_string(header.data_offset));
    }
    return {};
}

/// Adds `amount` to a 32-bit header field, refusing a wrap-around.
bool raise_field(std::uint32_t& field, std::uint32_t amount) { return !__builtin_add_overflow(field, amount, &field); }

/// Copies one input's data region to the writer, patching each aperture
/// header on the way and checking that the blocks lie back to back in index
/// order from its data_offset to its index_offset.
Status copy_data_region(const Input& input, BufferedWriter& writer, const CancellationToken* cancel) {
    const PulseReader& reader = *input.reader;
    const InputFile& file = reader.file();
    const std::vector<std::uint64_t> apertures = reader.index().apertures();
    const std::uint64_t end = reader.header().index_offset;
    auto file_size = file.size();
    if (!file_size) return std::move(file_size).error();

    std::uint64_t position = reader.header().data_offset;  // next source byte to copy
    std::uint64_t next_header = position;                  // where the next block starts
    std::size_t next = 0;                                  // its entry in the index
    while (position < end) {
        if (cancelled(cancel)) return cancelled_error();
        auto space = writer.free_space();
        if (space.size() < aperture_header_size) {
            if (Status flushed = writer.flush(); !flushed) return flushed;
            space = writer.free_space();
        }
        auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(space.size(), end - position));
        if (Status read = file.read_exact_at(position, space.first(chunk)); !read) return read;

        const std::uint64_t chunk_end = position + chunk;
        while (next < apertures.size() && next_header + aperture_header_size <= chunk_end) {
            auto at = reader.index().get(apertures[next]);
            if (!at) return at.error().prefixed("Invalid aperture index encountered: ");
            if (*at != next_header) {
                return Error(ErrorCode::refused, "Cannot merge " + reader.path() + ": the block of aperture " +
                                                     std::to_string(apertures[next]) + " is at byte " +
                                                     std::to_string(*at) + " instead of byte " +
                                                     std::to_string(next_header) +
                                                     ", right after the block before it in index order");
            }
            std::byte* bytes = space.data() + (next_header - position);
            ApertureHeader header = ApertureHeader::new_(
                std::span<const std::byte, aperture_header_size>(bytes, aperture_header_size), next_header);
            if (!raise_field(header.aperture_y, input.row_offset) ||
                !raise_field(header.aperture_index, input.index_offset)) {
                return Error(ErrorCode::refused,
                             "Cannot merge " + reader.path() + ": the block header of aperture " +
                                 std::to_string(apertures[next]) +
                                 " holds an aperture_y or aperture_index that overflows 32 bits once renumbered");
            }
            const auto patched = header.to_bytes();
            std::copy(patched.begin(), patched.end(), bytes);
            next_header += header.block_size();
            ++next;
            // A block running past the region, or bytes left after the last
            // block, would put the index entries out of step with the data.
            // One running past the end of the file could not even be read.
            if (next_header > *file_size) return unexpected_end_of_file();
            if (next_header > end || (next == apertures.size() && next_header != end)) {
                return stream_position_mismatch();
            }
        }
        // A header cut by the end of this chunk is read again, whole, by the
        // next one. (Blocks are multiples of 16 bytes and so are the buffer
        // and data_offset, so with well-formed inputs this does not happen;
        // the loop does not rely on it.)
        if (next < apertures.size() && next_header < chunk_end) {
            chunk = static_cast<std::size_t>(next_header - position);
            if (chunk == 0) return stream_position_mismatch();  // fewer than 16 bytes left for a header
        }
        writer.commit(chunk);
        position += chunk;
    }
    if (next != apertures.size()) return stream_position_mismatch();
    return {};
}

}  // namespace

Status merge_pulse_files(std::span<const PulseReader* const> readers, const std::string& new_file_name,
                         const CancellationToken* cancel) {
    if (readers.empty()) return Error(ErrorCode::invalid_argument, "No pulse files provided");
    if (std::find(readers.begin(), readers.end(), nullptr) != readers.end()) {
        return Error(ErrorCode::invalid_argument, "merge_pulse_files was given a null reader");
    }
    // A dangling symbolic link counts too: the final move could not replace it.
    struct stat status{};
    if (::stat(new_file_name.c_str(), &status) == 0 || ::lstat(new_file_name.c_str(), &status) == 0) {
        return file_already_exists(new_file_name);
    }

    std::vector<Input> inputs;
    inputs.reserve(readers.size());
    for (const PulseReader* reader : readers) inputs.push_back({.reader = reader});

    auto summed = sum_metadata(inputs);
    if (!summed) return std::move(summed).error();
    const Totals& totals = *summed;

    const PulseReader& first = *readers.front();
    const std::array<std::pair<std::string_view, std::uint64_t>, 7> recomputed = {{
        {"rows", totals.rows},
        {"validWells", totals.valid_wells},
        {"validWellsLeft", totals.valid_wells_left},
        {"validWellsRight", totals.valid_wells_right},
        {"roi_cols", totals.roi_end - totals.roi_start},
        {"roi_rows", totals.rows},
        {"roi_offset_col", totals.roi_start},
    }};
    auto serialised = to_compact_json(first.metadata(), recomputed);
    if (!serialised) return std::move(serialised).error();
    const std::string metadata = std::move(serialised).value();
    if (metadata.size() > UINT32_MAX)
        return Error(ErrorCode::refused, "The merged metadata is longer than 4294967295 bytes");

    // The first input's data_offset, moved by the change in metadata length.
    const PulseFileHeader& first_header = first.header();
    const std::uint64_t prefix_size = pulse_file_header_size +
                                      std::uint64_t{first_header.num_encoding_records} * encoding_record_size +
                                      metadata.size();
    const Wide moved = Wide{first_header.data_offset} + metadata.size();
    if (moved < first_header.metadata_length)
        return Error(ErrorCode::internal, "Stream position exceeds new data offset");
    const Wide data_offset_wide = (moved - first_header.metadata_length + 15) / 16 * 16;
    if (data_offset_wide < prefix_size) return Error(ErrorCode::internal, "Stream position exceeds new data offset");

    // Second pass: indexes, "cols", aperture numbers, and where everything goes.
    Wide base = data_offset_wide;
    Wide total_rows = 0;
    Wide total_capacity = 0;
    Wide total_apertures = 0;
    for (Input& input : inputs) {
        if (Status checked = check_input(input); !checked) {
            return std::move(checked).error().concerning(input.reader->path());
        }
        input.row_offset = static_cast<std::uint32_t>(total_rows);
        input.index_offset = static_cast<std::uint32_t>(total_capacity);
        input.base = static_cast<std::uint64_t>(std::min<Wide>(base, UINT64_MAX));
        total_rows += input.rows;
        total_capacity += Wide{input.rows} * input.cols;
        if (total_rows > header_field_range) {
            return Error(ErrorCode::refused,
                         "The merged file would have more than 4294967296 rows, more than a 32-bit aperture_y can "
                         "number");
        }
        if (total_capacity > header_field_range) {
            return Error(ErrorCode::refused,
                         "The merged file would have more than 4294967296 apertures (rows x cols), more than a "
                         "32-bit aperture_index can number");
        }
        const PulseFileHeader& header = input.reader->header();
        base += header.index_offset - header.data_offset;
        total_apertures += input.reader->index().size();
    }
    const Wide index_offset_wide = base;
    const Wide file_size = index_offset_wide + index_magic_size + total_apertures * index_entry_size;
    if (file_size > UINT64_MAX) return Error(ErrorCode::refused, "The merged file would be larger than 2^64 bytes");
    const auto data_offset = static_cast<std::uint64_t>(data_offset_wide);
    const auto index_offset = static_cast<std::uint64_t>(index_offset_wide);

    std::vector<std::byte> encoding_records(std::size_t{first_header.num_encoding_records} * encoding_record_size);
    if (Status read = first.file().read_exact_at(pulse_file_header_size, encoding_records); !read) return read;

    // Everything has been checked; from here on only I/O can fail.
    auto created = NewFile::create(new_file_name);
    if (!created) return std::move(created).error();
    NewFile output = std::move(created).value();
    BufferedWriter writer(output.descriptor(), writer_buffer_size, new_file_name);

    PulseFileHeader header = first_header;
    header.num_apertures = static_cast<std::uint64_t>(total_apertures);
    header.metadata_length = static_cast<std::uint32_t>(metadata.size());
    header.data_offset = data_offset;
    header.index_offset = index_offset;
    if (Status written = writer.write(header.to_bytes()); !written) return written;
    if (Status written = writer.write(encoding_records); !written) return written;
    if (Status written = writer.write(std::as_bytes(std::span(metadata))); !written) return written;
    if (Status written = writer.write_zeros(data_offset - writer.position()); !written) return written;
    if (writer.position() != data_offset) return stream_position_mismatch(ErrorCode::internal);

    for (const Input& input : inputs) {
        // Errors of the output carry its name already; the others concern this input.
        if (Status copied = copy_data_region(input, writer, cancel); !copied) {
            return std::move(copied).error().concerning(input.reader->path());
        }
    }
    if (writer.position() != index_offset) return stream_position_mismatch(ErrorCode::internal);

    std::array<std::byte, index_entry_size> entry{};
    store_le(entry.data(), index_magic);
    if (Status written = writer.write(std::span(entry).first(index_magic_size)); !written) return written;
    for (const Input& input : inputs) {
        const PulseReader& reader = *input.reader;
        for (const std::uint64_t aperture : reader.index().apertures()) {
            auto at = reader.index().get(aperture);
            if (!at) return at.error().prefixed("Invalid aperture index encountered: ");
            store_le(entry.data(), static_cast<std::uint32_t>(input.index_offset + aperture));
            store_le(entry.data() + 4, input.base + (*at - reader.header().data_offset));
            if (Status written = writer.write(entry); !written) return written;
        }
    }
    if (Status flushed = writer.flush(); !flushed) return flushed;
    if (writer.position() != static_cast<std::uint64_t>(file_size))
        return stream_position_mismatch(ErrorCode::internal);
    if (cancelled(cancel)) return cancelled_error();
    return output.commit(ExistingDestination::refuse);
}

}  // namespace kvt
