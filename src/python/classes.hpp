#pragma once
// Type objects of the four classes, created once per process on first request, and the other
// parts of the module.
#include "src/python/py.hpp"

namespace orvane::py {

PyObject* selection_type();
PyObject* typicality_type();
PyObject* two_dim_embedding_type();
PyObject* similarity_type();

// Private module-level functions, added to the module at initialisation.
void add_kernels(PyObject* module);     // kernels.cpp: the block kernels of the Ray layer
void add_build_info(PyObject* module);  // build_info.cpp: _build_info(), the ORVANE_SIMD warning
void add_test_hooks(PyObject* module);  // test_hooks.cpp: _set_watch_timing()

// Reinterprets a method of any of CPython's calling conventions as the PyCFunction of a
// PyMethodDef (the flags say which convention it is).
template <class F>
PyCFunction as_method(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Creates a heap type from a spec once; later calls return the same object (borrowed).
PyObject* type_once(PyObject*& slot, PyType_Spec* spec);

}  // namespace orvane::py
