// Python front of Typicality: owns a distance calculator over the embeddings.
#include "src/scores/typicality.hpp"

#include "src/python/binding.hpp"
#include "src/python/classes.hpp"

namespace orvane::py {
namespace {

struct State {
    DistanceCalculator calculator;
    std::size_t n;
};

PyObject* typicality_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded("Typicality.__new__()", [&]() -> PyObject* {
        static constexpr Param params[] = {{"embeddings", true}};
        PyObject* a[1];
        bind_arguments("Typicality.__new__()", params, args, kwargs, a);
        EmbeddingRows rows = to_rows(a[0], "embeddings");
        const std::size_t n = rows.size();
        require_two_embeddings(n);
        return make_instance(type, new State{DistanceCalculator(std::move(rows)), n});
    });
}

PyObject* calculate_typicality(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded("Typicality.calculate_typicality()", [&]() -> PyObject* {
        static constexpr Param params[] = {{"num_nearest_neighbors", true}};
        PyObject* a[1];
        bind_arguments("Typicality.calculate_typicality()", params, args, kwargs, a);
        auto* inst = instance_of<State>(self);
        Hold hold(inst->borrow, Hold::Kind::Shared);
        const std::uint64_t k = to_u64(a[0], "num_nearest_neighbors");
        return float_list(typicality_scores(inst->state->calculator, inst->state->n, k));
    }, /*report_progress=*/true);
}

PyMethodDef methods[] = {
    {"calculate_typicality", as_method(calculate_typicality),
     METH_VARARGS | METH_KEYWORDS,
     "calculate_typicality($self, num_nearest_neighbors)\n--\n\n"
     "Calculate typicality for each embedding.\n\n# Arguments\n"
     "* `num_nearest_neighbors` - The number of nearest neighbors (K) to consider for typicality\n"
     "  calculation.\n\n# Returns\nA list of typicality scores, one for each embedding."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Typicality(embeddings)\n--\n\n"
                    "Python wrapper for the Typicality class.\n\n"
                    "This class provides a Python interface to the native implementation of the\n"
                    "typicality calculation.")},
    {Py_tp_new, reinterpret_cast<void*>(typicality_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<State>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"orvane_keldra.Typicality", sizeof(Instance<State>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyObject* typicality_type() {
    static PyObject* type = nullptr;
    return type_once(type, &spec);
}

}  // namespace orvane::py
