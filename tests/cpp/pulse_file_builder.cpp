#include "pulse_file_builder.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace kvt::testing {

namespace {

constexpr std::uint16_t padding_ipd = 0xFFFF;
constexpr std::uint16_t long_pulse_update_marker = 0xFFFD;
constexpr std::uint16_t long_pulse_dropped_marker = 0xFFFE;
constexpr std::uint16_t step_up_marker = 0xFFFB;
constexpr std::uint16_t step_down_marker = 0xFFFA;

constexpr std::uint16_t low_half(std::uint32_t value) noexcept { return static_cast<std::uint16_t>(value); }
constexpr std::uint16_t high_half(std::uint32_t value) noexcept { return static_cast<std::uint16_t>(value >> 16); }

Record marked(std::uint16_t ipd, std::uint16_t marker, std::uint32_t wide, int w2, int w3, int w7) {
    return {ipd, 0, word(w2), word(w3), low_half(wide), high_half(wide), marker, word(w7)};
}

/// Appends `value` as `width` little-endian bytes.
void put(Bytes& out, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) out.push_back(static_cast<std::byte>((value >> (8 * i)) & 0xFF));
}

std::uint64_t block_size(const AperturePlan& aperture) { return 16 + 16 * std::uint64_t{aperture.records.size()}; }

void put_block(Bytes& out, const AperturePlan& aperture) {
    put(out, aperture.x, 4);
    put(out, aperture.y, 4);
    put(out, aperture.index, 4);
    put(out, aperture.num_records.value_or(static_cast<std::uint32_t>(aperture.records.size())), 4);
    for (const Record& record : aperture.records) {
        for (std::uint16_t w : record) put(out, w, 2);
    }
}

}  // namespace

Record pulse(std::uint16_t ipd, std::uint16_t dur, int w2, int w3, int w4, int w5, int w6, int w7) {
    return {ipd, dur, word(w2), word(w3), word(w4), word(w5), word(w6), word(w7)};
}

Record background(std::uint16_t ipd, int w4, int w5, int w6, int w7) {
    return {ipd, 0, 0, 0, word(w4), word(w5), word(w6), word(w7)};
}

Record padding() { return {padding_ipd, 0, 0, 0, 0, 0, 0, 0}; }

Record step_up(std::uint16_t ipd, std::uint32_t event_f, int w2, int w3, int w7) {
    return marked(ipd, step_up_marker, event_f, w2, w3, w7);
}

Record step_down(std::uint16_t ipd, std::uint32_t event_f, int w2, int w3, int w7) {
    return marked(ipd, step_down_marker, event_f, w2, w3, w7);
}

Record long_pulse_update(std::uint16_t ipd, std::uint32_t long_pulse_duration_f, int w2, int w3, int w7) {
    return marked(ipd, long_pulse_update_marker, long_pulse_duration_f, w2, w3, w7);
}

Record long_pulse_dropped(std::uint16_t ipd, std::uint32_t long_pulse_duration_f, int w2, int w3, int w7) {
    return marked(ipd, long_pulse_dropped_marker, long_pulse_duration_f, w2, w3, w7);
}

std::array<std::byte, 16> record_bytes(const Record& record) {
    std::array<std::byte, 16> bytes{};
    for (std::size_t k = 0; k < record.size(); ++k) {
        bytes[2 * k] = static_cast<std::byte>(record[k] & 0xFF);
        bytes[2 * k + 1] = static_cast<std::byte>(record[k] >> 8);
    }
    return bytes;
}

AperturePlan aperture(std::uint32_t index, std::vector<Record> records, std::uint32_t x, std::uint32_t y) {
    AperturePlan plan;
    plan.x = x;
    plan.y = y;
    plan.index = index;
    plan.records = std::move(records);
    return plan;
}

IndexEntry entry_to_block(std::uint32_t aperture_index, std::size_t block) {
    return {.aperture_index = aperture_index, .block = block, .byte_offset = 0};
}

IndexEntry entry_at(std::uint32_t aperture_index, std::uint64_t byte_offset) {
    return {.aperture_index = aperture_index, .block = std::nullopt, .byte_offset = byte_offset};
}

