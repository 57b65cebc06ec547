// Record and pulse columns as a dict of NumPy arrays.
//
// Every numeric column becomes a one-dimensional, writeable NumPy array over
// the column's own buffer; the array's base is a `PySliceContainer` that owns
// the buffer and frees it when NumPy lets go of it. No element is copied.
#pragma once

#include "py_ref.hpp"
#include "records/columns.hpp"

namespace kvt::python {

/// How a "record_type" column is given to Python.
enum class KindColumn {
    words,        ///< a list of str, one word per record
    categorical,  ///< a pandas Categorical over the eight words in code order
};

/// The columns as a dict of NumPy arrays, in the set's order. Null with a
/// Python exception set on failure; the columns are consumed either way.
OwnedRef to_pydict(ColumnSet&& columns, KindColumn kinds, PyObject* pandas_module);

}  // namespace kvt::python
