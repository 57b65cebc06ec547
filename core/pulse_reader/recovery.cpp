#include "pulse_reader/recovery.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <span>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "pulse_reader/file.hpp"
#include "pulse_reader/headers/aperture_header.hpp"
#include "pulse_reader/headers/byte_order.hpp"
#include "pulse_reader/headers/pulse_file_header.hpp"
#include "pulse_reader/headers/pulse_file_index.hpp"
#include "pulse_reader/metadata.hpp"
#include "pulse_reader/new_file.hpp"

namespace kvt {

namespace {

/// The copy moves at most this many bytes between two looks at the flag (and
/// waits for the disk to take the piece before): a cancelled recovery stops
/// within the time a disk takes to write two pieces, well under 0.2 s.
constexpr std::uint64_t copy_piece = std::uint64_t{32} << 20;
/// Blocks walked, or index entries tried, between two looks at the flag.
constexpr std::size_t blocks_between_looks = 1024;

/// The end of the encoding records, where the metadata starts.
constexpr std::uint64_t metadata_start = pulse_file_header_size + encoding_record_count * encoding_record_size;

std::uint64_t block_size(std::uint32_t records) { return aperture_header_size + std::uint64_t{16} * records; }

/// One block that goes into the new file.
struct Block {
    std::uint32_t number = 0;
    std::uint64_t offset = 0;   ///< position of its header in the damaged file
    std::uint32_t records = 0;  ///< records kept (fewer than its header says for a kept cut block)
    bool from_index = false;    ///< placed by the index, not reached by the walk
    bool partial = false;       ///< the cut block, its count to be rewritten

