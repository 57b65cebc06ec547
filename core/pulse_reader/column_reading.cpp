// Reading a block straight into columns, on two threads for large blocks.
//
// The records are read a chunk at a time into a buffer small enough to stay
// in the cache, and decoded from there while they are still in it. A large
// block is split in two halves. This thread decodes the first; a helper
// thread first reads the first half too, only to work out the decoding state
// at the split (the running sum of ipd_f, or the pulse run, which need words
// 0 and 1 alone), and then decodes the second half into its own rows.

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <vector>
#include <system_error>
#include <thread>
#include <utility>

#include "pulse_reader/pulse_reader.hpp"

namespace kvt {

namespace {

/// Reads records of the block whose records start at file position
/// `records_at` a chunk at a time into one buffer, kept from call to call so
/// that it stays in the cache.
class ChunkReader {
public:
    ChunkReader(const InputFile& file, std::uint64_t records_at, std::size_t chunk_records, std::size_t most_records)
        : file_(file), records_at_(records_at), chunk_records_(chunk_records),
          // A buffer of some size is taken from the kept large buffers,
          // already mapped, rather than from the allocator, which may map and
          // unmap it at every call; only its first bytes are used.
          buffer_(room(std::min(chunk_records, most_records) * event_record_size)) {
        if (!buffer_) throw std::bad_alloc();
    }

    /// Reads records [first, last), calling `use(chunk, first_record)` with
    /// each chunk's bytes and the number of its first record.
    template <class Use>
    Status read(std::size_t first, std::size_t last, Use&& use) const {
        for (std::size_t at = first; at < last; at += chunk_records_) {
            const std::size_t n = std::min(chunk_records_, last - at);
            const std::span<std::byte> chunk(buffer_.data(), n * event_record_size);
            if (Status read = file_.read_exact_at(records_at_ + std::uint64_t{at} * event_record_size, chunk); !read) {
                return read;
            }
            use(std::span<const std::byte>(chunk), at);
        }
        return {};
    }

private:
    static std::size_t room(std::size_t bytes) noexcept {
        return bytes >= (std::size_t{64} << 10) ? std::max(bytes, large_buffer_bytes) : bytes;
    }

