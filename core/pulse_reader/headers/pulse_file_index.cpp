#include "pulse_reader/headers/pulse_file_index.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "pulse_reader/headers/byte_order.hpp"

namespace kvt {

namespace {

std::uint64_t entry_number(const std::byte* entries, std::size_t i) noexcept {
    return load_le<std::uint32_t>(entries + i * index_entry_size);
}

std::uint64_t entry_offset(const std::byte* entries, std::size_t i) noexcept {
    return load_le<std::uint64_t>(entries + i * index_entry_size + 4);
}

/// Largest span kept as a dense table regardless of the entry count: 8 MiB of slots.
constexpr std::uint64_t always_dense_span = std::uint64_t{1} << 20;

}  // namespace

Result<PulseFileIndex> PulseFileIndex::new_(std::span<const std::byte> entry_bytes, std::uint64_t num_apertures) {
    if (entry_bytes.size() / index_entry_size < num_apertures)
        return Error(ErrorCode::truncated, "failed to fill whole buffer");
    return read(num_apertures, [entry_bytes](std::uint64_t at, std::span<std::byte> out) {
        std::memcpy(out.data(), entry_bytes.data() + at, out.size());
        return Status();
    });
}

Result<PulseFileIndex> PulseFileIndex::read(std::uint64_t num_apertures, const EntryReader& fill) {
    if (num_apertures == 0) return Error(ErrorCode::invalid_index, "The pulse file index has no entries");
    if (num_apertures > SIZE_MAX / index_entry_size) return Error(ErrorCode::truncated, "failed to fill whole buffer");
    const auto count = static_cast<std::size_t>(num_apertures);
    auto entry_bytes = std::make_unique_for_overwrite<std::byte[]>(count * index_entry_size);
    std::byte* const entries = entry_bytes.get();

    // The last entry first: every number is checked against the last one.
    const std::size_t last_at = (count - 1) * index_entry_size;
    if (Status got = fill(last_at, std::span(entries + last_at, index_entry_size)); !got) return std::move(got).error();
    const std::uint64_t last = entry_number(entries, count - 1);

    // Then the pieces in order, each looked at as soon as it is in, while it
    // is still in the cache: do the numbers strictly ascend? When they do,
    // every one lies between the first and the last, and nothing more needs
    // checking; only an index that does not ascend is checked entry by entry.
    constexpr std::size_t piece_entries = 32768;  // 384 KiB
    std::uint64_t first = 0;
    bool ascending = true;
    for (std::size_t begin = 0; begin < count; begin += piece_entries) {
        const std::size_t end = std::min(count, begin + piece_entries);
        const std::span<std::byte> piece(entries + begin * index_entry_size, (end - begin) * index_entry_size);
        if (Status got = fill(begin * index_entry_size, piece); !got) return std::move(got).error();
        if (begin == 0) {
            first = entry_number(entries, 0);
            if (last < first) {
                return Error(ErrorCode::invalid_index,
                             "The pulse file index is not in ascending order: its last aperture index " +
                                 std::to_string(last) + " is smaller than its first " + std::to_string(first));
            }
        }
        // Each entry against the one before, with no value carried from one
        // step to the next, so that the compiler can do several at once.
        std::uint32_t descents = 0;
        for (std::size_t i = begin == 0 ? 1 : begin; i < end; ++i) {
            const auto before = load_le<std::uint32_t>(entries + (i - 1) * index_entry_size);
            const auto number = load_le<std::uint32_t>(entries + i * index_entry_size);
            descents |= static_cast<std::uint32_t>(number <= before);
        }
        const bool steps_up = descents == 0;
        ascending = ascending && steps_up;
    }
    if (!ascending) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t number = entry_number(entries, i);
            if (number >= first && number <= last) continue;
            return Error(ErrorCode::invalid_index, "The pulse file index entry " + std::to_string(i) +
                                                       " has aperture index " + std::to_string(number) +
                                                       ", outside the range " + std::to_string(first) + " to " +
                                                       std::to_string(last) + " of the first and last entries");
        }
    }

    PulseFileIndex index;
    index.entries_ = std::move(entry_bytes);
    index.count_ = count;
    index.first_aperture_ = first;
    index.span_ = last - first + 1;
    index.ascending_ = ascending;
    if (ascending) return index;

    const bool dense = index.span_ <= always_dense_span || index.span_ / 4 <= num_apertures;
    if (dense) {
        index.offsets_.assign(static_cast<std::size_t>(index.span_), 0);
        for (std::size_t i = 0; i < count; ++i) {
            index.offsets_[static_cast<std::size_t>(entry_number(entries, i) - first)] = entry_offset(entries, i);
        }
        return index;
    }
    // Sorted by number and then by position, so that of two entries with one
    // number the later comes last; only that last one is kept, with its offset.
    index.sparse_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) index.sparse_.emplace_back(entry_number(entries, i), i);
    std::sort(index.sparse_.begin(), index.sparse_.end());
    auto write = index.sparse_.begin();
    for (auto read = index.sparse_.begin(); read != index.sparse_.end(); ++read) {
        if (read + 1 != index.sparse_.end() && (read + 1)->first == read->first) continue;
        *write++ = {read->first, entry_offset(entries, static_cast<std::size_t>(read->second))};
    }
    index.sparse_.erase(write, index.sparse_.end());
    return index;
}

