#include "pulse_reader/plan_reader.hpp"

#include <sched.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>

#include "pulse_reader/pulse_reader.hpp"
#include "pulse_reader/records/normalized_pulse.hpp"

namespace kvt {

std::size_t usable_cpus() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    const unsigned count = std::thread::hardware_concurrency();
    return count > 0 ? count : 1;
}

namespace {

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

/// The first `length` bytes of `buffer`, which grows to hold them but never
/// shrinks, so that bytes it had are not cleared again for every unit.
std::span<std::byte> room(std::vector<std::byte>& buffer, std::size_t length) {
    if (buffer.size() < length) buffer.resize(length);
    return {buffer.data(), length};
}

/// A unit of work: the whole blocks [first, end) of the plan, or, for a piece,
/// the records [first_record, end_record) of block `first`.
struct Unit {
    std::size_t first = 0;
    std::size_t end = 0;
    std::uint64_t first_record = 0;
    std::uint64_t end_record = 0;
    bool piece = false;
};

/// At most this many blocks in a unit, however small they are.
constexpr std::size_t most_blocks_in_unit = 4096;

std::vector<Unit> cut_units(const BlockPlan& plan, std::size_t unit_records) {
    std::vector<Unit> units;
    const auto& blocks = plan.blocks;
    for (std::size_t i = 0; i < blocks.size();) {
        const std::uint64_t records = blocks[i].num_records;
        if (records > unit_records) {
            for (std::uint64_t r = 0; r < records; r += unit_records) {
                units.push_back({i, i + 1, r, std::min<std::uint64_t>(records, r + unit_records), true});
            }
            ++i;
            continue;
        }
        Unit unit{i, i, 0, 0, false};
        std::uint64_t total = 0;
        while (unit.end < blocks.size() && unit.end - unit.first < most_blocks_in_unit &&
               blocks[unit.end].num_records <= unit_records && total + blocks[unit.end].num_records <= unit_records) {
            total += blocks[unit.end].num_records;
            ++unit.end;
        }
        if (unit.end == unit.first) ++unit.end;  // cannot happen: the block fits
        units.push_back(unit);
        i = unit.end;
    }
    return units;
}

/// The run after `relative` (a run worked out from the start of a stretch of
/// records) when the stretch starts at `base`: frames are sums, so they shift.
PulseRun continue_run(const PulseRun& base, const PulseRun& relative) noexcept {
    PulseRun run = base;
    run.frame = base.frame + relative.frame;
    if (relative.have_previous) {
        run.previous_end = base.frame + relative.previous_end;
        run.have_previous = true;
    }
    run.pulses = base.pulses + relative.pulses;
    return run;
}

/// Where a piece of a large block starts, worked out before it is decoded.
struct PieceStart {
    std::uint32_t start_f = 0;  ///< the records' running sum of ipd_f before the piece
    PulseRun run;               ///< the normalization state before the piece
};

/// One stretch of records to decode: a whole block or a piece of one.
struct Segment {
    std::size_t block = 0;  ///< in the plan
    std::uint64_t aperture = 0;
    ApertureHeader header;
    std::span<const std::byte> records;
    std::uint64_t first_record = 0;
    PieceStart start;
    bool piece = false;
    bool first_piece = true;
    bool last_piece = true;
};

/// Rows of one block within a unit's rows.
struct RowSpan {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::uint64_t aperture = 0;
    std::uint32_t aperture_x = 0;
    std::uint32_t aperture_y = 0;
};

/// Why a read must start over.
enum class Restart { none, read_headers, skip_blocks };

Error out_of_order(std::uint64_t aperture, const Error& error) {
    return Error("aperture " + std::to_string(aperture) + ": " + error.message());
}

/// Writes `count` values `value(i)` into column `out` from row `at`; nothing
/// for a column not asked for.
template <class T, class Value>
void put(T* out, std::size_t at, std::size_t count, Value&& value) {
    if (out == nullptr) return;
    T* column = out + at;
    for (std::size_t i = 0; i < count; ++i) column[i] = value(i);
}

/// The aperture columns of every row.
template <class Table>
void put_aperture_columns(const Table& table, std::size_t at, std::span<const RowSpan> spans) {
    for (const RowSpan& span : spans) {
        const std::size_t rows = span.end - span.begin;
        put(table.aperture_index, at + span.begin, rows, [&](std::size_t) { return span.aperture; });
        put(table.aperture_x, at + span.begin, rows, [&](std::size_t) { return span.aperture_x; });
        put(table.aperture_y, at + span.begin, rows, [&](std::size_t) { return span.aperture_y; });
    }
}

// ---------------------------------------------------------------------------
// What each kind of read makes of a segment.

class RecordRows {
public:
    struct Local {
        // Grown as needed and never shrunk: the first `count` rows are the unit's.
        std::vector<FormattedRecord> rows;
        std::vector<std::uint32_t> start_f;
        std::size_t count = 0;
        std::vector<RowSpan> spans;
        std::vector<std::uint64_t> skipped;
    };
    struct Carry {};