    [[nodiscard]] std::uint64_t end() const noexcept { return offset + block_size(records); }
};

/// The damaged file and what its header and metadata say.
struct Source {
    InputFile file;
    std::uint64_t size = 0;
    PulseFileHeader header;
    std::optional<std::uint64_t> cols;
    std::optional<std::uint64_t> rows;
};

std::optional<std::uint64_t> unsigned_member(const Metadata& metadata, const char* key) {
    if (!metadata.is_object()) return std::nullopt;
    const auto found = metadata.find(key);
    if (found == metadata.end() || !found->is_number_unsigned()) return std::nullopt;
    return found->get<std::uint64_t>();
}

Result<Source> open_source(const std::string& file_name) {
    auto opened = InputFile::open(file_name);
    if (!opened) return std::move(opened).error();
    auto size = opened->size();
    if (!size) return std::move(size).error();
    Source source{std::move(opened).value(), *size, {}, {}, {}};
    if (source.size < metadata_start) {
        return Error(ErrorCode::truncated, "The file is " + std::to_string(source.size) +
                                               " bytes long, shorter than the " + std::to_string(metadata_start) +
                                               " bytes of a pulse file's header and encoding records");
    }
    std::array<std::byte, pulse_file_header_size> header_bytes{};
    if (Status read = source.file.read_exact_at(0, header_bytes); !read) return std::move(read).error();
    source.header = PulseFileHeader::new_(header_bytes);
    if (Status valid = source.header.validate(); !valid) return std::move(valid).error();

    const std::uint64_t metadata_length = source.header.metadata_length;
    if (metadata_length > source.size - metadata_start) {
        return Error(ErrorCode::truncated, "The metadata (" + std::to_string(metadata_length) + " bytes from byte " +
                                               std::to_string(metadata_start) + ") runs past the end of the file (" +
                                               std::to_string(source.size) + " bytes)");
    }
    std::string text(static_cast<std::size_t>(metadata_length), '\0');
    if (Status read = source.file.read_exact_at(metadata_start, std::as_writable_bytes(std::span(text))); !read) {
        return std::move(read).error();
    }
    auto metadata = parse_metadata(text);
    if (!metadata) return std::move(metadata).error().prefixed("The metadata is damaged: ");
    // The new file must open, and a reader needs the frame rate.
    if (!metadata_number(*metadata, "fps"))
        return Error(ErrorCode::invalid_metadata, "Missing or invalid 'fps' field in metadata");
    source.cols = unsigned_member(*metadata, "cols");
    source.rows = unsigned_member(*metadata, "rows");

    const std::uint64_t data_offset = source.header.data_offset;
    if (data_offset < metadata_start + metadata_length || data_offset > source.size) {
        return Error(ErrorCode::invalid_header,
                     "The header's data offset " + std::to_string(data_offset) + " lies outside the file's data " +
                         "(from the metadata's end at byte " + std::to_string(metadata_start + metadata_length) +
                         " to the file's end at byte " + std::to_string(source.size) + ")");
    }
    return source;
}

/// A recovery never replaces a file, and never writes onto its input under
/// any name or link.
Status check_destination(const Source& source, const std::string& new_file_name) {
    struct stat destination{};
    if (::lstat(new_file_name.c_str(), &destination) != 0) return {};
    struct stat input{};
    if (::fstat(source.file.descriptor(), &input) != 0) return os_error(errno);
    struct stat followed{};
    const bool same = (destination.st_dev == input.st_dev && destination.st_ino == input.st_ino) ||
                      (::stat(new_file_name.c_str(), &followed) == 0 && followed.st_dev == input.st_dev &&
                       followed.st_ino == input.st_ino);
    if (same) return Error(ErrorCode::refused, "Refusing to recover a pulse file onto itself: " + new_file_name);
    return file_already_exists(new_file_name);
}

/// A surviving index: where it starts and its entries (number, block offset).
struct FoundIndex {
    std::uint64_t offset = 0;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> entries;
};

/// The index at `at`, when it lies whole between data_offset and the end of the
/// file and starts with its magic.
Result<std::optional<FoundIndex>> index_at(const Source& source, std::uint64_t at) {
    const std::uint64_t count = source.header.num_apertures;
    if (count == 0 || at < source.header.data_offset || at > source.size) return std::optional<FoundIndex>();
    // Checked against the file's size before anything is sized by the count.
    if (count > (source.size - at) / index_entry_size ||
        index_magic_size + count * index_entry_size > source.size - at) {
        return std::optional<FoundIndex>();
    }
    std::array<std::byte, index_magic_size> magic{};
    if (Status read = source.file.read_exact_at(at, magic); !read) return std::move(read).error();
    if (load_le<std::uint64_t>(magic.data()) != index_magic) return std::optional<FoundIndex>();
    FoundIndex found{at, {}};
    found.entries.reserve(static_cast<std::size_t>(count));
    std::array<std::byte, std::size_t{4096} * index_entry_size> piece{};
    for (std::uint64_t done = 0; done < count;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, 4096));
        const std::span<std::byte> bytes = std::span(piece).first(n * index_entry_size);
        if (Status read = source.file.read_exact_at(at + index_magic_size + done * index_entry_size, bytes); !read) {
            return std::move(read).error();
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::byte* entry = bytes.data() + i * index_entry_size;
            found.entries.emplace_back(load_le<std::uint32_t>(entry), load_le<std::uint64_t>(entry + 4));
        }
        done += n;
    }
    return std::optional<FoundIndex>(std::move(found));
}

/// The index where the header says, else as the file's last bytes (where
/// every writer puts it, should the header's index_offset be damaged).
Result<std::optional<FoundIndex>> find_index(const Source& source) {
    auto found = index_at(source, source.header.index_offset);
    if (!found || *found) return found;
    const std::uint64_t count = source.header.num_apertures;
    if (count == 0 || count > source.size / index_entry_size) return found;
    const std::uint64_t length = index_magic_size + count * index_entry_size;
    if (length > source.size) return found;
    return index_at(source, source.size - length);
}

Result<ApertureHeader> read_block_header(const InputFile& file, std::uint64_t offset) {
    std::array<std::byte, aperture_header_size> bytes{};
    if (Status read = file.read_exact_at(offset, bytes); !read) return std::move(read).error();
    return ApertureHeader::new_(bytes, offset);
}

