// The scheduler of the plan reader: worker threads take the units of a plan
// in plan order, decode each into a free slot of rows, and publish the units
// in plan order, which fixes the row where each unit's rows go; a read whose
// inferred record counts disagree with the headers, or which finds a large
// block to skip, starts over.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "pulse_reader/large_buffer.hpp"
#include "pulse_reader/plan_reader.hpp"
#include "pulse_reader/plan_sinks.hpp"
#include "pulse_reader/plan_units.hpp"
#include "pulse_reader/pulse_reader.hpp"

namespace kvt::plan_reading {

/// Runs `work(worker)` on `threads` threads (this one among them) and joins
/// them all before returning, also when one throws; the first exception thrown
/// is thrown again here. Fewer threads run when the system refuses more.
template <class Work>
void run_on_threads(std::size_t threads, Work&& work) {
    std::exception_ptr failure;
    std::mutex failure_mutex;
    const auto guarded = [&](std::size_t worker) {
        try {
            work(worker);
        } catch (...) {
            const std::lock_guard lock(failure_mutex);
            if (!failure) failure = std::current_exception();
        }
    };
    {
        std::vector<std::jthread> helpers;
        for (std::size_t t = 1; t < threads; ++t) {
            try {
                helpers.emplace_back(guarded, t);
            } catch (const std::system_error&) {
                break;  // no more threads to be had: those started do it all
            }
        }
        guarded(0);
    }  // jthread joins on destruction
    if (failure) std::rethrow_exception(failure);
}

/// Why a read must start over.
enum class Restart { none, read_headers, skip_blocks };

template <RowSink Rows>
class PlanRead {
public:
    PlanRead(const PulseReader& reader, const BlockPlan& plan, const Rows& rows, const PlanReading& how,
             const std::set<std::size_t>& skip_blocks)
        : reader_(reader),
          plan_(plan),
          rows_(rows),
          how_(how),
          skip_blocks_(skip_blocks),
          units_(cut_units(plan, std::max<std::size_t>(how.unit_records, 1))) {}

    /// Reads every unit; on success the rows and skipped apertures, else the
    /// first error in plan order, or what makes the read start over.
    Result<PlanRows> run(Restart& restart, std::set<std::size_t>& skip_more) {
        const std::size_t threads = std::max<std::size_t>(1, std::min(how_.threads, units_.size()));
        if (Status started = find_piece_starts(threads); !started) {
            restart = restart_;
            return started.error();
        }
        if (restart_ != Restart::none) {
            restart = restart_;
            return PlanRows{};
        }
        // A few units ahead for each thread, and no more than 16 in all
        // besides one a thread: a unit's rows are up to a few hundred KiB.
        most_slots_ = threads + std::min<std::size_t>(3 * threads, 16);
        run_on_threads(threads, [this](std::size_t) {
            try {
                work();
            } catch (...) {
                // The others stop too, rather than wait for this thread's units.
                {
                    const std::lock_guard lock(turn_mutex_);
                    stopped_ = true;
                }
                turn_changed_.notify_all();
                throw;
            }
        });
        restart = restart_;
        skip_more = skip_more_;
        if (error_) return *error_;
        return PlanRows{next_row_, std::move(skipped_), std::move(headers_)};
    }

private:
    /// The header of a block as read, checked against the plan.
    Result<ApertureHeader> check_header(std::size_t block, std::span<const std::byte> bytes) {
        const PlannedBlock& planned = plan_.blocks[block];
        const ApertureHeader header = ApertureHeader::new_(bytes.first<aperture_header_size>(), planned.offset);
        if (header.num_records != planned.num_records) {
            if (!plan_.headers_read) {
                restart_ = Restart::read_headers;
                return Error(ErrorCode::invalid_block, "block sizes differ from their headers");
            }
            // The file changed between planning and reading.
            return Error(ErrorCode::invalid_block, "The block of aperture " + std::to_string(planned.aperture) +
                                                       " changed while the file was read");
        }
        return header;
    }

