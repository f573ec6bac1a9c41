// Module entry: multi-phase initialisation registering the four classes in a fixed order.
#include "src/python/binding.hpp"
#include "src/python/classes.hpp"
#include "src/common/failure.hpp"

namespace orvane::py {

PyObject* type_once(PyObject*& slot, PyType_Spec* spec) {
    if (!slot) slot = PyType_FromSpec(spec);
    return slot;
}

namespace {

void add_class(PyObject* module, PyObject* all, const char* name, PyObject* type) {
    check(type != nullptr);
    Ref n = checked(PyUnicode_FromString(name));
    if (PyList_Append(all, n.get()) != 0) {
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
        add_class(module, all.get(), "Selection", selection_type());
        add_class(module, all.get(), "Typicality", typicality_type());
        add_class(module, all.get(), "TwoDimEmbedding", two_dim_embedding_type());
        add_class(module, all.get(), "Similarity", similarity_type());
        add_kernels(module);
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
    PyModuleDef_HEAD_INIT, "orvane_keldra._native", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace orvane::py

// PyMODINIT_FUNC carries extern "C" and the default visibility itself.
PyMODINIT_FUNC PyInit__native(void) {
    return PyModuleDef_Init(&orvane::py::module_def);
}