/// Block headers read in order of position: where blocks are small, a window
/// of the file is read at once and the headers in it are taken from memory,
/// rather than one read call per 16 bytes.
class HeaderWindow {
public:
    explicit HeaderWindow(const InputFile& file) : file_(file) {}

    /// The 16 bytes at `offset`, which must lie before `limit`.
    Result<ApertureHeader> at(std::uint64_t offset, std::uint64_t limit, std::uint64_t previous_block) {
        if (offset >= start_ && offset - start_ + aperture_header_size <= length_) {
            return ApertureHeader::new_(std::span<const std::byte, aperture_header_size>(
                                            bytes_.data() + (offset - start_), aperture_header_size),
                                        offset);
        }
        if (previous_block > dense_blocks) return read_block_header(file_, offset);
        length_ = static_cast<std::size_t>(std::min<std::uint64_t>(bytes_.size(), limit - offset));
        start_ = offset;
        if (Status read = file_.read_exact_at(offset, std::span(bytes_).first(length_)); !read) {
            length_ = 0;
            return std::move(read).error();
        }
        return at(offset, limit, previous_block);
    }

private:
    /// Blocks larger than this have their headers read one by one: moving the
    /// records between them through memory would cost more than the calls.
    static constexpr std::uint64_t dense_blocks = std::uint64_t{8} << 10;
    const InputFile& file_;
    std::array<std::byte, std::size_t{64} << 10> bytes_{};
    std::uint64_t start_ = 0;
    std::size_t length_ = 0;
};

/// What the back-to-back walk found.
struct Walk {
    std::vector<Block> blocks;
    std::optional<ApertureHeader> runs_past;  ///< a sound header whose records run past the end of the data
    std::uint64_t end = 0;
    std::string stop;
};

std::string at_byte(std::uint64_t offset) { return " at byte " + std::to_string(offset); }

constexpr std::array<std::byte, aperture_header_size> zero_header{};

/// Whether the data goes on after the 16 bytes at `position` with something
/// other than 16 zero bytes.
bool followed_by_more(const Source& source, std::uint64_t position, std::uint64_t limit) {
    const std::uint64_t next = position + aperture_header_size;
    if (limit - next < aperture_header_size) return next == limit;
    auto header = read_block_header(source.file, next);
    return !header || header->to_bytes() != zero_header;
}

Result<Walk> walk_blocks(const Source& source, std::uint64_t limit, const CancellationToken* cancel) {
    Walk walk;
    std::uint64_t position = source.header.data_offset;
    std::optional<std::uint32_t> previous;
    auto window = std::make_unique<HeaderWindow>(source.file);
    std::uint64_t previous_block = 0;
    for (std::size_t walked = 0;; ++walked) {
        if (walked % blocks_between_looks == 0 && cancelled(cancel)) return cancelled_error();
        walk.end = position;
        if (position == limit) {
            walk.stop = "the end of the data";
            break;
        }
        if (limit - position < aperture_header_size) {
            walk.stop =
                std::to_string(limit - position) + " bytes" + at_byte(position) + ", too few for a block header";
            break;
        }
        auto header = window->at(position, limit, previous_block);
        if (!header) return std::move(header).error();
        const auto block = [&] { return "aperture " + std::to_string(header->aperture_index) + at_byte(position); };
        // Sixteen zero bytes are aperture 0 at column 0 and row 0 without
        // records, or preallocated space: a block only as the first one, and
        // only when more than zeros follow it.
        if (header->to_bytes() == zero_header && (previous || !followed_by_more(source, position, limit))) {
            walk.stop = "a block header of zero bytes" + at_byte(position);
            break;
        }
        if (previous && header->aperture_index <= *previous) {
            walk.stop = block() + " does not follow aperture " + std::to_string(*previous);
            break;
        }
        if (source.cols && source.rows && (header->aperture_x >= *source.cols || header->aperture_y >= *source.rows)) {
            walk.stop = block() + " lies outside the sensor (column " + std::to_string(header->aperture_x) + ", row " +
                        std::to_string(header->aperture_y) + ")";
            break;
        }
        if (header->block_size() > limit - position) {
            walk.stop = block() + " claims " + std::to_string(header->num_records) +
                        " records, which run past the end of the data" + at_byte(limit);
            walk.runs_past = *header;
            break;
        }
        walk.blocks.push_back({header->aperture_index, position, header->num_records});
        previous = header->aperture_index;
        previous_block = header->block_size();
        position += previous_block;
    }
    return walk;
}