    const InputFile& file_;
    std::uint64_t records_at_;
    std::size_t chunk_records_;
    LargeBuffer buffer_;
};

/// Reads records [first, last) a chunk at a time, as ChunkReader::read.
template <class Use>
Status read_chunks(const InputFile& file, std::uint64_t records_at, std::size_t chunk_records, std::size_t first,
                   std::size_t last, Use&& use) {
    if (first >= last) return {};
    return ChunkReader(file, records_at, chunk_records, last - first).read(first, last, std::forward<Use>(use));
}

/// Reads and decodes the `count` records of a block. `state_after(part,
/// state)` gives the decoding state after the records `part` starting from
/// `state`, from their words 0 and 1; `decode(part, first_record, state)`
/// decodes `part`, whose first record is record `first_record`, continuing
/// and updating `state`. Returns the state after the last record.
///
/// From `how.split_from` records on, a helper thread takes the end of the block.
/// This thread decodes chunk after chunk from the start, telling after each
/// how far it got and in which state. When the helper starts (which may be a
/// while later), it takes that position and state, chooses where to split
/// what is left, works out the state there from words 0 and 1, and decodes
/// from there to the end, while this thread stops at the split. The helper
/// gets the smaller share, as it also has to read the records before the
/// split once more.
template <class State, class StateAfter, class Decode>
Result<State> read_and_decode(const InputFile& file, std::uint64_t records_at, std::size_t count, ColumnReading how,
                              State state, StateAfter&& state_after, Decode&& decode) {
    const std::size_t chunk_records = std::max<std::size_t>(how.chunk_records, 1);
    // What a reader does with each chunk: decode it, continuing from `at`.
    const auto decoding = [&decode](State& at) {
        return [&decode, &at](std::span<const std::byte> chunk, std::size_t first_record) {
            decode(chunk, first_record, at);
        };
    };
    const auto on_this_thread = [&]() -> Result<State> {
        if (Status done = read_chunks(file, records_at, chunk_records, 0, count, decoding(state)); !done) {
            return std::move(done).error();
        }
        return state;
    };
    if (count < how.split_from || count < 2 * chunk_records) return on_this_thread();

    struct Progress {
        std::mutex mutex;
        std::condition_variable chosen;  ///< signalled once the helper has chosen
        bool has_chosen = false;
        std::size_t position = 0;  ///< records decoded by this thread
        State state;               ///< the state there
        std::size_t split;         ///< where this thread stops
    };
    Progress progress{{}, {}, false, 0, state, count};
    // Once the helper has chosen (or failed), the first thread need not wait.
    const auto chosen = [&progress] {
        progress.has_chosen = true;
        progress.chosen.notify_all();
    };

    Status helper_done;
    State helper_state = state;
    bool helper_ran = false;
    std::exception_ptr helper_failure;
    std::thread helper;
    try {
        helper = std::thread([&] {
            try {
                std::size_t from = 0;
                std::size_t split = 0;
                {
                    // Position, state and split together: the first thread
                    // must not pass the split before it is set.
                    const std::lock_guard lock(progress.mutex);
                    from = progress.position;
                    helper_state = progress.state;
                    // The first thread may be inside the chunk after `from`:
                    // the split comes after it, on a chunk boundary, with
                    // about 7/12 of the rest before it.
                    const std::size_t left = count - from;
                    split = from + std::max<std::size_t>(1, left * 7 / 12 / chunk_records) * chunk_records;
                    if (split < count) progress.split = split;
                    chosen();
                }
                if (split >= count) return;
                helper_ran = true;
                const ChunkReader reader(file, records_at, chunk_records, count);
                helper_done = reader.read(from, split, [&](std::span<const std::byte> chunk, std::size_t) {
                    helper_state = state_after(chunk, helper_state);
                });
                if (helper_done) helper_done = reader.read(split, count, decoding(helper_state));
            } catch (...) {
                helper_failure = std::current_exception();
                const std::lock_guard lock(progress.mutex);
                chosen();
            }
        });
    } catch (const std::system_error&) {
        return on_this_thread();  // no thread to be had: this one does it all
    }

    if (how.split_before_start) {
        std::unique_lock lock(progress.mutex);
        progress.chosen.wait(lock, [&progress] { return progress.has_chosen; });
    }
    Status done;
    try {
        const ChunkReader reader(file, records_at, chunk_records, count);
        for (std::size_t at = 0;;) {
            std::size_t stop = 0;
            {
                const std::lock_guard lock(progress.mutex);
                progress.position = at;
                progress.state = state;
                stop = progress.split;
            }
            if (at >= stop || !done) break;
            const std::size_t last = std::min(at + chunk_records, stop);
            done = reader.read(at, last, decoding(state));
            at = last;
        }
    } catch (...) {
        helper.join();
        throw;
    }
    helper.join();
    if (!done) return std::move(done).error();
    if (helper_failure) std::rethrow_exception(helper_failure);
    if (!helper_ran) return state;
    if (!helper_done) return std::move(helper_done).error();
    return helper_state;
}

}  // namespace

Status PulseReader::read_record_columns(const BlockPlace& place, const RecordColumnPointers& out,
                                        ColumnReading how) const {
    auto done = read_and_decode(
        file_, place.records_at, place.header.num_records, how, std::uint32_t{0},
        [](std::span<const std::byte> part, std::uint32_t start_f) {
            return static_cast<std::uint32_t>(start_f + sum_ipd_f(part));
        },
        [this, &out](std::span<const std::byte> part, std::size_t first_record, std::uint32_t& start_f) {
            start_f = decode_record_columns(part, encoding_records_, start_f, out, first_record);
        });
    if (!done) return std::move(done).error();
    return {};
}

Result<std::size_t> PulseReader::read_pulse_columns(const BlockPlace& place, const PulseFilter* filter,
                                                    const PulseColumnPointers& out, ColumnReading how) const {
    if (filter != nullptr) {
        // The filter keeps state from pulse to pulse: one pass in order.
        PulseFilterPass pass(*filter, fps_);
        PulseNormalizer normalizer(fps_);
        std::vector<NormalizedPulse> pulses;
        std::vector<NormalizedPulse> kept;
        std::size_t rows = 0;
        Status filtered;
        Status read = read_chunks(
            file_, place.records_at, std::max<std::size_t>(how.chunk_records, 1), 0, place.header.num_records,
            [&](std::span<const std::byte> chunk, std::size_t first_record) {
                decode_block_pieces(
                    chunk, encoding_records_,
                    [&](std::span<const FormattedRecord> records) {
                        if (!filtered) return;
                        pulses.clear();
                        normalizer.add(records, pulses);
                        kept.clear();
                        filtered = pass.add(pulses, kept);
                        if (!filtered) return;
                        store_pulses(kept, out, rows);
                        rows += kept.size();
                    },
                    first_record);
            });
        if (!read) return std::move(read).error();
        if (!filtered) return std::move(filtered).error();
        return rows;
    }
    auto done = read_and_decode(
        file_, place.records_at, place.header.num_records, how, PulseRun{},
        [](std::span<const std::byte> part, const PulseRun& run) { return pulse_run_after(part, run); },
        [this, &out](std::span<const std::byte> part, std::size_t first_record, PulseRun& run) {
            (void)normalize_pulse_columns(part, encoding_records_, fps_, first_record, run, out);
        });
    if (!done) return std::move(done).error();
    return static_cast<std::size_t>(done->pulses);
}

}  // namespace kvt
