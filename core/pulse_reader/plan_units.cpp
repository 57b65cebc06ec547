#include "pulse_reader/plan_units.hpp"

#include <algorithm>

namespace kvt::plan_reading {

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

}  // namespace kvt::plan_reading
