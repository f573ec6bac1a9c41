#pragma once
// Type objects of the four classes, created once per process on first request.
#include "src/python/py.hpp"

namespace orvane::py {

PyObject* selection_type();
PyObject* typicality_type();
PyObject* two_dim_embedding_type();
PyObject* similarity_type();

// Creates a heap type from a spec once; later calls return the same object (borrowed).
PyObject* type_once(PyObject*& slot, PyType_Spec* spec);

}  // namespace orvane::py
