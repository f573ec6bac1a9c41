#pragma once
// The four class fronts and the other parts of the module.
#include "src/python/binding.hpp"
#include "src/python/py.hpp"

namespace orvane::py {

// What module.cpp needs to make a class's heap type; each front file defines one.
struct ClassFront {
    const char* name;  // qualified; must outlive the type, as CPython keeps the pointer
    const char* doc;
    Py_ssize_t basicsize;
    newfunc make;
    destructor dealloc;
    PyMethodDef* methods;
};

template <class State>
constexpr ClassFront class_front(const char* name, const char* doc, newfunc make,
                                 PyMethodDef* methods) {
    return {name, doc, sizeof(Instance<State>), make, dealloc_instance<State>, methods};
}

extern const ClassFront selection_front;
extern const ClassFront typicality_front;
extern const ClassFront two_dim_embedding_front;
extern const ClassFront similarity_front;
extern const ClassFront selection_shard_front;  // private, not in __all__

// Private module-level functions, added to the module at initialisation.
void add_kernels(PyObject* module);           // kernels.cpp: the block kernels of the Ray layer
void add_selection_checks(PyObject* module);  // selection_checks.cpp: distributed Selection's rules
void add_build_info(PyObject* module);  // build_info.cpp: _build_info(), the ORVANE_SIMD warning
void add_test_hooks(PyObject* module);  // test_hooks.cpp: _set_watch_timing()

// Reinterprets a method of any of CPython's calling conventions as the PyCFunction of a
// PyMethodDef (the flags say which convention it is).
template <class F>
PyCFunction as_method(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace orvane::py