std::uint64_t PulseFileIndex::aperture_at(std::size_t i) const noexcept { return entry_number(entries_.get(), i); }

std::uint64_t PulseFileIndex::offset_at(std::size_t i) const noexcept { return entry_offset(entries_.get(), i); }

std::vector<std::uint64_t> PulseFileIndex::apertures() const {
    std::vector<std::uint64_t> numbers(count_);
    for (std::size_t i = 0; i < count_; ++i) numbers[i] = aperture_at(i);
    return numbers;
}

bool PulseFileIndex::in_block_order() const noexcept {
    std::uint8_t order = block_order_->load(std::memory_order_relaxed);
    if (order == order_unknown) {
        // Threads that get here at once each find the same answer.
        bool ascend = ascending_;
        std::uint64_t before = 0;  // the offset of the last present entry
        for (std::size_t i = 0; ascend && i < count_; ++i) {
            const std::uint64_t offset = offset_at(i);
            ascend = offset == 0 || offset > before;
            before = offset == 0 ? before : offset;
        }
        order = ascend ? order_kept : order_not_kept;
        block_order_->store(order, std::memory_order_relaxed);
    }
    return order == order_kept;
}

std::optional<std::uint64_t> PulseFileIndex::next_offset(std::size_t i, std::size_t most) const noexcept {
    const std::size_t last = std::min(count_, i + 1 + most);
    for (std::size_t at = i + 1; at < last; ++at) {
        if (const std::uint64_t offset = offset_at(at); offset != 0) return offset;
    }
    if (last < count_) return std::nullopt;
    return 0;
}

std::size_t PulseFileIndex::position_of(std::uint64_t aperture_index) const noexcept {
    // Bisection over the entry positions: the numbers strictly ascend.
    std::size_t low = 0;
    std::size_t high = count_;
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (aperture_at(middle) < aperture_index) low = middle + 1;
        else high = middle;
    }
    return low;
}

Result<std::uint64_t> PulseFileIndex::get(std::uint64_t aperture_index, std::size_t& cursor) const {
    if (!ascending_) return get(aperture_index);
    // A few steps on from the last entry found; a bisection when the number
    // is further on, or behind.
    constexpr std::size_t steps = 16;
    std::size_t at = cursor;
    const std::size_t last = std::min(count_, at + steps);
    while (at < last && aperture_at(at) < aperture_index) ++at;
    if (at == last || (at == cursor && aperture_at(at) > aperture_index)) {
        at = position_of(aperture_index);
    }
    cursor = std::min(at, count_ - 1);
    if (at < count_ && aperture_at(at) == aperture_index && offset_at(at) != 0) return offset_at(at);
    return get(aperture_index);  // the error
}

Result<std::uint64_t> PulseFileIndex::get(std::uint64_t aperture_index) const {
    std::uint64_t offset = 0;
    if (aperture_index >= first_aperture_ && aperture_index - first_aperture_ < span_) {
        const std::uint64_t from_first = aperture_index - first_aperture_;
        if (ascending_) {
            if (from_first < count_ && aperture_at(static_cast<std::size_t>(from_first)) == aperture_index) {
                offset = offset_at(static_cast<std::size_t>(from_first));
            } else {
                const std::size_t at = position_of(aperture_index);
                if (at < count_ && aperture_at(at) == aperture_index) offset = offset_at(at);
            }
        } else if (!offsets_.empty()) {
            offset = offsets_[static_cast<std::size_t>(from_first)];
        } else {
            auto found = std::lower_bound(sparse_.begin(), sparse_.end(), aperture_index,
                                          [](const auto& entry, std::uint64_t n) { return entry.first < n; });
            if (found != sparse_.end() && found->first == aperture_index) offset = found->second;
        }
    }
    if (offset == 0) {
        return Error(ErrorCode::missing_aperture,
                     "This file does not contain the provided aperture index: " + std::to_string(aperture_index));
    }
    return offset;
}

}  // namespace kvt
