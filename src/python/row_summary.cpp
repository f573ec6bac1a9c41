#include "src/python/row_summary.hpp"

#include "src/python/binding.hpp"

namespace orvane::py {

// The Ray layer's record of a non-finite value: (row, column, value) or None.
std::optional<NonFinite> non_finite_of(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    Ref row = checked(PySequence_GetItem(obj, 0)), col = checked(PySequence_GetItem(obj, 1)),
        value = checked(PySequence_GetItem(obj, 2));
    return NonFinite{to_u64(row.get(), "non_finite"), to_u64(col.get(), "non_finite"),
                     to_float(value.get(), "non_finite")};
}

// The rows' summary the Ray layer gathered: n, values, d and the first row whose length is not
// d, as (row, length), when it found one.
RowsShape rows_shape(PyObject* n, PyObject* values, PyObject* d, PyObject* odd) {
    RowsShape s{to_u64(n, "n"), to_u64(values, "values"), to_u64(d, "d"), {}};
    if (odd != nullptr && odd != Py_None) {
        Ref row = checked(PySequence_GetItem(odd, 0)), length = checked(PySequence_GetItem(odd, 1));
        s.odd_row.emplace(to_u64(row.get(), "odd"), to_u64(length.get(), "odd"));
    }
    return s;
}

}  // namespace orvane::py