    RecordRows(const PulseReader& reader, const RecordTable& table) : reader_(reader), table_(table) {}

    static void clear(Local& local) {
        local.count = 0;
        local.spans.clear();
        local.skipped.clear();
    }

    Status decode(Local& local, const Segment& segment) const {
        const std::size_t begin = local.count;
        const std::size_t count = segment.records.size() / event_record_size;
        if (local.rows.size() < begin + count) {
            local.rows.resize(begin + count);
            local.start_f.resize(begin + count);
        }
        local.count = begin + count;
        decode_records_into(segment.records, reader_.encoding_records(), segment.first_record,
                            std::span(local.rows).subspan(begin, count));
        std::uint32_t start_f = segment.start.start_f;
        for (std::size_t i = begin; i < begin + count; ++i) {
            start_f += local.rows[i].ipd_f;
            local.start_f[i] = start_f;
        }
        local.spans.push_back({begin, begin + count, segment.aperture, segment.header.aperture_x,
                               segment.header.aperture_y});
        return {};
    }

    void publish(Local& /*local*/, Carry& /*carry*/, const Segment* /*piece*/) const {}

    [[nodiscard]] static std::size_t rows(const Local& local) { return local.count; }

    void store(const Local& local, std::size_t at) const {
        const auto& rows = local.rows;
        const std::size_t n = local.count;
        const RecordTable& t = table_;
        constexpr double absent = std::numeric_limits<double>::quiet_NaN();
        put_aperture_columns(t, at, local.spans);
        put(t.index, at, n, [&](std::size_t i) { return rows[i].index; });
        put(t.ipd_f, at, n, [&](std::size_t i) { return rows[i].ipd_f; });
        put(t.dur_f, at, n, [&](std::size_t i) { return rows[i].dur_f; });
        put(t.bin0_intensity, at, n, [&](std::size_t i) { return rows[i].bin0_intensity; });
        put(t.bin1_intensity, at, n, [&](std::size_t i) { return rows[i].bin1_intensity; });
        put(t.bin0_bg_mean, at, n, [&](std::size_t i) { return rows[i].bin0_bg_mean; });
        put(t.bin1_bg_mean, at, n, [&](std::size_t i) { return rows[i].bin1_bg_mean; });
        put(t.bin0_bg_std, at, n, [&](std::size_t i) { return rows[i].bin0_bg_std; });
        put(t.bin1_bg_std, at, n, [&](std::size_t i) { return rows[i].bin1_bg_std; });
        put(t.start_f, at, n, [&](std::size_t i) { return local.start_f[i]; });
        put(t.record_type, at, n, [&](std::size_t i) { return rows[i].record_type; });
        put(t.long_pulse_duration_f, at, n, [&](std::size_t i) {
            return rows[i].long_pulse_duration_f ? static_cast<double>(*rows[i].long_pulse_duration_f) : absent;
        });
        put(t.event_f, at, n, [&](std::size_t i) {
            return rows[i].event_f ? static_cast<double>(*rows[i].event_f) : absent;
        });
    }

private:
    const PulseReader& reader_;
    const RecordTable& table_;
};

/// What decoding a segment needs besides its output, kept from segment to segment.
struct DecodingScratch {
    std::vector<FormattedRecord> piece = std::vector<FormattedRecord>(decoding_piece);
    std::vector<NormalizedPulse> pulses;
    [[nodiscard]] std::span<FormattedRecord, decoding_piece> records() noexcept {
        return std::span<FormattedRecord, decoding_piece>(piece.data(), decoding_piece);
    }
};

/// Decodes, normalizes and filters a segment's pulses a piece of records at
/// a time, appending the pulses kept to `out` and calling `piece_done(out)`
/// after each piece; `records(records)` sees every decoded record first.
/// Fails with the filter's error, naming the aperture when asked to.
template <class TakeRecords, class PieceDone>
Status visit_segment(const PulseReader& reader, const PulseFilter* filter, bool name_apertures, const Segment& segment,
                     DecodingScratch& scratch, std::vector<NormalizedPulse>& out, TakeRecords&& records,
                     PieceDone&& piece_done) {
    PulseNormalizer normalizer(reader.fps(), segment.start.run);
    std::optional<PulseFilterPass> pass;
    if (filter != nullptr) {
        pass.emplace(*filter, reader.fps(), segment.start.run.previous_end, segment.start.run.have_previous);
    }
    Status status;
    decode_block_pieces(
        segment.records, reader.encoding_records(),
        [&](std::span<const FormattedRecord> piece) {
            if (!status) return;
            records(piece);
            if (!pass) {
                normalizer.add(piece, out);
            } else {
                scratch.pulses.clear();
                normalizer.add(piece, scratch.pulses);
                status = pass->add(scratch.pulses, out);
            }
            if (status) piece_done(out);
        },
        segment.first_record, scratch.records());
    if (!status) return name_apertures ? out_of_order(segment.aperture, status.error()) : status;
    return {};
}

class PulseRows {
public:
    struct Local {
        std::vector<NormalizedPulse> rows;
        DecodingScratch scratch;
        std::vector<RowSpan> spans;
        std::vector<std::uint64_t> skipped;
    };
    /// For pieces of one block: the latest kept pulse of the pieces before.
    struct Carry {
        std::size_t block = SIZE_MAX;
        bool have_kept = false;
        std::uint32_t kept_end = 0;
    };

