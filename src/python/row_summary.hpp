#pragma once
// What the Ray layer reports of rows it never gathers in one process, read back for the rules.
#include <optional>

#include "src/python/input_rules.hpp"
#include "src/python/py.hpp"

namespace orvane::py {

// (row, column, value) or None.
std::optional<NonFinite> non_finite_of(PyObject* obj);
// n, values, d and the first row whose length is not d, as (row, length), or None.
RowsShape rows_shape(PyObject* n, PyObject* values, PyObject* d, PyObject* odd);

}  // namespace orvane::py
