#include "pulse_reader/plan_reader.hpp"

#include <sched.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>

#include "pulse_reader/pulse_reader.hpp"
#include "pulse_reader/records/normalized_pulse.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

const char* skip_reason_text(SkipReason reason) noexcept {
    switch (reason) {
        case SkipReason::past_end: return "block runs past the end of the file";
        case SkipReason::out_of_order: return "pulses out of order";
    }
    return "unknown";
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

/// The first `rows` elements of `column`, which grows to hold them but never
/// shrinks, so that the elements it had are not cleared again for every unit.
template <class T>
T* grown(std::vector<T>& column, std::size_t rows) {
    if (column.size() < rows) column.resize(rows);
    return column.data();
}

/// The same for bytes, as a span.
std::span<std::byte> room(std::vector<std::byte>& buffer, std::size_t length) {
    return {grown(buffer, length), length};
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

// ---------------------------------------------------------------------------
// What each kind of read makes of a segment.

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
        RecordColumns columns{grown(local.ipd_f, end) + begin, grown(local.dur_f, end) + begin,
                              grown(local.record_type, end) + begin, {}, grown(local.wide, end) + begin};
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
                    std::copy_n((pulses.*piece_column).data(), pulses.count, grown(local.*local_column, local.count) + at);
                });
            });
        if (!done) {
            local.count = begin;
            if (!how_.skip_unreadable || segment.piece) return done;
            local.skipped.push_back({segment.aperture, SkipReason::out_of_order});
            return {};
        }
        local.spans.push_back({begin, local.count, segment.aperture, segment.header.aperture_x,
                               segment.header.aperture_y});
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
const RecordValues summed_values = RecordValues().set(bin1_intensity_value).set(bin1_bg_std_value);

/// The columns of pulses that a summary adds up, and whether only their finite
/// values count.
enum SummedColumn : std::size_t { summed_dur_s, summed_ipd_s, summed_intensity, summed_snr, summed_bg_std, summed_count };
constexpr std::array<bool, summed_count> finite_only{false, false, true, true, true};

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
    std::array<std::uint64_t, summed_count> count{};  ///< values added

    void count_kinds(const RecordPiece& records) noexcept {
        const auto* type = reinterpret_cast<const std::uint8_t*>(records.record_type.data());
        std::uint64_t counts[formatted_record_type_count] = {};
        std::size_t i = 0;
#if defined(__SSE2__)
        // Sixteen records at a time: a byte counter per kind and record lane
        // (a piece is at most 512 records, so a lane counts to 32 at most).
        static_assert(RecordPiece::capacity / 16 < 256);
        __m128i lanes[formatted_record_type_count];
        for (__m128i& lane : lanes) lane = _mm_setzero_si128();
        for (; i + 16 <= records.count; i += 16) {
            __m128i group;
            std::memcpy(&group, type + i, sizeof group);
            for (std::size_t k = 1; k < formatted_record_type_count; ++k) {
                const __m128i match = _mm_cmpeq_epi8(group, _mm_set1_epi8(static_cast<char>(k)));
                lanes[k] = _mm_sub_epi8(lanes[k], match);  // a match is -1
            }
        }
        for (std::size_t k = 1; k < formatted_record_type_count; ++k) {
            const __m128i sums = _mm_sad_epu8(lanes[k], _mm_setzero_si128());  // two 64-bit sums of bytes
            std::uint64_t halves[2];
            std::memcpy(halves, &sums, sizeof halves);
            counts[k] = halves[0] + halves[1];
        }
#endif
        for (; i < records.count; ++i) ++counts[type[i] & 7U];
        // Pulses are the records left.
        std::uint64_t others = 0;
        for (std::size_t k = 1; k < formatted_record_type_count; ++k) {
            kinds[k] += counts[k];
            others += counts[k];
        }
        kinds[0] += records.count - others;
    }

    void add(const PulsePiece& pulses) noexcept {
        const std::size_t n = pulses.count;
        if (n == 0) return;
        const std::array<const float*, summed_count> column{pulses.dur_s.data(), pulses.ipd_s.data(),
                                                             pulses.intensity.data(), pulses.snr.data(),
                                                             pulses.bg_std.data()};
        std::array<std::array<double, 4>, summed_count> lanes{};
        std::size_t j = 0;
        if (kept == 0) {
            first_start_f = pulses.start_f[0];
            first_ipd_s = pulses.ipd_s[0];
            for (std::size_t c = 0; c < summed_count; ++c) {
                if (c != summed_ipd_s) take(lanes[c][0], c, column[c][0]);
            }
            j = 1;
        }
#if defined(__SSE2__)
        const std::size_t j0 = j;
        const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
        const __m128 infinity = _mm_set1_ps(std::numeric_limits<float>::infinity());
        __m128d low[summed_count];   // running sums 0 and 1
        __m128d high[summed_count];  // running sums 2 and 3
        __m128i taken[summed_count];
        for (std::size_t c = 0; c < summed_count; ++c) {
            low[c] = _mm_loadu_pd(lanes[c].data());
            high[c] = _mm_loadu_pd(lanes[c].data() + 2);
            taken[c] = _mm_setzero_si128();
        }
        for (; j + 4 <= n; j += 4) {
            for (std::size_t c = 0; c < summed_count; ++c) {
                __m128 group = _mm_loadu_ps(column[c] + j);
                if (finite_only[c]) {
                    // |v| < inf holds for finite values only (not for NaN).
                    const __m128 take = _mm_cmplt_ps(_mm_and_ps(group, magnitude), infinity);
                    group = _mm_and_ps(group, take);
                    taken[c] = _mm_sub_epi32(taken[c], _mm_castps_si128(take));
                }
                low[c] = _mm_add_pd(low[c], _mm_cvtps_pd(group));
                high[c] = _mm_add_pd(high[c], _mm_cvtps_pd(_mm_movehl_ps(group, group)));
            }
        }
        for (std::size_t c = 0; c < summed_count; ++c) {
            _mm_storeu_pd(lanes[c].data(), low[c]);
            _mm_storeu_pd(lanes[c].data() + 2, high[c]);
            if (!finite_only[c]) {
                count[c] += (n - j0) / 4 * 4;
                continue;
            }
            std::array<std::uint32_t, 4> counted;
            std::memcpy(counted.data(), &taken[c], sizeof counted);
            count[c] += std::uint64_t{counted[0]} + counted[1] + counted[2] + counted[3];
        }
#else
        for (; j + 4 <= n; j += 4) {
            for (std::size_t c = 0; c < summed_count; ++c) {
                for (std::size_t lane = 0; lane < 4; ++lane) take(lanes[c][lane], c, column[c][j + lane]);
            }
        }
#endif
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
#define KVT_PUT_KIND(name, type, unit, meaning)                                              \
    {                                                                                          \
        constexpr std::size_t kind = counted_kind(#name);                                      \
        static_assert(kind < formatted_record_type_count, #name " counts no record kind");   \
        put(t.name, at, n, [&](std::size_t i) { return rows[i].kinds[kind]; });               \
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
        const ApertureHeader header =
            ApertureHeader::new_(bytes.first<aperture_header_size>(), planned.offset);
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