    PulseRows(const PulseReader& reader, const PulseTable& table, const PlanReading& how)
        : reader_(reader), table_(table), how_(how) {}

    static void clear(Local& local) {
        local.rows.clear();
        local.spans.clear();
        local.skipped.clear();
    }

    /// Fails with the filter's error; with skip_unsorted, a whole block out of
    /// order gives no rows and is listed instead.
    Status decode(Local& local, const Segment& segment) const {
        const std::size_t begin = local.rows.size();
        Status done = visit_segment(
            reader_, how_.filter, how_.name_apertures, segment, local.scratch, local.rows,
            [](std::span<const FormattedRecord>) {}, [](std::vector<NormalizedPulse>&) {});
        if (!done) {
            local.rows.resize(begin);
            if (!how_.skip_unsorted || segment.piece) return done;
            local.skipped.push_back(segment.aperture);
            return {};
        }
        local.spans.push_back({begin, local.rows.size(), segment.aperture, segment.header.aperture_x,
                               segment.header.aperture_y});
        return {};
    }

    /// In plan order: the first pulse kept in a piece learns the latest pulse
    /// kept before it, for its recomputed inter-pulse duration.
    void publish(Local& local, Carry& carry, const Segment* piece) const {
        if (piece == nullptr) return;
        if (piece->first_piece) carry = {piece->block, false, 0};
        if (local.rows.empty()) return;
        if (how_.filter != nullptr && how_.filter->recalc_ipd && carry.have_kept) {
            NormalizedPulse& first = local.rows.front();
            first.ipd_f = first.start_f - carry.kept_end;
            first.ipd_s = static_cast<float>(first.ipd_f) / reader_.fps();
        }
        carry.have_kept = true;
        carry.kept_end = local.rows.back().end_f;
    }

    [[nodiscard]] static std::size_t rows(const Local& local) { return local.rows.size(); }

