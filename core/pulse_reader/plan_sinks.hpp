// The row sinks of the plan reader: what each kind of read (records, pulses,
// summaries) makes of a stretch of records, in rows of a unit's own, and how
// those rows reach the caller's table once the unit's turn has come.
//
// A sink is a const object shared by the threads; its per-unit state is a
// `Local` (the unit's rows, in a slot of the scheduler's) and its state across
// the pieces of one large block a `Carry`, which only the unit being published
// (in plan order, under the scheduler's lock) touches. The scheduler asks no
// more of a sink than RowSink says.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "pulse_reader/plan_reader.hpp"
#include "pulse_reader/plan_units.hpp"
#include "pulse_reader/pulse_reader.hpp"
#include "pulse_reader/records/normalized_pulse.hpp"
#include "pulse_reader/summary_kernels.hpp"

namespace kvt::plan_reading {

/// What the scheduler asks of a kind of rows: to make a unit's rows from each
/// of its segments (`decode`, on any thread), to publish them in plan order
/// (`publish`, with the carry across the pieces of a block), to tell how many
/// rows they are, and to store them at the row where they go (`store`).
template <class Rows>
concept RowSink =
    std::default_initializable<typename Rows::Local> && std::default_initializable<typename Rows::Carry> &&
    requires(const Rows& rows, typename Rows::Local& local, typename Rows::Carry& carry, const Segment& segment,
             const Segment* piece, std::size_t at) {
        { Rows::clear(local) } -> std::same_as<void>;
        { rows.decode(local, segment) } -> std::same_as<Status>;
        { rows.publish(local, carry, piece) } -> std::same_as<void>;
        { Rows::rows(std::as_const(local)) } -> std::same_as<std::size_t>;
        { rows.store(std::as_const(local), at) } -> std::same_as<void>;
        { local.skipped } -> std::same_as<std::vector<SkippedAperture>&>;
    };

Error out_of_order(std::uint64_t aperture, const Error& error) {
    return error.prefixed("aperture " + std::to_string(aperture) + ": ");
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

/// Copies `count` values of `from` into column `out` from row `at`; nothing
/// for a column not asked for.
template <class T>
void copy_column(T* out, std::size_t at, const T* from, std::size_t count) noexcept {
    if (out != nullptr && count != 0) std::memcpy(out + at, from, count * sizeof(T));
}

class RecordRows {
public:
    /// The unit's records, decoded straight into columns of their own.
    struct Local {
        std::vector<std::uint64_t> index;
        std::vector<std::uint16_t> ipd_f, dur_f;
        std::vector<FormattedRecordType> record_type;
        std::array<std::vector<float>, record_value_count> value;
        std::vector<std::uint32_t> wide, start_f;
        std::size_t count = 0;
        std::vector<RowSpan> spans;
        std::vector<SkippedAperture> skipped;
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
        const std::size_t end = begin + count;
        RecordColumns columns{grown(local.ipd_f, end) + begin,
                              grown(local.dur_f, end) + begin,
                              grown(local.record_type, end) + begin,
                              {},
                              grown(local.wide, end) + begin};
        // Only the values that the table has a column for.
        for (std::size_t k = 0; k < record_value_count; ++k) {
            if (value_column(table_, static_cast<RecordValue>(k)) != nullptr) {
                columns.value[k] = grown(local.value[k], end) + begin;
            }
        }
        decode_records_into(segment.records, reader_.encoding_records(), columns);
        std::uint64_t* index = grown(local.index, end);
        std::uint32_t* start_f = grown(local.start_f, end);
        std::uint32_t sum = segment.start.start_f;
        for (std::size_t i = begin; i < end; ++i) {
            index[i] = segment.first_record + (i - begin);
            sum += local.ipd_f[i];
            start_f[i] = sum;
        }
        local.count = end;
        local.spans.push_back({begin, end, segment.aperture, segment.header.aperture_x, segment.header.aperture_y});
        return {};
    }

    void publish(Local& /*local*/, Carry& /*carry*/, const Segment* /*piece*/) const {}

    [[nodiscard]] static std::size_t rows(const Local& local) { return local.count; }

    void store(const Local& local, std::size_t at) const {
        const std::size_t n = local.count;
        const RecordTable& t = table_;
        put_aperture_columns(t, at, local.spans);
        // The frame counts as f64 where the kind carries them, NaN elsewhere.
        constexpr double absent = std::numeric_limits<double>::quiet_NaN();
        const auto& kinds = local.record_type;
        const auto& wide = local.wide;
#define KVT_COPY_RECORD(name, type, unit, meaning) copy_column(t.name, at, local.name.data(), n);
#define KVT_COPY_VALUE(name, type, unit, meaning) copy_column(t.name, at, local.value[name##_value].data(), n);
#define KVT_PUT_FRAMES(name, type, unit, meaning) \
    put(t.name, at, n, [&](std::size_t i) { return carries_##name(kinds[i]) ? static_cast<double>(wide[i]) : absent; });
        KVT_RECORD_COLUMNS(KVT_NO_COLUMN, KVT_COPY_RECORD, KVT_COPY_VALUE, KVT_PUT_FRAMES, KVT_NO_COLUMN)
#undef KVT_COPY_RECORD
#undef KVT_COPY_VALUE
#undef KVT_PUT_FRAMES
    }

private:
    /// The table's column of value k, null when not asked for.
    static float* value_column(const RecordTable& t, RecordValue k) noexcept {
        std::array<float*, record_value_count> columns{};
#define KVT_VALUE_POINTER(name, type, unit, meaning) columns[name##_value] = t.name;
        KVT_RECORD_COLUMNS(KVT_NO_COLUMN, KVT_NO_COLUMN, KVT_VALUE_POINTER, KVT_NO_COLUMN, KVT_NO_COLUMN)
#undef KVT_VALUE_POINTER
        return columns[k];
    }

    /// Whether a record of kind `type` carries the frame count of column
    /// long_pulse_duration_f or event_f.
    static bool carries_long_pulse_duration_f(FormattedRecordType type) noexcept {
        return has_long_pulse_duration(type);
    }
    static bool carries_event_f(FormattedRecordType type) noexcept { return has_event_frame(type); }

    const PulseReader& reader_;
    const RecordTable& table_;
};

/// The pulses of a segment (see visit_pulse_pieces), failing with the
/// filter's error, which names the aperture when asked to.
template <class TakeRecords, class TakePulses>
Status visit_segment(const PulseReader& reader, const PulseFilter* filter, bool name_apertures, const Segment& segment,
                     RecordValues values, PulseScratch& scratch, TakeRecords&& records, TakePulses&& pulses) {
    Status done = visit_pulse_pieces(segment.records, reader.encoding_records(), reader.fps(), filter,
                                     segment.start.run, segment.first_record, values, scratch,
                                     std::forward<TakeRecords>(records), std::forward<TakePulses>(pulses));
    if (!done && name_apertures) return out_of_order(segment.aperture, done.error());
    return done;
}

/// Calls f(piece column, local column, table column) for every pulse column
/// made by normalization.
template <class Local, class F>
void for_each_pulse_column(F&& f) {
#define KVT_PULSE_COLUMN(name, type, unit, meaning) f(&PulsePiece::name, &Local::name, &PulseTable::name);
    KVT_PULSE_COLUMNS(KVT_NO_COLUMN, KVT_PULSE_COLUMN, KVT_NO_COLUMN)
#undef KVT_PULSE_COLUMN
}

class PulseRows {
public:
    /// The unit's pulses, a column per field.
    struct Local {
#define KVT_PULSE_VECTOR(name, type, unit, meaning) std::vector<type> name;
        KVT_PULSE_COLUMNS(KVT_NO_COLUMN, KVT_PULSE_VECTOR, KVT_NO_COLUMN)
#undef KVT_PULSE_VECTOR
        std::size_t count = 0;
        PulseScratch scratch;
        std::vector<RowSpan> spans;
        std::vector<SkippedAperture> skipped;
    };
    /// For pieces of one block: the latest kept pulse of the pieces before.
    struct Carry {
        std::size_t block = SIZE_MAX;
        bool have_kept = false;
        std::uint32_t kept_end = 0;
    };

    PulseRows(const PulseReader& reader, const PulseTable& table, const PlanReading& how)
        : reader_(reader), table_(table), how_(how), values_(values_for(table)) {}

    static void clear(Local& local) {
        local.count = 0;
        local.spans.clear();
        local.skipped.clear();
    }

    /// Fails with the filter's error; with skip_unreadable, a whole block out of
    /// order gives no rows and is listed instead.
    Status decode(Local& local, const Segment& segment) const {
        const std::size_t begin = local.count;
        Status done = visit_segment(
            reader_, how_.filter, how_.name_apertures, segment, values_, local.scratch, [](const RecordPiece&) {},
            [&local](const PulsePiece& pulses) {
                const std::size_t at = local.count;
                local.count += pulses.count;
                for_each_pulse_column<Local>([&](auto piece_column, auto local_column, auto) {
                    std::copy_n((pulses.*piece_column).data(), pulses.count,
                                grown(local.*local_column, local.count) + at);
                });
            });
        if (!done) {
            local.count = begin;
            if (!how_.skip_unreadable || segment.piece) return done;
            local.skipped.push_back({segment.aperture, SkipReason::out_of_order});
            return {};
        }
        local.spans.push_back(
            {begin, local.count, segment.aperture, segment.header.aperture_x, segment.header.aperture_y});
        return {};
    }

    /// In plan order: the first pulse kept in a piece learns the latest pulse
    /// kept before it, for its recomputed inter-pulse duration.
    void publish(Local& local, Carry& carry, const Segment* piece) const {
        if (piece == nullptr) return;
        if (piece->first_piece) carry = {piece->block, false, 0};
        if (local.count == 0) return;
        if (how_.filter != nullptr && how_.filter->recalc_ipd && carry.have_kept) {
            local.ipd_f[0] = local.start_f[0] - carry.kept_end;
            local.ipd_s[0] = static_cast<float>(local.ipd_f[0]) / reader_.fps();
        }
        carry.have_kept = true;
        carry.kept_end = local.end_f[local.count - 1];
    }

    [[nodiscard]] static std::size_t rows(const Local& local) { return local.count; }

    void store(const Local& local, std::size_t at) const {
        put_aperture_columns(table_, at, local.spans);
        for_each_pulse_column<Local>([&](auto, auto local_column, auto table_column) {
            copy_column(table_.*table_column, at, (local.*local_column).data(), local.count);
        });
    }

private:
    /// The record values that the table's columns are made from.
    static RecordValues values_for(const PulseTable& t) noexcept {
        RecordValues values;
        const auto need = [&](const float* column, std::initializer_list<RecordValue> from) {
            if (column == nullptr) return;
            for (const RecordValue k : from) values.set(k);
        };
        need(t.snr, {bin1_intensity_value, bin1_bg_std_value});
        need(t.intensity, {bin1_intensity_value});
        need(t.bin0_intensity, {bin0_intensity_value});
        need(t.intensity_display, {bin1_intensity_value, bin1_bg_mean_value});
        need(t.binratio, {bin0_intensity_value, bin1_intensity_value});
        need(t.bg_mean, {bin1_bg_mean_value});
        need(t.bg_std, {bin1_bg_std_value});
        need(t.bin0_bg_mean, {bin0_bg_mean_value});
        need(t.bin0_bg_std, {bin0_bg_std_value});
        return values;
    }

    const PulseReader& reader_;
    const PulseTable& table_;
    const PlanReading& how_;
    RecordValues values_;
};

/// The record values that a summary reads: intensity, snr and bg_std.
inline const RecordValues summed_values = RecordValues().set(bin1_intensity_value).set(bin1_bg_std_value);

/// Sums over the kept pulses of a stretch of an aperture, in double precision.
///
/// Each column has four running sums, one for each pulse of a group of four
/// (so that the additions need not wait for each other), added up at the end
/// of each piece; the pulses after the last group go to the first. The order
/// of the additions depends on the pulses alone, not on the threads.
struct PulseSums {
    std::uint64_t kinds[formatted_record_type_count] = {};
    std::uint64_t kept = 0;
    std::uint32_t first_start_f = 0;
    std::uint32_t last_end_f = 0;
    float first_ipd_s = 0.0F;  ///< of the first kept pulse, left out of the ipd_s sum
    std::array<double, summed_count> sum{};
    SumCounts count{};  ///< values added

    void count_kinds(const RecordPiece& records) noexcept {
        const KindCounts counts =
            kvt::count_kinds(reinterpret_cast<const std::uint8_t*>(records.record_type.data()), records.count);
        for (std::size_t k = 0; k < formatted_record_type_count; ++k) kinds[k] += counts[k];
    }

    void add(const PulsePiece& pulses) noexcept {
        const std::size_t n = pulses.count;
        if (n == 0) return;
        const SummedColumns column{pulses.dur_s.data(), pulses.ipd_s.data(), pulses.intensity.data(), pulses.snr.data(),
                                   pulses.bg_std.data()};
        SumLanes lanes{};
        std::size_t j = 0;
        if (kept == 0) {
            first_start_f = pulses.start_f[0];
            first_ipd_s = pulses.ipd_s[0];
            for (std::size_t c = 0; c < summed_count; ++c) {
                if (c != summed_ipd_s) take(lanes[c][0], c, column[c][0]);
            }
            j = 1;
        }
        j = add_groups(column, j, n, lanes, count);
        for (; j < n; ++j) {
            for (std::size_t c = 0; c < summed_count; ++c) take(lanes[c][0], c, column[c][j]);
        }
        for (std::size_t c = 0; c < summed_count; ++c) {
            sum[c] += (lanes[c][0] + lanes[c][1]) + (lanes[c][2] + lanes[c][3]);
        }
        kept += n;
        last_end_f = pulses.end_f[n - 1];
    }

    /// Appends `later`, the sums of the stretch that follows; `first_ipd_s` is
    /// the inter-pulse duration of its first kept pulse as it stands after
    /// this stretch.
    void append(const PulseSums& later, float later_first_ipd_s) noexcept {
        for (std::size_t k = 0; k < formatted_record_type_count; ++k) kinds[k] += later.kinds[k];
        if (later.kept == 0) return;
        for (std::size_t c = 0; c < summed_count; ++c) {
            sum[c] += later.sum[c];
            count[c] += later.count[c];
        }
        if (kept == 0) {
            first_start_f = later.first_start_f;
            first_ipd_s = later_first_ipd_s;
        } else {
            sum[summed_ipd_s] += static_cast<double>(later_first_ipd_s);
        }
        kept += later.kept;
        last_end_f = later.last_end_f;
    }

    [[nodiscard]] ApertureSummary summary(std::uint64_t aperture, const ApertureHeader& header,
                                          float fps) const noexcept {
        constexpr double none = std::numeric_limits<double>::quiet_NaN();
        const auto mean = [&](SummedColumn c, std::uint64_t values) {
            return values == 0 ? none : sum[c] / static_cast<double>(values);
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
        row.mean_dur_s = mean(summed_dur_s, kept);
        row.mean_ipd_s = kept < 2 ? none : mean(summed_ipd_s, kept - 1);
        row.mean_intensity = mean(summed_intensity, count[summed_intensity]);
        row.mean_snr = mean(summed_snr, count[summed_snr]);
        row.mean_bg_std = mean(summed_bg_std, count[summed_bg_std]);
        return row;
    }

private:
    /// Adds `value` to running sum `lane` of column c, counted, unless the
    /// column takes finite values only and it is not.
    void take(double& lane, std::size_t c, float value) noexcept {
        if (finite_only[c] && !std::isfinite(value)) return;
        lane += static_cast<double>(value);
        ++count[c];
    }
};

class SummaryRows {
public:
    struct Local {
        std::vector<ApertureSummary> rows;
        PulseSums piece;  ///< the sums of a piece, until it is published
        PulseScratch scratch;
        std::vector<SkippedAperture> skipped;
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
        Status done = visit_segment(
            reader_, how_.filter, how_.name_apertures, segment, summed_values, local.scratch,
            [&sums](const RecordPiece& records) { sums.count_kinds(records); },
            [&sums](const PulsePiece& pulses) { sums.add(pulses); });
        if (!done) {
            if (!how_.skip_unreadable || segment.piece) return done;
            local.skipped.push_back({segment.aperture, SkipReason::out_of_order});
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
#define KVT_PUT_SUMMARY(name, type, unit, meaning) put(t.name, at, n, [&](std::size_t i) { return rows[i].name; });
#define KVT_PUT_KIND(name, type, unit, meaning)                                            \
    {                                                                                      \
        constexpr std::size_t kind = counted_kind(#name);                                  \
        static_assert(kind < formatted_record_type_count, #name " counts no record kind"); \
        put(t.name, at, n, [&](std::size_t i) { return rows[i].kinds[kind]; });            \
    }
        KVT_SUMMARY_COLUMNS(KVT_PUT_SUMMARY, KVT_PUT_KIND, KVT_NO_COLUMN)
#undef KVT_PUT_SUMMARY
#undef KVT_PUT_KIND
    }

private:
    const PulseReader& reader_;
    const SummaryTable& table_;
    const PlanReading& how_;
};

static_assert(RowSink<RecordRows> && RowSink<PulseRows> && RowSink<SummaryRows>);

}  // namespace kvt::plan_reading
