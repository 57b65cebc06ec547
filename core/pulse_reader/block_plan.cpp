#include "pulse_reader/block_plan.hpp"

#include <algorithm>
#include <numeric>
#include <optional>

#include "pulse_reader/large_buffer.hpp"
#include "pulse_reader/pulse_reader.hpp"

namespace kvt {

namespace {

/// Headers are read in windows that grow from this size while the blocks
/// keep lying back to back...
constexpr std::uint64_t first_window = std::uint64_t{64} << 10;
/// ...up to this size.
constexpr std::uint64_t largest_window = std::uint64_t{256} << 10;
/// Headers further apart than this are read one by one: moving the records
/// between them through a window would cost more than the read calls it saves.
constexpr std::uint64_t dense_headers = std::uint64_t{4} << 10;

/// The sorted distinct values of `values`.
std::vector<std::uint64_t> sorted_distinct(std::vector<std::uint64_t> values) {
    if (!std::is_sorted(values.begin(), values.end())) std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    return values;
}

/// For each block start in `starts` (sorted, distinct), the count of records
/// that fill it up to the next block start of the file, or up to the index;
/// false when some block's extent is no whole number of records.
bool infer_counts(const PulseReader& reader, std::span<const std::uint64_t> starts,
                  std::vector<std::uint32_t>& counts) {
    const PulseFileIndex& index = reader.index();
    std::vector<std::uint64_t> boundaries;
    boundaries.reserve(index.size() + 1);
    for (std::size_t i = 0; i < index.size(); ++i) {
        if (const std::uint64_t offset = index.offset_at(i); offset != 0) boundaries.push_back(offset);
    }
    boundaries.push_back(reader.header().index_offset);
    boundaries = sorted_distinct(std::move(boundaries));

    counts.resize(starts.size());
    auto next = boundaries.begin();
    for (std::size_t i = 0; i < starts.size(); ++i) {
        // Both lists ascend, so the search goes on from where the last one ended.
        next = std::upper_bound(next, boundaries.end(), starts[i]);
        if (next == boundaries.end()) return false;
        const std::uint64_t extent = *next - starts[i];
        if (extent < aperture_header_size || (extent - aperture_header_size) % 16 != 0) return false;
        const std::uint64_t records = (extent - aperture_header_size) / 16;
        if (records > UINT32_MAX) return false;
        counts[i] = static_cast<std::uint32_t>(records);
    }
    return true;
}

/// Whether every block at `starts` with the inferred `counts` lies inside the file.
Result<bool> inside_file(const PulseReader& reader, std::span<const std::uint64_t> starts,
                         std::span<const std::uint32_t> counts) {
    auto file_size = reader.file().size();
    if (!file_size) return std::move(file_size).error();
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const std::uint64_t size = block_size(counts[i]);
        if (starts[i] > *file_size || size > *file_size - starts[i]) return false;
    }
    return true;
}

/// Reads the headers of the blocks at `starts` (sorted, distinct), checking
/// that each whole block lies inside the file: one that does not fails the
/// plan, or is marked in `past_end` (count 0) when damaged blocks are marked.
Status read_counts(const PulseReader& reader, std::span<const std::uint64_t> starts, DamagedBlocks damaged,
                   const CancellationToken* cancel, std::vector<std::uint32_t>& counts, std::vector<bool>& past_end) {
    auto file_size = reader.file().size();
    if (!file_size) return std::move(file_size).error();
    counts.assign(starts.size(), 0);
    past_end.assign(starts.size(), false);
    const auto outside = [&](std::size_t j) -> Status {
        if (damaged == DamagedBlocks::fail) return unexpected_end_of_file();
        past_end[j] = true;
        return {};
    };
    std::vector<std::byte> window;
    std::uint64_t window_size = first_window;
    for (std::size_t i = 0; i < starts.size();) {
        if (cancelled(cancel)) return cancelled_error();
        const std::uint64_t at = starts[i];
        if (at > *file_size || *file_size - at < aperture_header_size) {
            if (Status marked = outside(i); !marked) return marked;
            ++i;
            continue;
        }
        // One large read while the next block starts near this one; a read of
        // the header alone for a block far from the next.
        std::uint64_t length = aperture_header_size;
        if (i + 1 < starts.size() && starts[i + 1] - at <= dense_headers) {
            length = std::min(window_size, *file_size - at);
        }
        window.resize(static_cast<std::size_t>(length));
        if (Status read = reader.file().read_exact_at(at, window); !read) return read;
        bool back_to_back = true;
        std::size_t j = i;
        for (; j < starts.size() && starts[j] - at <= length - aperture_header_size; ++j) {
            const std::uint32_t records = block_record_count(
                std::span<const std::byte>(window).subspan(starts[j] - at).first<aperture_header_size>());
            const std::uint64_t size = block_size(records);
            if (size > *file_size - starts[j]) {
                if (Status marked = outside(j); !marked) return marked;
                back_to_back = false;
                continue;
            }
            counts[j] = records;
            if (j + 1 < starts.size() && starts[j + 1] != starts[j] + size) back_to_back = false;
        }
        window_size = back_to_back ? std::min(window_size * 2, largest_window) : first_window;
        i = j;
    }
    return {};
}

}  // namespace