/// With a surviving index, the index says which blocks exist: each entry's
/// block must carry the entry's number and lie inside the data. `blocks` comes
/// in as the walk found them and leaves as the index places them; the walk
/// confirms entries, and stands in for an entry whose offset is damaged. A
/// walked block that the index does not name is a misreading of the walk
/// (record bytes that looked like a header) and is not kept. The numbers of
/// entries that neither can place go to `lost`.
Status place_from_index(const Source& source, const FoundIndex& index, std::vector<Block>& blocks,
                        std::vector<std::uint32_t>& lost, RecoveryReport& report, const CancellationToken* cancel) {
    const std::vector<Block> walked = std::move(blocks);  // ascending by number
    blocks.clear();
    for (std::size_t i = 0; i < index.entries.size(); ++i) {
        if (i % blocks_between_looks == 0 && cancelled(cancel)) return cancelled_error();
        const auto [number, offset] = index.entries[i];
        if (offset == 0) continue;  // an absent aperture, not a lost one
        const auto found = std::lower_bound(walked.begin(), walked.end(), number,
                                            [](const Block& block, std::uint32_t n) { return block.number < n; });
        const bool was_walked = found != walked.end() && found->number == number;
        if (was_walked && found->offset == offset) {
            ++report.index_confirmed;
            blocks.push_back(*found);
            continue;
        }
        bool sound = offset >= source.header.data_offset && offset <= index.offset &&
                     index.offset - offset >= aperture_header_size;
        std::uint32_t records = 0;
        if (sound) {
            auto header = read_block_header(source.file, offset);
            if (!header) return std::move(header).error();
            sound = header->aperture_index == number && header->block_size() <= index.offset - offset;
            records = header->num_records;
        }
        if (sound) {
            blocks.push_back({number, offset, records, true});
        } else if (was_walked) {
            blocks.push_back(*found);
        } else {
            lost.push_back(number);
        }
    }
    return {};
}

/// Of two blocks that overlap, the earlier is dropped: its count runs into its
/// neighbour. Also drops repeated numbers (the first kept).
void drop_overlaps(std::vector<Block>& blocks, std::uint64_t limit, std::vector<std::uint32_t>& lost) {
    std::sort(blocks.begin(), blocks.end(), [](const Block& a, const Block& b) { return a.offset < b.offset; });
    std::vector<Block> kept;
    std::uint64_t next_start = limit;
    for (auto block = blocks.rbegin(); block != blocks.rend(); ++block) {
        if (block->end() > next_start) {
            lost.push_back(block->number);
            continue;
        }
        next_start = block->offset;
        kept.push_back(*block);
    }
    std::stable_sort(kept.begin(), kept.end(), [](const Block& a, const Block& b) { return a.number < b.number; });
    kept.erase(
        std::unique(kept.begin(), kept.end(), [](const Block& a, const Block& b) { return a.number == b.number; }),
        kept.end());
    blocks = std::move(kept);
}

/// Puts the new file on stable storage while it is written: each whole piece
/// is handed to the disk once written, and the one before it waited for. The
/// final sync then has little left to do, so that it neither stalls a
/// Ctrl-C for seconds nor leaves a gigabyte of dirty pages behind.
class Writeback {
public:
    explicit Writeback(int fd) : fd_(fd) {}

