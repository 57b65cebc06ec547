#include "pulse_reader/block_plan.hpp"

#include <algorithm>
#include <numeric>

#include "pulse_reader/headers/byte_order.hpp"
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
        const std::uint64_t size = aperture_header_size + std::uint64_t{16} * counts[i];
        if (starts[i] > *file_size || size > *file_size - starts[i]) return false;
    }
    return true;
}

/// Reads the headers of the blocks at `starts` (sorted, distinct), checking
/// that each whole block lies inside the file: one that does not fails the
/// plan, or is marked in `past_end` (count 0) when damaged blocks are marked.
Status read_counts(const PulseReader& reader, std::span<const std::uint64_t> starts, DamagedBlocks damaged,
                   const CancellationToken* cancel, std::vector<std::uint32_t>& counts,
                   std::vector<bool>& past_end) {
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
            const std::uint32_t records = load_le<std::uint32_t>(window.data() + (starts[j] - at) + 12);
            const std::uint64_t size = aperture_header_size + std::uint64_t{16} * records;
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
    BlockPlan plan;
    plan.blocks.resize(apertures.size());
    bool ascending = true;
    std::size_t cursor = 0;
    for (std::size_t i = 0; i < apertures.size(); ++i) {
        auto offset = reader.index().get(apertures[i], cursor);
        if (!offset) return std::move(offset).error();
        plan.blocks[i].aperture = apertures[i];
        plan.blocks[i].offset = *offset;
        if (i > 0 && *offset <= plan.blocks[i - 1].offset) ascending = false;
    }

    // The distinct block starts, ascending; in the usual selection (ascending
    // apertures of a file in index order) they are the blocks themselves.
    std::vector<std::uint64_t> starts;
    starts.reserve(plan.blocks.size());
    for (const PlannedBlock& block : plan.blocks) starts.push_back(block.offset);
    if (!ascending) starts = sorted_distinct(std::move(starts));
    std::vector<std::uint32_t> counts;
    std::vector<bool> past_end;
    plan.headers_read = how == PlanHeaders::read || !infer_counts(reader, starts, counts);
    if (!plan.headers_read) {
        // Extents that run past the end of the file (a cut file, offsets
        // damaged) are no counts to size anything by: the headers say more.
        auto inside = inside_file(reader, starts, counts);
        if (!inside) return std::move(inside).error();
        plan.headers_read = !*inside;
    }
    if (plan.headers_read) {
        if (Status read = read_counts(reader, starts, damaged, cancel, counts, past_end); !read) return read.error();
    }
    for (std::size_t i = 0; i < plan.blocks.size(); ++i) {
        const std::size_t at =
            ascending ? i
                      : static_cast<std::size_t>(std::lower_bound(starts.begin(), starts.end(), plan.blocks[i].offset) -
                                                 starts.begin());
        plan.blocks[i].num_records = counts[at];
        plan.blocks[i].past_end = !past_end.empty() && past_end[at];
    }
    return plan;
}

}  // namespace kvt
