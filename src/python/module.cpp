// Module entry: multi-phase initialisation registering the four classes in a fixed order (and the
// private shard class).
#include "src/python/binding.hpp"
#include "src/python/classes.hpp"
#include "src/common/failure.hpp"

namespace orvane::py {

namespace {

// A class's type is made once per process; a second module object shares it.
void add_class(PyObject* module, PyObject* all, const char* name, const ClassFront& front,
               PyObject*& type) {
    if (!type) {
        PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>(front.doc)},
            {Py_tp_new, reinterpret_cast<void*>(front.make)},
            {Py_tp_dealloc, reinterpret_cast<void*>(front.dealloc)},
            {Py_tp_methods, front.methods},
            {0, nullptr},
        };
        PyType_Spec spec = {front.name, static_cast<int>(front.basicsize), 0, Py_TPFLAGS_DEFAULT,
                            slots};
        type = PyType_FromSpec(&spec);
    }
    check(type != nullptr);
    Ref n = checked(PyUnicode_FromString(name));
    if (all != nullptr && PyList_Append(all, n.get()) != 0) {
        PyErr_Clear();
        throw orvane::InternalFailure("could not append __name__ to __all__");
    }
    check(PyModule_AddObjectRef(module, name, type) == 0);
}

int exec_module(PyObject* module) {
    PyObject* result = guarded("orvane_keldra module initialisation", [&]() -> PyObject* {
        if (!PyModule_Check(module)) {
            PyErr_SetString(PyExc_TypeError, "module initialisation expects a module object");
            throw ErrorAlreadySet{};
        }
        PyObject* dict = PyModule_GetDict(module);  // borrowed
        Ref all = Ref::borrow(PyDict_GetItemString(dict, "__all__"));
        if (!all) {
            all = checked(PyList_New(0));
            check(PyDict_SetItemString(dict, "__all__", all.get()) == 0);
        } else if (!PyList_Check(all.get())) {
            PyErr_SetString(PyExc_TypeError, "'__all__' object cannot be converted to 'PyList'");
            throw ErrorAlreadySet{};
        }
        static PyObject* types[5] = {};
        add_class(module, all.get(), "Selection", selection_front, types[0]);
        add_class(module, all.get(), "Typicality", typicality_front, types[1]);
        add_class(module, all.get(), "TwoDimEmbedding", two_dim_embedding_front, types[2]);
        add_class(module, all.get(), "Similarity", similarity_front, types[3]);
        add_class(module, nullptr, "_SelectionShard", selection_shard_front, types[4]);
        add_kernels(module);
        add_selection_checks(module);
        add_panic_pickling(module);
        add_build_info(module);
        add_test_hooks(module);
        Py_RETURN_NONE;
    });
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "orvane_keldra._native",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace orvane::py

// PyMODINIT_FUNC carries extern "C" and the default visibility itself.
PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&orvane::py::module_def); }