    /// For every piece of a large block: the block's header, and the state in
    /// which the piece starts, from words 0 and 1 of the pieces before it.
    Status find_piece_starts(std::size_t threads) {
        std::vector<std::size_t> pieces;
        for (std::size_t u = 0; u < units_.size(); ++u) {
            if (units_[u].piece) pieces.push_back(u);
        }
        starts_.assign(units_.size(), {});
        piece_headers_.assign(plan_.blocks.size(), {});
        if (pieces.empty()) return {};
        std::vector<std::uint32_t> sum_w0(units_.size());
        std::vector<PulseRun> relative(units_.size());
        std::vector<std::optional<Error>> errors(units_.size());
        std::atomic<std::size_t> next{0};
        run_on_threads(std::min(threads, pieces.size()), [&](std::size_t) {
            std::vector<std::byte> bytes;
            for (std::size_t p = next++; p < pieces.size(); p = next++) {
                if (cancelled(how_.cancel)) {
                    errors[pieces[p]] = cancelled_error();
                    continue;
                }
                const Unit& unit = units_[pieces[p]];
                const PlannedBlock& planned = plan_.blocks[unit.first];
                if (unit.first_record == 0) {
                    std::array<std::byte, aperture_header_size> header_bytes{};
                    if (Status read = reader_.file().read_exact_at(planned.offset, header_bytes); !read) {
                        errors[pieces[p]] = read.error();
                        continue;
                    }
                    auto header = check_header(unit.first, header_bytes);
                    if (!header) {
                        errors[pieces[p]] = header.error();
                        continue;
                    }
                    piece_headers_[unit.first] = *header;
                }
                const auto records = room(bytes, static_cast<std::size_t>(16 * (unit.end_record - unit.first_record)));
                if (Status read = reader_.file().read_exact_at(planned.records_at() + 16 * unit.first_record, records);
                    !read) {
                    errors[pieces[p]] = read.error();
                    continue;
                }
                sum_w0[pieces[p]] = sum_ipd_f(records);
                relative[pieces[p]] = pulse_run_after(records, PulseRun{});
            }
        });
        for (const std::size_t u : pieces) {
            if (errors[u]) return *errors[u];
        }
        // Each block's pieces in order: every piece starts where the one before ended.
        for (std::size_t p = 0; p < pieces.size(); ++p) {
            const std::size_t u = pieces[p];
            if (units_[u].first_record == 0) continue;
            const std::size_t before = pieces[p - 1];
            starts_[u].start_f = starts_[before].start_f + sum_w0[before];
            starts_[u].run = continue_run(starts_[before].run, relative[before]);
        }
        return {};
    }

    /// A unit's rows, decoded and waiting to be published.
    struct Slot {
        typename Rows::Local local;
        std::vector<Segment> segments;
        Status decoded;
        bool failed = false;  ///< decoding threw
        bool store = false;   ///< published: its rows go at row `at`
        std::size_t at = 0;
    };

    /// The work of one thread: units in plan order, each decoded here into a
    /// free slot and handed in. Whoever hands in the unit whose turn it is
    /// publishes it and every unit after it that is waiting, in plan order,
    /// then stores their rows. A thread ahead of the others goes on with the
    /// next unit instead of waiting for its turn, as long as there are free
    /// slots: so threads wait for each other only when one falls far behind.
    void work() {
        std::vector<std::byte> bytes;
        std::vector<Slot*> published;
        for (;;) {
            Slot* slot = acquire_slot();
            if (slot == nullptr) return;  // stopped
            // A unit is taken only with a slot to decode it into, so the unit
            // whose turn it is always has one.
            const std::size_t u = next_unit_++;
            if (u >= units_.size()) {
                release_slots({&slot, 1});
                return;
            }
            Rows::clear(slot->local);
            slot->segments.clear();
            slot->decoded = {};
            slot->failed = false;
            slot->store = false;
            std::exception_ptr thrown;
            if (cancelled(how_.cancel)) {
                slot->decoded = cancelled_error();  // stops the read when its turn comes
            } else if (!stopped_) {
                try {
                    slot->decoded = decode(units_[u], slot->local, bytes, slot->segments);
                } catch (...) {
                    thrown = std::current_exception();
                    slot->failed = true;
                }
            }
            hand_in(u, slot, published);
            for (Slot* done : published) {
                if (done->store) rows_.store(done->local, done->at);
            }
            release_slots(published);
            if (thrown) std::rethrow_exception(thrown);
        }
    }