    void store(const Local& local, std::size_t at) const {
        const auto& rows = local.rows;
        const std::size_t n = rows.size();
        const PulseTable& t = table_;
        put_aperture_columns(t, at, local.spans);
        put(t.index, at, n, [&](std::size_t i) { return rows[i].index; });
        put(t.start_f, at, n, [&](std::size_t i) { return rows[i].start_f; });
        put(t.end_f, at, n, [&](std::size_t i) { return rows[i].end_f; });
        put(t.dur_f, at, n, [&](std::size_t i) { return rows[i].dur_f; });
        put(t.dur_s, at, n, [&](std::size_t i) { return rows[i].dur_s; });
        put(t.ipd_f, at, n, [&](std::size_t i) { return rows[i].ipd_f; });
        put(t.ipd_s, at, n, [&](std::size_t i) { return rows[i].ipd_s; });
        put(t.snr, at, n, [&](std::size_t i) { return rows[i].snr; });
        put(t.intensity, at, n, [&](std::size_t i) { return rows[i].intensity; });
        put(t.bin0_intensity, at, n, [&](std::size_t i) { return rows[i].bin0_intensity; });
        put(t.intensity_display, at, n, [&](std::size_t i) { return rows[i].intensity_display; });
        put(t.binratio, at, n, [&](std::size_t i) { return rows[i].binratio; });
        put(t.bg_mean, at, n, [&](std::size_t i) { return rows[i].bg_mean; });
        put(t.bg_std, at, n, [&](std::size_t i) { return rows[i].bg_std; });
        put(t.bin0_bg_mean, at, n, [&](std::size_t i) { return rows[i].bin0_bg_mean; });
        put(t.bin0_bg_std, at, n, [&](std::size_t i) { return rows[i].bin0_bg_std; });
    }

private:
    const PulseReader& reader_;
    const PulseTable& table_;
    const PlanReading& how_;
};

/// Sums over the kept pulses of a stretch of an aperture, in double precision.
struct PulseSums {
    std::uint64_t kinds[formatted_record_type_count] = {};
    std::uint64_t kept = 0;
    std::uint32_t first_start_f = 0;
    std::uint32_t last_end_f = 0;
    float first_ipd_s = 0.0F;  ///< of the first kept pulse
    double dur_s = 0.0;
    double ipd_s = 0.0;  ///< over the kept pulses after the first
    double intensity = 0.0, snr = 0.0, bg_std = 0.0;
    std::uint64_t finite_intensity = 0, finite_snr = 0, finite_bg_std = 0;

    void add(const NormalizedPulse& pulse) noexcept {
        if (kept == 0) {
            first_start_f = pulse.start_f;
            first_ipd_s = pulse.ipd_s;
        } else {
            ipd_s += pulse.ipd_s;
        }
        ++kept;
        last_end_f = pulse.end_f;
        dur_s += pulse.dur_s;
        add_finite(intensity, finite_intensity, pulse.intensity);
        add_finite(snr, finite_snr, pulse.snr);
        add_finite(bg_std, finite_bg_std, pulse.bg_std);
    }

    /// Appends `later`, the sums of the stretch that follows; `first_ipd_s` is
    /// the inter-pulse duration of its first kept pulse as it stands after
    /// this stretch.
    void append(const PulseSums& later, float later_first_ipd_s) noexcept {
        for (std::size_t k = 0; k < formatted_record_type_count; ++k) kinds[k] += later.kinds[k];
        if (later.kept == 0) return;
        if (kept == 0) {
            first_start_f = later.first_start_f;
            first_ipd_s = later_first_ipd_s;
            ipd_s = later.ipd_s;
        } else {
            ipd_s += static_cast<double>(later_first_ipd_s) + later.ipd_s;
        }
        kept += later.kept;
        last_end_f = later.last_end_f;
        dur_s += later.dur_s;
        intensity += later.intensity;
        snr += later.snr;
        bg_std += later.bg_std;
        finite_intensity += later.finite_intensity;
        finite_snr += later.finite_snr;
        finite_bg_std += later.finite_bg_std;
    }