    /// The file now holds (or is about to hold) `written` bytes.
    void advance(std::uint64_t written) {
        while (written - started_ >= copy_piece) {
            // Failures show again in the final fsync, which reports them.
            (void)::sync_file_range(fd_, static_cast<off_t>(started_), copy_piece, SYNC_FILE_RANGE_WRITE);
            if (started_ >= copy_piece) {
                (void)::sync_file_range(
                    fd_, static_cast<off_t>(started_ - copy_piece), copy_piece,
                    SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
            }
            started_ += copy_piece;
        }
    }

private:
    int fd_;
    std::uint64_t started_ = 0;
};

/// Copies `length` bytes of the source from `offset` in pieces, looking at the
/// flag between them.
Status copy_range(const Source& source, std::uint64_t offset, std::uint64_t length, BufferedWriter& writer,
                  ByteCopier& copier, const NewFile& output, Writeback& writeback, const CancellationToken* cancel) {
    while (length > 0) {
        if (cancelled(cancel)) return cancelled_error();
        const std::uint64_t piece = std::min(length, copy_piece);
        if (Status copied = copier.copy(source.file, offset, piece, writer, output.descriptor()); !copied) {
            return copied;
        }
        writeback.advance(writer.position());
        offset += piece;
        length -= piece;
    }
    return {};
}

Status write_new_file(const Source& source, const std::vector<Block>& blocks, const std::string& new_file_name,
                      const CancellationToken* cancel) {
    const std::uint64_t data_offset = source.header.data_offset;
    std::uint64_t index_offset = data_offset;
    for (const Block& block : blocks) index_offset += block_size(block.records);

    auto created = NewFile::create(new_file_name);
    if (!created) return std::move(created).error();
    NewFile output = std::move(created).value();
    BufferedWriter writer(output.descriptor());
    ByteCopier copier(CopyMethod::automatic, cancel);
    Writeback writeback(output.descriptor());

    PulseFileHeader header = source.header;
    header.num_apertures = blocks.size();
    header.index_offset = index_offset;
    if (Status written = writer.write(header.to_bytes()); !written) return written;
    if (Status copied = copy_range(source, pulse_file_header_size, data_offset - pulse_file_header_size, writer, copier,
                                   output, writeback, cancel);
        !copied) {
        return copied;
    }
    // Blocks that follow each other in the source move as one range.
    std::uint64_t range_start = 0;
    std::uint64_t range_length = 0;
    for (const Block& block : blocks) {
        if (!block.partial && range_length > 0 && range_start + range_length == block.offset) {
            range_length += block_size(block.records);
            continue;
        }
        if (Status copied = copy_range(source, range_start, range_length, writer, copier, output, writeback, cancel);
            !copied) {
            return copied;
        }
        range_start = block.offset;
        range_length = block_size(block.records);
        if (block.partial) {
            auto cut = read_block_header(source.file, block.offset);
            if (!cut) return std::move(cut).error();
            cut->num_records = block.records;
            if (Status written = writer.write(cut->to_bytes()); !written) return written;
            range_start += aperture_header_size;
            range_length -= aperture_header_size;
        }
    }
    if (Status copied = copy_range(source, range_start, range_length, writer, copier, output, writeback, cancel);
        !copied) {
        return copied;
    }

    std::array<std::byte, index_entry_size> entry{};
    store_le(entry.data(), index_magic);
    if (Status written = writer.write(std::span(entry).first(index_magic_size)); !written) return written;
    std::uint64_t at = data_offset;
    for (const Block& block : blocks) {
        store_le(entry.data(), block.number);
        store_le(entry.data() + 4, at);
        at += block_size(block.records);
        if (Status written = writer.write(entry); !written) return written;
    }
    if (Status flushed = writer.flush(); !flushed) return flushed;
    if (writer.position() != index_offset + index_magic_size + index_entry_size * std::uint64_t{blocks.size()}) {
        return Error(ErrorCode::internal, "Stream position mismatch");
    }
    // The sync, the long part of the commit, comes before the last look at
    // the flag, so that a recovery stopped then still leaves nothing; the
    // commit's own sync has nothing left to write.
    if (::fsync(output.descriptor()) != 0) return os_error(errno);
    if (cancelled(cancel)) return cancelled_error();
    return output.commit(ExistingDestination::refuse);
}

}  // namespace