std::uint64_t BlockPlan::total_records() const noexcept {
    std::uint64_t total = 0;
    for (const PlannedBlock& block : blocks) total += block.num_records;
    return total;
}

std::vector<std::uint64_t> lookup_apertures(const PulseFileIndex& index) {
    std::vector<std::uint64_t> numbers;
    numbers.reserve(index.size());
    bool ascending = true;
    for (std::size_t i = 0; i < index.size(); ++i) {
        const std::uint64_t number = index.aperture_at(i);
        if (!numbers.empty() && number <= numbers.back()) ascending = false;
        // With strictly ascending numbers each entry is the one its number
        // finds, so its own offset tells whether the lookup succeeds.
        if (!ascending || index.offset_at(i) != 0) numbers.push_back(number);
    }
    if (ascending) return numbers;
    numbers = sorted_distinct(std::move(numbers));
    std::erase_if(numbers, [&index](std::uint64_t number) { return !index.get(number).ok(); });
    return numbers;
}

Result<BlockPlan> plan_blocks(const PulseReader& reader, std::span<const std::uint64_t> apertures, PlanHeaders how,
                              DamagedBlocks damaged, const CancellationToken* cancel) {
    const PulseFileIndex& index = reader.index();
    const std::uint64_t index_offset = reader.header().index_offset;
    // In an index in block order, a block runs up to the next entry's block
    // (or up to the index, which lies inside the file): its count comes from
    // its entry and the next, in constant time, whatever the size of the file.
    const bool in_order = how == PlanHeaders::infer && index.in_block_order();
    BlockPlan plan;
    plan.blocks.resize(apertures.size());
    std::vector<std::size_t> unknown;  // blocks whose counts are still to be found
    std::size_t cursor = 0;
    for (std::size_t i = 0; i < apertures.size(); ++i) {
        auto offset = index.get(apertures[i], cursor);
        if (!offset) return std::move(offset).error();
        PlannedBlock& block = plan.blocks[i];
        block.aperture = apertures[i];
        block.offset = *offset;
        const std::optional<std::uint64_t> next = in_order ? index.next_offset(cursor) : std::nullopt;
        const std::uint64_t end = next && *next != 0 && *next < index_offset ? *next : index_offset;
        const std::uint64_t extent = end - std::min(end, block.offset);
        const std::uint64_t records = (extent - std::min(extent, aperture_header_size)) / 16;
        if (next && extent >= aperture_header_size && (extent - aperture_header_size) % 16 == 0 &&
            records <= UINT32_MAX) {
            block.num_records = static_cast<std::uint32_t>(records);
        } else {
            unknown.push_back(i);
        }
    }
    plan.headers_read = unknown.size() == plan.blocks.size();
    if (unknown.empty()) return plan;

    // The distinct block starts left, ascending; in the usual selection
    // (ascending apertures of a file in index order) they are the blocks themselves.
    std::vector<std::uint64_t> starts;
    starts.reserve(unknown.size());
    for (const std::size_t i : unknown) starts.push_back(plan.blocks[i].offset);
    starts = sorted_distinct(std::move(starts));
    // Blocks out of index order: from every block's extent when the plan takes
    // in a good share of the index (the list of every block start costs about
    // what the plan does), else from their headers.
    std::vector<std::uint32_t> counts;
    std::vector<bool> past_end;
    bool infer = how == PlanHeaders::infer && !in_order && starts.size() >= index.size() / 16 &&
                 infer_counts(reader, starts, counts);
    if (infer) {
        // Extents that run past the end of the file (a cut file, offsets
        // damaged) are no counts to size anything by: the headers say more.
        auto inside = inside_file(reader, starts, counts);
        if (!inside) return std::move(inside).error();
        infer = *inside;
    }
    if (infer) plan.headers_read = false;
    if (!infer) {
        if (Status read = read_counts(reader, starts, damaged, cancel, counts, past_end); !read) return read.error();
    }
    for (const std::size_t i : unknown) {
        const auto at = static_cast<std::size_t>(std::lower_bound(starts.begin(), starts.end(), plan.blocks[i].offset) -
                                                 starts.begin());
        plan.blocks[i].num_records = counts[at];
        plan.blocks[i].past_end = !past_end.empty() && past_end[at];
    }
    return plan;
}

}  // namespace kvt