    [[nodiscard]] ApertureSummary summary(std::uint64_t aperture, const ApertureHeader& header,
                                          float fps) const noexcept {
        constexpr double none = std::numeric_limits<double>::quiet_NaN();
        const auto mean = [](double sum, std::uint64_t count) {
            return count == 0 ? none : sum / static_cast<double>(count);
        };
        ApertureSummary row;
        row.aperture_index = aperture;
        row.aperture_x = header.aperture_x;
        row.aperture_y = header.aperture_y;
        row.num_records = header.num_records;
        row.num_pulses = kept;
        std::copy(std::begin(kinds), std::end(kinds), std::begin(row.kinds));
        const double frames_per_second = static_cast<double>(fps);
        row.first_start_s = kept == 0 ? none : static_cast<double>(first_start_f) / frames_per_second;
        row.last_end_s = kept == 0 ? none : static_cast<double>(last_end_f) / frames_per_second;
        row.mean_dur_s = mean(dur_s, kept);
        row.mean_ipd_s = kept < 2 ? none : ipd_s / static_cast<double>(kept - 1);
        row.mean_intensity = mean(intensity, finite_intensity);
        row.mean_snr = mean(snr, finite_snr);
        row.mean_bg_std = mean(bg_std, finite_bg_std);
        return row;
    }

private:
    static void add_finite(double& sum, std::uint64_t& count, float value) noexcept {
        if (std::isfinite(value)) {
            sum += static_cast<double>(value);
            ++count;
        }
    }
};

class SummaryRows {
public:
    struct Local {
        std::vector<ApertureSummary> rows;
        PulseSums piece;  ///< the sums of a piece, until it is published
        DecodingScratch scratch;
        std::vector<NormalizedPulse> kept;
        std::vector<std::uint64_t> skipped;
    };
    struct Carry {
        std::size_t block = SIZE_MAX;
        PulseSums sums;  ///< of the pieces so far
    };

    SummaryRows(const PulseReader& reader, const SummaryTable& table, const PlanReading& how)
        : reader_(reader), table_(table), how_(how) {}

    static void clear(Local& local) {
        local.rows.clear();
        local.skipped.clear();
        local.piece = {};
    }

    Status decode(Local& local, const Segment& segment) const {
        PulseSums sums;
        local.kept.clear();
        Status done = visit_segment(
            reader_, how_.filter, how_.name_apertures, segment, local.scratch, local.kept,
            [&sums](std::span<const FormattedRecord> records) {
                for (const FormattedRecord& record : records) ++sums.kinds[static_cast<std::size_t>(record.record_type)];
            },
            [&sums](std::vector<NormalizedPulse>& pulses) {
                for (const NormalizedPulse& pulse : pulses) sums.add(pulse);
                pulses.clear();
            });
        if (!done) {
            if (!how_.skip_unsorted || segment.piece) return done;
            local.skipped.push_back(segment.aperture);
            return {};
        }
        if (segment.piece) {
            local.piece = sums;
        } else {
            local.rows.push_back(sums.summary(segment.aperture, segment.header, reader_.fps()));
        }
        return {};
    }

    void publish(Local& local, Carry& carry, const Segment* piece) const {
        if (piece == nullptr) return;
        if (piece->first_piece) carry = {piece->block, {}};
        float first_ipd_s = local.piece.first_ipd_s;
        if (how_.filter != nullptr && how_.filter->recalc_ipd && carry.sums.kept != 0) {
            const std::uint32_t ipd_f = local.piece.first_start_f - carry.sums.last_end_f;
            first_ipd_s = static_cast<float>(ipd_f) / reader_.fps();
        }
        carry.sums.append(local.piece, first_ipd_s);
        if (piece->last_piece) local.rows.push_back(carry.sums.summary(piece->aperture, piece->header, reader_.fps()));
    }

    [[nodiscard]] static std::size_t rows(const Local& local) { return local.rows.size(); }