Result<RecoveryReport> recover_pulse_file(const std::string& file_name, const std::string& new_file_name,
                                          bool keep_partial, const CancellationToken* cancel) {
    if (new_file_name.find('\0') != std::string::npos) {
        return Error(ErrorCode::invalid_argument, "file name contained an unexpected NUL byte");
    }
    auto opened = open_source(file_name);
    if (!opened) return std::move(opened).error();
    const Source& source = *opened;
    if (Status free = check_destination(source, new_file_name); !free) return std::move(free).error();

    auto index = find_index(source);
    if (!index) return std::move(index).error();
    const std::uint64_t limit = *index ? (*index)->offset : source.size;

    RecoveryReport report;
    auto walk = walk_blocks(source, limit, cancel);
    if (!walk) return std::move(walk).error();
    report.walk_end = walk->end;
    report.walk_stop = std::move(walk->stop);

    std::vector<Block> blocks = std::move(walk->blocks);
    std::vector<std::uint32_t> lost;
    if (*index) {
        report.index_offset = (*index)->offset;
        if (Status placed = place_from_index(source, **index, blocks, lost, report, cancel); !placed) {
            return std::move(placed).error();
        }
    }
    drop_overlaps(blocks, limit, lost);

    if (walk->runs_past) {
        const ApertureHeader& cut = *walk->runs_past;
        // The cut block is the last thing in the data; one with blocks after
        // it has a damaged count instead.
        const bool last = std::none_of(blocks.begin(), blocks.end(),
                                       [&cut](const Block& b) { return b.end() > cut.aperture_byteloc; });
        const bool known = std::any_of(blocks.begin(), blocks.end(),
                                       [&cut](const Block& b) { return b.number == cut.aperture_index; });
        if (last && !known) {
            const auto complete =
                static_cast<std::uint32_t>((limit - cut.aperture_byteloc - aperture_header_size) / 16);
            report.partial_block =
                PartialBlock{cut.aperture_index, cut.aperture_byteloc, cut.num_records, complete, keep_partial};
            if (keep_partial) {
                blocks.push_back({cut.aperture_index, cut.aperture_byteloc, complete, false, true});
            }
        }
        if (!known && !(last && keep_partial)) lost.push_back(cut.aperture_index);
    }

    std::sort(lost.begin(), lost.end());
    lost.erase(std::unique(lost.begin(), lost.end()), lost.end());
    std::sort(blocks.begin(), blocks.end(), [](const Block& a, const Block& b) { return a.number < b.number; });
    for (const Block& block : blocks) {
        const auto kept = std::lower_bound(lost.begin(), lost.end(), block.number);
        if (kept != lost.end() && *kept == block.number) lost.erase(kept);
    }
    if (blocks.empty()) {
        return Error(ErrorCode::invalid_block,
                     "No aperture block could be recovered: the walk from data_offset met " + report.walk_stop);
    }

    std::uint64_t carried = source.header.data_offset;
    for (const Block& block : blocks) {
        carried += block_size(block.records);
        report.records_kept += block.records;
        if (block.from_index) ++report.apertures_from_index;
    }
    if (*index) carried += index_magic_size + index_entry_size * std::uint64_t{(*index)->entries.size()};
    report.apertures_kept = blocks.size();
    report.apertures_lost = std::move(lost);
    report.bytes_discarded = source.size - carried;

    if (Status written = write_new_file(source, blocks, new_file_name, cancel); !written) {
        return std::move(written).error();
    }
    return report;
}

}  // namespace kvt
