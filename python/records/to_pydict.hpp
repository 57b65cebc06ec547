// Record and pulse columns as a dict of NumPy arrays.
//
// Every numeric column becomes a one-dimensional, writeable NumPy array over
// the column's own buffer; the array's base is a `PySliceContainer` that owns
// the buffer and frees it when NumPy lets go of it. No element is copied.
#pragma once

#include "py_ref.hpp"
#include "records/columns.hpp"

namespace kvt::python {

/// The records dict: 12 columns, "record_type" a list of str. Null with a
/// Python exception set on failure; the columns are consumed either way.
OwnedRef to_pydict(RecordColumns&& columns);

/// The pulses dict: 16 columns, or 17 with "aperture_index" second.
OwnedRef to_pydict(PulseColumns&& columns);

}  // namespace kvt::python
