// Reading a block straight into columns, on two threads for large blocks.
//
// A block's records are read into one buffer. A large block is split in two
// halves: a helper thread reads the second half while this thread reads the
// first and works out the decoding state at the split (the running sum of
// ipd_f, or the pulse run), which it hands over; then each thread decodes its
// own half into its own rows.

#include <exception>
#include <future>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "pulse_reader/pulse_reader.hpp"

namespace kvt {

namespace {

/// Reads `bytes` (the block's records, from file position `records_at`) and
/// decodes them. `state_after(part, state)` gives the decoding state after the
/// records `part` starting from `state`; `decode(part, first_record, state)`
/// decodes `part`, whose first record is record `first_record`, continuing
/// and updating `state`. Returns the state after the last record.
template <class State, class StateAfter, class Decode>
Result<State> read_and_decode(const InputFile& file, std::uint64_t records_at, std::span<std::byte> bytes,
                              std::size_t split_from, State state, StateAfter&& state_after, Decode&& decode) {
    const std::size_t count = bytes.size() / event_record_size;
    const auto whole = [&]() -> Result<State> {
        if (Status read = file.read_exact_at(records_at, bytes); !read) return std::move(read).error();
        decode(std::span<const std::byte>(bytes), std::size_t{0}, state);
        return state;
    };
    if (count < split_from || count < 2) return whole();

    const std::size_t split = count / 2;
    const std::span<std::byte> first = bytes.first(split * event_record_size);
    const std::span<std::byte> second = bytes.subspan(split * event_record_size);
    std::promise<std::optional<State>> handoff;
    std::future<std::optional<State>> at_split = handoff.get_future();
    Status second_read;
    std::optional<State> second_state;
    std::exception_ptr second_failure;
    std::thread helper;
    try {
        helper = std::thread([&] {
            try {
                second_read = file.read_exact_at(records_at + first.size(), second);
                std::optional<State> start = at_split.get();
                if (second_read && start) {
                    decode(std::span<const std::byte>(second), split, *start);
                    second_state = *start;
                }
            } catch (...) {
                second_failure = std::current_exception();
            }
        });
    } catch (const std::system_error&) {
        return whole();  // no thread to be had: one thread does it all
    }

    // From here on the helper waits for the handoff: it must get one before
    // the helper is joined, whatever happens.
    bool handed_over = false;
    Status first_read;
    try {
        first_read = file.read_exact_at(records_at, first);
        if (first_read) {
            handoff.set_value(state_after(std::span<const std::byte>(first), state));
            handed_over = true;
            decode(std::span<const std::byte>(first), std::size_t{0}, state);
        }
    } catch (...) {
        if (!handed_over) handoff.set_value(std::nullopt);
        helper.join();
        throw;
    }
    if (!handed_over) handoff.set_value(std::nullopt);
    helper.join();
    if (!first_read) return std::move(first_read).error();
    if (second_failure) std::rethrow_exception(second_failure);
    if (!second_read) return std::move(second_read).error();
    return *second_state;
}

LargeBuffer record_buffer(const BlockPlace& place) {
    LargeBuffer bytes(std::size_t{16} * place.header.num_records);
    if (!bytes) throw std::bad_alloc();
    return bytes;
}

}  // namespace

Status PulseReader::read_record_columns(const BlockPlace& place, const RecordColumnPointers& out,
                                        std::size_t split_from) const {
    const LargeBuffer buffer = record_buffer(place);
    const std::span<std::byte> bytes(buffer.data(), std::size_t{16} * place.header.num_records);
    auto done = read_and_decode(
        file_, place.records_at, bytes, split_from, std::uint32_t{0},
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
                                                    const PulseColumnPointers& out, std::size_t split_from) const {
    const LargeBuffer buffer = record_buffer(place);
    const std::span<std::byte> bytes(buffer.data(), std::size_t{16} * place.header.num_records);
    if (filter != nullptr) {
        // The filter keeps state from pulse to pulse: one pass in order.
        if (Status read = file_.read_exact_at(place.records_at, bytes); !read) return std::move(read).error();
        std::size_t rows = 0;
        Status done = visit_pulses(std::span<const std::byte>(bytes), filter,
                                   [&out, &rows](std::span<const NormalizedPulse> pulses) {
                                       store_pulses(pulses, out, rows);
                                       rows += pulses.size();
                                   });
        if (!done) return std::move(done).error();
        return rows;
    }
    auto done = read_and_decode(
        file_, place.records_at, bytes, split_from, PulseRun{},
        [](std::span<const std::byte> part, const PulseRun&) { return pulse_run_after(part); },
        [this, &out](std::span<const std::byte> part, std::size_t first_record, PulseRun& run) {
            (void)normalize_pulse_columns(part, encoding_records_, fps_, first_record, run, out);
        });
    if (!done) return std::move(done).error();
    return static_cast<std::size_t>(done->pulses);
}

}  // namespace kvt
