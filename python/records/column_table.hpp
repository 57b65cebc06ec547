// The data dictionary as Python values: the module's COLUMNS and RECORD_KINDS.
#pragma once

#include "py_ref.hpp"

namespace kvt::python {

/// {"records": ..., "pulses": ..., "summary": ...}: each table's columns in
/// order, as (name, dtype, unit, meaning) tuples; a new reference, or null
/// with an exception set.
PyObject* column_table();

/// The eight record kinds in code order, as (word, meaning) tuples.
PyObject* record_kind_table();

}  // namespace kvt::python
