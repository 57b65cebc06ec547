#include "pulse_reader/pulse_reader.hpp"

#include <array>

#include "pulse_reader/headers/byte_order.hpp"

namespace kvt {

PulseReader::PulseReader(std::string path, InputFile file, PulseFileHeader header, EncodingRecords encoding_records,
                         std::string metadata_text, Metadata metadata, PulseFileIndex index, float fps, bool trimmed)
    : path_(std::move(path)),
      file_(std::move(file)),
      header_(header),
      encoding_records_(encoding_records),
      metadata_text_(std::move(metadata_text)),
      metadata_(std::move(metadata)),
      index_(std::move(index)),
      fps_(fps),
      trimmed_(trimmed) {}

Result<PulseReader> PulseReader::open(const std::string& path) {
    auto opened = InputFile::open(path);
    if (!opened) return std::move(opened).error();
    InputFile file = std::move(opened).value();

    std::array<std::byte, pulse_file_header_size> header_bytes{};
    if (Status read = file.read_exact_at(0, header_bytes); !read) return std::move(read).error();
    const PulseFileHeader header = PulseFileHeader::new_(header_bytes);
    if (Status valid = header.validate(); !valid) return std::move(valid).error();

    // The encoding records and the metadata follow the header directly.
    std::uint64_t position = pulse_file_header_size;
    std::array<std::byte, encoding_record_count * encoding_record_size> encoding_bytes{};
    if (Status read = file.read_exact_at(position, encoding_bytes); !read) return std::move(read).error();
    position += encoding_bytes.size();
    EncodingRecords encodings;
    for (std::size_t k = 0; k < encoding_record_count; ++k) {
        encodings[k] = EncodingRecord::new_(std::span<const std::byte, encoding_record_size>(
            encoding_bytes.data() + k * encoding_record_size, encoding_record_size));
    }

    if (Status fits = file.check_readable(position, header.metadata_length); !fits) return std::move(fits).error();
    std::string metadata_text(header.metadata_length, '\0');
    if (Status read = file.read_exact_at(position, std::as_writable_bytes(std::span(metadata_text))); !read) {
        return std::move(read).error();
    }
    auto metadata = parse_metadata(metadata_text);
    if (!metadata) return std::move(metadata).error();

    const auto fps = metadata_number(*metadata, "fps");
    if (!fps) return Error(ErrorCode::invalid_metadata, "Missing or invalid 'fps' field in metadata");
    const bool trimmed = metadata_says_trimmed(*metadata);

    std::array<std::byte, index_magic_size> magic{};
    if (Status read = file.read_exact_at(header.index_offset, magic); !read) return std::move(read).error();
    if (load_le<std::uint64_t>(magic.data()) != index_magic)
        return Error(ErrorCode::invalid_index, "Index magic number mismatch");

    const std::uint64_t entries_at = header.index_offset + index_magic_size;
    const std::uint64_t max_entries = UINT64_MAX / index_entry_size;
    if (header.num_apertures > max_entries) return unexpected_end_of_file();
    const std::uint64_t entries_size = header.num_apertures * index_entry_size;
    if (Status fits = file.check_readable(entries_at, entries_size); !fits) return std::move(fits).error();
    auto index =
        PulseFileIndex::read(header.num_apertures, [&file, entries_at](std::uint64_t at, std::span<std::byte> out) {
            return file.read_exact_at(entries_at + at, out);
        });
    if (!index) return std::move(index).error();

    return PulseReader(path, std::move(file), header, encodings, std::move(metadata_text), std::move(metadata).value(),
                       std::move(index).value(), static_cast<float>(*fps), trimmed);
}

}  // namespace kvt
