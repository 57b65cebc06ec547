// PulseReader.block_table: the reader's plan of blocks, as NumPy arrays.
//
// The tools (`kvt-pulses info`, the Dask planning) need to know where each
// aperture's block lies and how many records it holds, without reading a
// record. The index's lookup rules (the later of two entries of one number
// wins, an offset of 0 means absent) and the block header's record count live
// in the core's plan_blocks; this method hands its result to Python as it is,
// so that no caller re-derives the index.
#include <array>
#include <optional>
#include <utility>

#include "arguments.hpp"
#include "errors.hpp"
#include "pulse_reader/block_plan.hpp"
#include "pulse_reader/reader_object.hpp"
#include "pulse_reader/whole_run.hpp"
#include "records/to_pydict.hpp"

namespace kvt::python {

namespace {

constexpr std::array<ColumnDefinition, 3> block_table_definitions = {
    ColumnDefinition{"aperture", ColumnType::u64, "", "the aperture's number", false},
    ColumnDefinition{"offset", ColumnType::u64, "bytes", "the position of the aperture's block in the file", false},
    ColumnDefinition{"num_records", ColumnType::u32, "records", "the records of the block, from its header", false},
};

constexpr std::array<const char*, 1> block_table_names = {"apertures"};
constexpr Signature block_table_signature = {"PulseReader.block_table", block_table_names, 0};

/// The three columns of `plan`, in its order.
ColumnSet plan_columns(const BlockPlan& plan) {
    ColumnSet columns({&block_table_definitions[0], &block_table_definitions[1], &block_table_definitions[2]});
    columns.allocate(plan.blocks.size());
    auto* apertures = columns.pointer<std::uint64_t>("aperture");
    auto* offsets = columns.pointer<std::uint64_t>("offset");
    auto* counts = columns.pointer<std::uint32_t>("num_records");
    for (std::size_t i = 0; i < plan.blocks.size(); ++i) {
        apertures[i] = plan.blocks[i].aperture;
        offsets[i] = plan.blocks[i].offset;
        counts[i] = plan.blocks[i].num_records;
    }
    columns.finish(plan.blocks.size());
    return columns;
}

}  // namespace

PyObject* block_table_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto body = [&](PyPulseReader* object, const auto& a) -> PyObject* {
        WholeRun run;
        if (!record_run_arguments(object, a[0], nullptr, nullptr, nullptr, run)) return nullptr;
        run.failure_prefix = "Failed to plan blocks: ";
        std::optional<Error> error;
        ColumnSet columns;
        {
            GilRelease unlocked;
            const PulseReader& reader = *object->reader;
            if (run.all_apertures) run.apertures = lookup_apertures(reader.index());
            // Headers read: each count is the block header's own, every block checked inside the file.
            auto plan = plan_blocks(reader, run.apertures, PlanHeaders::read);
            if (plan) columns = plan_columns(*plan);
            else error = std::move(plan).error();
        }
        if (error) {
            return raise_runtime_error(error->prefixed(run.failure_prefix), {object->reader->path(), &*object->reader});
        }
        // Three numeric columns: no pandas is needed (KindColumn applies to record kinds alone).
        return to_pydict(std::move(columns), KindColumn::words, nullptr).release();
    };
    return reader_method<1>(self, block_table_signature, args, nargs, kwnames, body);
}

}  // namespace kvt::python
