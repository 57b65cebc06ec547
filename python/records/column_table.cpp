#include "records/column_table.hpp"

#include <span>
#include <string_view>

#include "pulse_reader/table_columns.hpp"
#include "records/columns.hpp"

namespace kvt::python {

namespace {

/// The dtype of a column as pandas shows it.
const char* dtype_name(ColumnType type) noexcept {
    switch (type) {
        case ColumnType::u16: return "uint16";
        case ColumnType::u32: return "uint32";
        case ColumnType::u64: return "uint64";
        case ColumnType::f32: return "float32";
        case ColumnType::f64: return "float64";
        case ColumnType::kind: return "category";
    }
    return "";
}

PyObject* definitions_table(std::span<const ColumnDefinition> definitions) {
    OwnedRef table(PyTuple_New(static_cast<Py_ssize_t>(definitions.size())));
    if (!table) return nullptr;
    for (std::size_t i = 0; i < definitions.size(); ++i) {
        const ColumnDefinition& d = definitions[i];
        PyObject* row = Py_BuildValue("(ssss)", d.name, dtype_name(d.type), d.unit, d.meaning);
        if (row == nullptr) return nullptr;
        PyTuple_SET_ITEM(table.get(), static_cast<Py_ssize_t>(i), row);
    }
    return table.release();
}

}  // namespace

PyObject* column_table() {
    OwnedRef dict(PyDict_New());
    if (!dict) return nullptr;
    const std::pair<const char*, std::span<const ColumnDefinition>> tables[] = {
        {"records", record_column_definitions()},
        {"pulses", pulse_column_definitions()},
        {"summary", summary_column_definitions()},
    };
    for (const auto& [name, definitions] : tables) {
        OwnedRef table(definitions_table(definitions));
        if (!table || PyDict_SetItemString(dict.get(), name, table.get()) != 0) return nullptr;
    }
    return dict.release();
}

PyObject* record_kind_table() {
    OwnedRef table(PyTuple_New(static_cast<Py_ssize_t>(record_kinds.size())));
    if (!table) return nullptr;
    for (std::size_t k = 0; k < record_kinds.size(); ++k) {
        const RecordKind& kind = record_kinds[k];
        PyObject* row = Py_BuildValue("(s#s#)", kind.word.data(), static_cast<Py_ssize_t>(kind.word.size()),
                                      kind.meaning.data(), static_cast<Py_ssize_t>(kind.meaning.size()));
        if (row == nullptr) return nullptr;
        PyTuple_SET_ITEM(table.get(), static_cast<Py_ssize_t>(k), row);
    }
    return table.release();
}

}  // namespace kvt::python
