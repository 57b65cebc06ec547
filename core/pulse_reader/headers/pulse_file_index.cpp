#include "pulse_reader/headers/pulse_file_index.hpp"

#include <algorithm>
#include <string>

#include "pulse_reader/headers/byte_order.hpp"

namespace kvt {

namespace {

std::uint64_t entry_number(std::span<const std::byte> entries, std::size_t i) {
    return load_le<std::uint32_t>(entries.data() + i * index_entry_size);
}

std::uint64_t entry_offset(std::span<const std::byte> entries, std::size_t i) {
    return load_le<std::uint64_t>(entries.data() + i * index_entry_size + 4);
}

/// Largest span kept as a dense table regardless of the entry count: 8 MiB of slots.
constexpr std::uint64_t always_dense_span = std::uint64_t{1} << 20;

}  // namespace

Result<PulseFileIndex> PulseFileIndex::new_(std::span<const std::byte> entry_bytes, std::uint64_t num_apertures) {
    if (num_apertures == 0) return Error("The pulse file index has no entries");
    if (entry_bytes.size() / index_entry_size < num_apertures) return Error("failed to fill whole buffer");
    const auto count = static_cast<std::size_t>(num_apertures);
    const std::uint64_t first = entry_number(entry_bytes, 0);
    const std::uint64_t last = entry_number(entry_bytes, count - 1);
    if (last < first) {
        return Error("The pulse file index is not in ascending order: its last aperture index " +
                     std::to_string(last) + " is smaller than its first " + std::to_string(first));
    }

    PulseFileIndex index;
    index.first_aperture_ = first;
    index.span_ = last - first + 1;
    index.apertures_.reserve(count);
    const bool dense = index.span_ <= always_dense_span || index.span_ / 4 <= num_apertures;
    if (dense) index.offsets_.assign(static_cast<std::size_t>(index.span_), 0);
    else index.sparse_.reserve(count);

    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t number = entry_number(entry_bytes, i);
        if (number < first || number > last) {
            return Error("The pulse file index entry " + std::to_string(i) + " has aperture index " +
                         std::to_string(number) + ", outside the range " + std::to_string(first) + " to " +
                         std::to_string(last) + " of the first and last entries");
        }
        index.apertures_.push_back(number);
        const std::uint64_t offset = entry_offset(entry_bytes, i);
        if (dense) index.offsets_[static_cast<std::size_t>(number - first)] = offset;
        else index.sparse_.emplace_back(number, offset);
    }
    if (!dense) {
        // Stable, so that of two entries with one number the later stays last;
        // then keep only that last one.
        std::stable_sort(index.sparse_.begin(), index.sparse_.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        auto write = index.sparse_.begin();
        for (auto read = index.sparse_.begin(); read != index.sparse_.end(); ++read) {
            if (read + 1 != index.sparse_.end() && (read + 1)->first == read->first) continue;
            *write++ = *read;
        }
        index.sparse_.erase(write, index.sparse_.end());
    }
    return index;
}

Result<std::uint64_t> PulseFileIndex::get(std::uint64_t aperture_index) const {
    std::uint64_t offset = 0;
    if (aperture_index >= first_aperture_ && aperture_index - first_aperture_ < span_) {
        if (!offsets_.empty()) {
            offset = offsets_[static_cast<std::size_t>(aperture_index - first_aperture_)];
        } else {
            auto found = std::lower_bound(sparse_.begin(), sparse_.end(), aperture_index,
                                          [](const auto& entry, std::uint64_t n) { return entry.first < n; });
            if (found != sparse_.end() && found->first == aperture_index) offset = found->second;
        }
    }
    if (offset == 0) {
        return Error("This file does not contain the provided aperture index: " + std::to_string(aperture_index));
    }
    return offset;
}

}  // namespace kvt