std::span<const std::byte> BuiltFile::index_entry_bytes() const {
    std::span<const std::byte> all(bytes);
    const std::uint64_t begin = std::min<std::uint64_t>(index_entries_offset, all.size());
    const std::uint64_t end = std::min<std::uint64_t>(index_entries_offset + index_entries_size, all.size());
    return all.subspan(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

BuiltFile build(const PulseFilePlan& plan) {
    BuiltFile file;

    std::vector<IndexEntry> entries;
    if (plan.index) {
        entries = *plan.index;
    } else {
        for (std::size_t i = 0; i < plan.apertures.size(); ++i) {
            entries.push_back(entry_to_block(plan.apertures[i].index, i));
        }
    }

    // Lay out the sections first: the header needs their positions.
    file.metadata_offset = 48 + 8 * 4;
    file.padding_offset = file.metadata_offset + plan.metadata.size();
    const Bytes padding =
        plan.padding ? *plan.padding : Bytes(static_cast<std::size_t>((16 - file.padding_offset % 16) % 16));
    std::uint64_t position = file.padding_offset + padding.size();
    const std::uint64_t index_size = 8 + 12 * std::uint64_t{entries.size()};
    if (plan.index_placement == IndexPlacement::before_blocks) {
        file.index_offset = position;
        position += index_size;
    }
    file.data_offset = position;
    for (const AperturePlan& aperture : plan.apertures) {
        file.block_offsets.push_back(position);
        position += block_size(aperture);
    }
    if (plan.index_placement == IndexPlacement::after_blocks) {
        file.index_offset = position;
        position += index_size;
    }
    file.index_entries_offset = file.index_offset + 8;
    file.index_entries_size = index_size - 8;
    file.full_size = position;

    Bytes index;
    put(index, plan.index_magic, 8);
    for (const IndexEntry& entry : entries) {
        put(index, entry.aperture_index, 4);
        put(index, entry.block ? file.block_offsets.at(*entry.block) : entry.byte_offset, 8);
    }

    Bytes& out = file.bytes;
    out.reserve(static_cast<std::size_t>(file.full_size));
    put(out, plan.magic, 4);
    put(out, plan.reserved1, 4);
    put(out, plan.num_apertures.value_or(entries.size()), 8);
    put(out, plan.metadata_length.value_or(static_cast<std::uint32_t>(plan.metadata.size())), 4);
    put(out, plan.encoding_record_type, 1);
    put(out, plan.encoding_record_size, 1);
    put(out, plan.num_encoding_records, 2);
    put(out, plan.reserved2, 4);
    put(out, plan.record_size, 4);
    put(out, plan.data_offset.value_or(file.data_offset), 8);
    put(out, plan.index_offset.value_or(file.index_offset), 8);
    for (const EncodingPlan& encoding : plan.encodings) {
        put(out, encoding.code, 1);
        put(out, encoding.scale_exponent, 1);
        put(out, encoding.offset, 2);
    }
    for (char c : plan.metadata) out.push_back(static_cast<std::byte>(c));
    out.insert(out.end(), padding.begin(), padding.end());
    if (plan.index_placement == IndexPlacement::before_blocks) out.insert(out.end(), index.begin(), index.end());
    for (const AperturePlan& aperture : plan.apertures) put_block(out, aperture);
    if (plan.index_placement == IndexPlacement::after_blocks) out.insert(out.end(), index.begin(), index.end());

    if (plan.truncate_to && *plan.truncate_to < out.size()) out.resize(*plan.truncate_to);
    return file;
}

void write_file(const std::filesystem::path& path, std::span<const std::byte> bytes) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!stream.flush()) throw std::runtime_error("cannot write " + path.string());
}

Bytes read_file(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) throw std::runtime_error("cannot read " + path.string());
    const std::string text{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
    Bytes bytes(text.size());
    std::transform(text.begin(), text.end(), bytes.begin(), [](char c) { return static_cast<std::byte>(c); });
    return bytes;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvt-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string& name) const { return (path_ / name).string(); }

std::string TempDir::write(const std::string& name, const PulseFilePlan& plan) const {
    return write(name, build(plan).bytes);
}

std::string TempDir::write(const std::string& name, std::span<const std::byte> bytes) const {
    std::string path = file(name);
    write_file(path, bytes);
    return path;
}

}  // namespace kvt::testing