    /// A free slot, made when there are fewer than the most allowed, else
    /// waited for; none once the read has stopped.
    Slot* acquire_slot() {
        std::unique_lock lock(turn_mutex_);
        turn_changed_.wait(lock, [&] { return stopped_ || !free_slots_.empty() || slots_.size() < most_slots_; });
        if (stopped_) return nullptr;
        if (!free_slots_.empty()) {
            Slot* slot = free_slots_.back();
            free_slots_.pop_back();
            return slot;
        }
        return slots_.emplace_back(std::make_unique<Slot>()).get();
    }

    void release_slots(std::span<Slot* const> slots) {
        if (slots.empty()) return;
        {
            const std::lock_guard lock(turn_mutex_);
            free_slots_.insert(free_slots_.end(), slots.begin(), slots.end());
        }
        turn_changed_.notify_all();
    }

    /// Hands in unit u's slot; `published` becomes the slots published here,
    /// in plan order (those to be stored marked so).
    void hand_in(std::size_t u, Slot* slot, std::vector<Slot*>& published) {
        published.clear();
        const std::lock_guard lock(turn_mutex_);
        waiting_.emplace(u, slot);
        for (auto next = waiting_.find(turn_); next != waiting_.end(); next = waiting_.find(turn_)) {
            Slot* ready = next->second;
            waiting_.erase(next);
            published.push_back(ready);
            publish(turn_, *ready);
            ++turn_;
        }
    }

    /// Publishes unit u (under turn_mutex_, in plan order).
    void publish(std::size_t u, Slot& slot) {
        if (slot.failed) stopped_ = true;
        if (stopped_) return;
        if (!slot.decoded) {
            error_ = slot.decoded.error();
            stopped_ = true;
            return;
        }
        const Segment* piece = units_[u].piece && !slot.segments.empty() ? &slot.segments.front() : nullptr;
        rows_.publish(slot.local, carry_, piece);
        slot.at = next_row_;
        next_row_ += Rows::rows(slot.local);
        skipped_.insert(skipped_.end(), slot.local.skipped.begin(), slot.local.skipped.end());
        if (how_.keep_headers) {
            for (const Segment& segment : slot.segments) {
                if (segment.first_piece) headers_.push_back(segment.header);
            }
        }
        slot.store = true;
    }

    Status decode(const Unit& unit, typename Rows::Local& local, std::vector<std::byte>& bytes,
                  std::vector<Segment>& segments) {
        if (unit.piece) {
            const PlannedBlock& planned = plan_.blocks[unit.first];
            const auto records = room(bytes, static_cast<std::size_t>(16 * (unit.end_record - unit.first_record)));
            if (Status read = reader_.file().read_exact_at(planned.records_at() + 16 * unit.first_record, records);
                !read) {
                return read;
            }
            if (skip_blocks_.contains(unit.first)) {
                if (unit.first_record == 0) local.skipped.push_back({planned.aperture, SkipReason::out_of_order});
                return {};
            }
            Segment& segment = segments.emplace_back();
            segment.block = unit.first;
            segment.aperture = planned.aperture;
            segment.header = piece_headers_[unit.first];
            segment.records = records;
            segment.first_record = unit.first_record;
            segment.start = starts_[static_cast<std::size_t>(&unit - units_.data())];
            segment.piece = true;
            segment.first_piece = unit.first_record == 0;
            segment.last_piece = unit.end_record == planned.num_records;
            Status done = rows_.decode(local, segment);
            if (!done && how_.skip_unreadable && how_.filter != nullptr) {
                // A large block out of order: its other pieces may have rows
                // already, so the read starts over without it.
                const std::lock_guard lock(turn_mutex_);
                skip_more_.insert(unit.first);
                restart_ = Restart::skip_blocks;
                return {};
            }
            return done;
        }
        // Whole blocks, read with one read for each run of blocks that lie back
        // to back; a block past the end of the file is not read at all.
        std::uint64_t total = 0;
        for (std::size_t b = unit.first; b < unit.end; ++b) {
            if (!plan_.blocks[b].past_end) total += plan_.blocks[b].size();
        }
        (void)room(bytes, static_cast<std::size_t>(total));
        std::size_t filled = 0;
        for (std::size_t b = unit.first; b < unit.end;) {
            if (plan_.blocks[b].past_end) {
                ++b;
                continue;
            }
            std::size_t e = b + 1;
            std::uint64_t length = plan_.blocks[b].size();
            while (e < unit.end && !plan_.blocks[e].past_end &&
                   plan_.blocks[e].offset == plan_.blocks[e - 1].offset + plan_.blocks[e - 1].size()) {
                length += plan_.blocks[e].size();
                ++e;
            }
            const std::span<std::byte> part(bytes.data() + filled, static_cast<std::size_t>(length));
            if (Status read = reader_.file().read_exact_at(plan_.blocks[b].offset, part); !read) return read;
            filled += part.size();
            b = e;
        }
        std::size_t at = 0;
        for (std::size_t b = unit.first; b < unit.end; ++b) {
            const PlannedBlock& planned = plan_.blocks[b];
            if (planned.past_end) {
                if (!how_.skip_unreadable) return unexpected_end_of_file();
                local.skipped.push_back({planned.aperture, SkipReason::past_end});
                continue;
            }
            const std::span<const std::byte> block(bytes.data() + at, static_cast<std::size_t>(planned.size()));
            at += block.size();
            auto header = check_header(b, block);
            if (!header) return header.error();
            Segment& segment = segments.emplace_back();
            segment.block = b;
            segment.aperture = planned.aperture;
            segment.header = *header;
            segment.records = block.subspan(aperture_header_size);
            if (skip_blocks_.contains(b)) {
                local.skipped.push_back({planned.aperture, SkipReason::out_of_order});
                continue;
            }
            if (Status done = rows_.decode(local, segment); !done) return done;
        }
        return {};
    }

