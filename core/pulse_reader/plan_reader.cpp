#include "pulse_reader/plan_reader.hpp"

#include <sched.h>

#include <optional>
#include <thread>

#include "pulse_reader/plan_scheduler.hpp"
#include "pulse_reader/plan_sinks.hpp"

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

using plan_reading::PulseRows;
using plan_reading::read_plan;
using plan_reading::RecordRows;
using plan_reading::SummaryRows;

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