    void store(const Local& local, std::size_t at) const {
        const auto& rows = local.rows;
        const std::size_t n = rows.size();
        const SummaryTable& t = table_;
        put(t.aperture_index, at, n, [&](std::size_t i) { return rows[i].aperture_index; });
        put(t.aperture_x, at, n, [&](std::size_t i) { return rows[i].aperture_x; });
        put(t.aperture_y, at, n, [&](std::size_t i) { return rows[i].aperture_y; });
        put(t.num_records, at, n, [&](std::size_t i) { return rows[i].num_records; });
        put(t.num_pulses, at, n, [&](std::size_t i) { return rows[i].num_pulses; });
        for (std::size_t k = 1; k < formatted_record_type_count; ++k) {
            put(t.num_kind[k], at, n, [&](std::size_t i) { return rows[i].kinds[k]; });
        }
        put(t.first_start_s, at, n, [&](std::size_t i) { return rows[i].first_start_s; });
        put(t.last_end_s, at, n, [&](std::size_t i) { return rows[i].last_end_s; });
        put(t.mean_dur_s, at, n, [&](std::size_t i) { return rows[i].mean_dur_s; });
        put(t.mean_ipd_s, at, n, [&](std::size_t i) { return rows[i].mean_ipd_s; });
        put(t.mean_intensity, at, n, [&](std::size_t i) { return rows[i].mean_intensity; });
        put(t.mean_snr, at, n, [&](std::size_t i) { return rows[i].mean_snr; });
        put(t.mean_bg_std, at, n, [&](std::size_t i) { return rows[i].mean_bg_std; });
    }

private:
    const PulseReader& reader_;
    const SummaryTable& table_;
    const PlanReading& how_;
};

// ---------------------------------------------------------------------------
// The read of a plan.

template <class Rows>
class PlanRead {
public:
    PlanRead(const PulseReader& reader, const BlockPlan& plan, const Rows& rows, const PlanReading& how,
             const std::set<std::size_t>& skip_blocks)
        : reader_(reader), plan_(plan), rows_(rows), how_(how), skip_blocks_(skip_blocks),
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
        run_on_threads(threads, [this](std::size_t) { work(); });
        restart = restart_;
        skip_more = skip_more_;
        if (error_) return *error_;
        return PlanRows{next_row_, std::move(skipped_), std::move(headers_)};
    }

private:
    /// The header of a block as read, checked against the plan.
    Result<ApertureHeader> check_header(std::size_t block, std::span<const std::byte> bytes) {
        const PlannedBlock& planned = plan_.blocks[block];
        const ApertureHeader header =
            ApertureHeader::new_(bytes.first<aperture_header_size>(), planned.offset);
        if (header.num_records != planned.num_records) {
            if (!plan_.headers_read) {
                restart_ = Restart::read_headers;
                return Error("block sizes differ from their headers");
            }
            // The file changed between planning and reading.
            return Error("The block of aperture " + std::to_string(planned.aperture) +
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

    /// The work of one thread: units in plan order, decoded here and published in turn.
    void work() {
        typename Rows::Local local;
        std::vector<std::byte> bytes;
        std::vector<Segment> segments;
        for (std::size_t u = next_unit_++; u < units_.size(); u = next_unit_++) {
            Rows::clear(local);
            segments.clear();
            Status decoded;
            if (!stopped_) {
                try {
                    decoded = decode(units_[u], local, bytes, segments);
                } catch (...) {
                    take_turn(u, [&] { stopped_ = true; });
                    throw;
                }
            }
            std::size_t at = 0;
            bool store = false;
            take_turn(u, [&] {
                if (stopped_) return;
                if (!decoded) {
                    error_ = decoded.error();
                    stopped_ = true;
                    return;
                }
                const Segment* piece = units_[u].piece && !segments.empty() ? &segments.front() : nullptr;
                rows_.publish(local, carry_, piece);
                at = next_row_;
                next_row_ += Rows::rows(local);
                skipped_.insert(skipped_.end(), local.skipped.begin(), local.skipped.end());
                if (how_.keep_headers) {
                    for (const Segment& segment : segments) {
                        if (segment.first_piece) headers_.push_back(segment.header);
                    }
                }
                store = true;
            });
            if (store) rows_.store(local, at);
        }
    }

    /// Runs `publish` when unit `u`'s turn has come, then hands the turn on.
    template <class Publish>
    void take_turn(std::size_t u, Publish&& publish) {
        std::unique_lock lock(turn_mutex_);
        turn_changed_.wait(lock, [&] { return turn_ == u; });
        publish();
        ++turn_;
        turn_changed_.notify_all();
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
                if (unit.first_record == 0) local.skipped.push_back(planned.aperture);
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
            if (!done && how_.skip_unsorted && how_.filter != nullptr) {
                // A large block out of order: its other pieces may have rows
                // already, so the read starts over without it.
                const std::lock_guard lock(turn_mutex_);
                skip_more_.insert(unit.first);
                restart_ = Restart::skip_blocks;
                return {};
            }
            return done;
        }
        // Whole blocks, read with one read for each run of blocks that lie back to back.
        std::uint64_t total = 0;
        for (std::size_t b = unit.first; b < unit.end; ++b) total += plan_.blocks[b].size();
        (void)room(bytes, static_cast<std::size_t>(total));
        std::size_t filled = 0;
        for (std::size_t b = unit.first; b < unit.end;) {
            std::size_t e = b + 1;
            std::uint64_t length = plan_.blocks[b].size();
            while (e < unit.end && plan_.blocks[e].offset == plan_.blocks[e - 1].offset + plan_.blocks[e - 1].size()) {
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
                local.skipped.push_back(planned.aperture);
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
    std::condition_variable turn_changed_;
    std::size_t turn_ = 0;  ///< the unit whose rows are published next
    // Under turn_mutex_ (or set once by a failing unit before any reading starts).
    std::atomic<Restart> restart_{Restart::none};
    std::set<std::size_t> skip_more_;
    typename Rows::Carry carry_;
    std::size_t next_row_ = 0;
    std::vector<std::uint64_t> skipped_;
    std::vector<ApertureHeader> headers_;
    std::optional<Error> error_;
};

/// Reads `plan`, starting over with headers read, or without blocks found out
/// of order, as often as that is called for (at most once each, and once per
/// large block out of order). `make(rows_needed)` makes the rows' destination
/// for each attempt.
template <class Make>
Result<PlanRows> read_plan(const PulseReader& reader, BlockPlan plan, const PlanReading& how, Make&& make) {
    std::set<std::size_t> skip_blocks;
    for (;;) {
        auto rows = make(plan);
        if (!rows) return std::move(rows).error();
        Restart restart = Restart::none;
        std::set<std::size_t> skip_more;
        PlanRead read(reader, plan, **rows, how, skip_blocks);
        auto result = read.run(restart, skip_more);
        if (restart == Restart::read_headers) {
            std::vector<std::uint64_t> apertures;
            apertures.reserve(plan.blocks.size());
            for (const PlannedBlock& block : plan.blocks) apertures.push_back(block.aperture);
            auto replanned = plan_blocks(reader, apertures, PlanHeaders::read);
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

}  // namespace

Result<PlanRows> read_plan_records(const PulseReader& reader, BlockPlan plan, const TableFor<RecordTable>& make_table,
                                   const PlanReading& how) {
    RecordTable table;
    std::optional<RecordRows> rows;
    return read_plan(reader, std::move(plan), how, [&](const BlockPlan& p) -> Result<const RecordRows*> {
        auto made = make_table(static_cast<std::size_t>(p.total_records()));
        if (!made) return std::move(made).error();
        table = *made;
        rows.emplace(reader, table);
        return &*rows;
    });
}

Result<PlanRows> read_plan_pulses(const PulseReader& reader, BlockPlan plan, const TableFor<PulseTable>& make_table,
                                  const PlanReading& how) {
    PulseTable table;
    std::optional<PulseRows> rows;
    return read_plan(reader, std::move(plan), how, [&](const BlockPlan& p) -> Result<const PulseRows*> {
        auto made = make_table(static_cast<std::size_t>(p.total_records()));
        if (!made) return std::move(made).error();
        table = *made;
        rows.emplace(reader, table, how);
        return &*rows;
    });
}

Result<PlanRows> summarize_plan(const PulseReader& reader, BlockPlan plan, const TableFor<SummaryTable>& make_table,
                                const PlanReading& how) {
    SummaryTable table;
    std::optional<SummaryRows> rows;
    return read_plan(reader, std::move(plan), how, [&](const BlockPlan& p) -> Result<const SummaryRows*> {
        auto made = make_table(p.blocks.size());
        if (!made) return std::move(made).error();
        table = *made;
        rows.emplace(reader, table, how);
        return &*rows;
    });
}

}  // namespace kvt