    const PulseReader& reader_;
    const BlockPlan& plan_;
    const Rows& rows_;
    const PlanReading& how_;
    const std::set<std::size_t>& skip_blocks_;
    std::vector<Unit> units_;
    std::vector<PieceStart> starts_;
    std::vector<ApertureHeader> piece_headers_;

    std::atomic<std::size_t> next_unit_{0};
    std::atomic<bool> stopped_{false};
    std::mutex turn_mutex_;
    std::condition_variable turn_changed_;  ///< a slot freed, or the read stopped
    // Under turn_mutex_.
    std::size_t turn_ = 0;  ///< the unit whose rows are published next
    std::vector<std::unique_ptr<Slot>> slots_;
    std::size_t most_slots_ = 1;
    std::vector<Slot*> free_slots_;
    std::map<std::size_t, Slot*> waiting_;  ///< decoded units, by unit, waiting for their turn
    // Under turn_mutex_ (or set once by a failing unit before any reading starts).
    std::atomic<Restart> restart_{Restart::none};
    std::set<std::size_t> skip_more_;
    typename Rows::Carry carry_;
    std::size_t next_row_ = 0;
    std::vector<SkippedAperture> skipped_;
    std::vector<ApertureHeader> headers_;
    std::optional<Error> error_;
};

/// Reads of at least this many records (16 MiB) give back the allocator's
/// free memory when done.
constexpr std::uint64_t large_read_records = std::uint64_t{1} << 20;

/// Reads `plan`, starting over with headers read, or without blocks found out
/// of order, as often as that is called for (at most once each, and once per
/// large block out of order). `make(rows_needed)` makes the rows' destination
/// for each attempt.
template <class Make>
Result<PlanRows> read_plan(const PulseReader& reader, BlockPlan plan, const PlanReading& how, Make&& make) {
    std::set<std::size_t> skip_blocks;
    for (;;) {
        if (cancelled(how.cancel)) return cancelled_error();
        auto rows = make(plan);
        if (!rows) return std::move(rows).error();
        Restart restart = Restart::none;
        std::set<std::size_t> skip_more;
        auto result = PlanRead(reader, plan, **rows, how, skip_blocks).run(restart, skip_more);
        // The threads' rows are freed by now: a large read gives back what
        // they leave in the allocator's heaps.
        if (plan.total_records() >= large_read_records) give_back_free_memory();
        if (restart == Restart::read_headers) {
            std::vector<std::uint64_t> apertures;
            apertures.reserve(plan.blocks.size());
            for (const PlannedBlock& block : plan.blocks) apertures.push_back(block.aperture);
            auto replanned = plan_blocks(reader, apertures, PlanHeaders::read,
                                         how.skip_unreadable ? DamagedBlocks::mark : DamagedBlocks::fail, how.cancel);
            if (!replanned) return std::move(replanned).error();
            plan = std::move(replanned).value();
            continue;
        }
        if (restart == Restart::skip_blocks) {
            skip_blocks.insert(skip_more.begin(), skip_more.end());
            continue;
        }
        return result;
    }
}

}  // namespace kvt::plan_reading
