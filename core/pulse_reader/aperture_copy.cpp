// PulseReader::copy_apertures_to_new_file: a new pulse file holding some of
// the apertures of this one.
//
// Layout of the new file:
//
//   0               the source's header with num_apertures and index_offset
//                   recomputed; data_offset stays the source's
//   48              the source's bytes 48 to data_offset, unchanged: encoding
//                   records, metadata (describing the source) and padding
//   data_offset     the chosen aperture blocks, unchanged, in ascending order
//                   of aperture index, back to back
//   index_offset    "$INDX$\r\n" and one 12-byte entry per chosen aperture
//
// Everything that can be checked is checked before the new file exists: each
// aperture is looked up and its block header read, and each block must lie
// inside the source. The headers come from a block plan, which reads blocks
// that lie back to back with a few large reads rather than 16 bytes at a time.
// Blocks that follow each other in the source are then moved as one range,
// inside the kernel where it can, so that copying a whole file costs about
// what copying its bytes costs.
//
// An empty selection is refused: a pulse file without apertures is one that
// no reader accepts, so writing it would report a failure as a success.
#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "pulse_reader/block_plan.hpp"
#include "pulse_reader/headers/byte_order.hpp"
#include "pulse_reader/new_file.hpp"
#include "pulse_reader/pulse_reader.hpp"

namespace kvt {

namespace {

/// A range of source bytes that goes to the new file as one piece.
struct SourceRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

Error too_large() { return Error(ErrorCode::refused, "The new pulse file would be larger than 2^64 bytes"); }

}  // namespace

Status PulseReader::copy_apertures_to_new_file(std::span<const std::uint64_t> apertures, const std::string& file_name,
                                               const CancellationToken* cancel) const {
    if (apertures.empty()) return Error(ErrorCode::invalid_argument, "No apertures to copy");
    const std::uint64_t data_offset = header_.data_offset;
    if (data_offset < pulse_file_header_size) {
        return Error(ErrorCode::refused, "Cannot copy from a pulse file whose data offset " +
                                             std::to_string(data_offset) + " lies inside its 48-byte header");
    }

    // Writing onto the source would replace the file this reader reads, under
    // whatever name or link it is reached.
    struct stat destination{};
    if (::stat(file_name.c_str(), &destination) == 0) {
        struct stat source{};
        if (::fstat(file_.descriptor(), &source) != 0) return os_error(errno);
        if (destination.st_dev == source.st_dev && destination.st_ino == source.st_ino) {
            return Error(ErrorCode::refused, "Refusing to copy apertures onto the source file itself: " + file_name);
        }
        if (S_ISDIR(destination.st_mode)) return os_error(EISDIR, file_name);
    }

    std::vector<std::uint64_t> order(apertures.begin(), apertures.end());
    std::sort(order.begin(), order.end());

    auto file_size = file_.size();
    if (!file_size) return std::move(file_size).error();
    if (data_offset > *file_size) return unexpected_end_of_file();

    // First pass: where each block is, how large it is and where it goes. The
    // plan has checked that every block lies inside the file, so a block
    // claiming more records than the file holds fails before anything is
    // written.
    auto planned = plan_blocks(*this, order, PlanHeaders::read, DamagedBlocks::fail, cancel);
    if (!planned) return std::move(planned).error();
    const std::vector<PlannedBlock>& blocks = planned->blocks;
    std::vector<std::uint64_t> new_offsets;
    new_offsets.reserve(blocks.size());
    std::vector<SourceRange> ranges;
    std::uint64_t running = data_offset;
    for (const PlannedBlock& block : blocks) {
        new_offsets.push_back(running);
        const std::uint64_t size = block.size();
        if (size > UINT64_MAX - running) return too_large();
        running += size;
        if (!ranges.empty() && ranges.back().offset + ranges.back().length == block.offset) {
            ranges.back().length += size;
        } else {
            ranges.push_back({block.offset, size});
        }
    }
    const std::uint64_t index_offset = running;
    const std::uint64_t index_size = index_magic_size + index_entry_size * std::uint64_t{order.size()};
    if (index_size > UINT64_MAX - index_offset) return too_large();

    auto created = NewFile::create(file_name);
    if (!created) return std::move(created).error();
    NewFile output = std::move(created).value();
    BufferedWriter writer(output.descriptor(), writer_buffer_size, file_name);
    ByteCopier copier(CopyMethod::automatic, cancel);

    PulseFileHeader header = header_;
    header.num_apertures = order.size();
    header.index_offset = index_offset;
    if (Status written = writer.write(header.to_bytes()); !written) return written;
    if (Status copied = copier.copy(file_, pulse_file_header_size, data_offset - pulse_file_header_size, writer,
                                    output.descriptor());
        !copied) {
        return copied;
    }
    for (const SourceRange& range : ranges) {
        if (Status copied = copier.copy(file_, range.offset, range.length, writer, output.descriptor()); !copied) {
            return copied;
        }
    }

    std::array<std::byte, index_entry_size> entry{};
    store_le(entry.data(), index_magic);
    if (Status written = writer.write(std::span(entry).first(index_magic_size)); !written) return written;
    for (std::size_t i = 0; i < order.size(); ++i) {
        store_le(entry.data(), static_cast<std::uint32_t>(order[i]));
        store_le(entry.data() + 4, new_offsets[i]);
        if (Status written = writer.write(entry); !written) return written;
    }
    if (Status flushed = writer.flush(); !flushed) return flushed;
    // The source is read at the sizes found in the first pass; a file that
    // changed in between would show here.
    if (writer.position() != index_offset + index_size) return Error(ErrorCode::internal, "Stream position mismatch");
    if (cancelled(cancel)) return cancelled_error();
    return output.commit(ExistingDestination::replace);
}

}  // namespace kvt
