// Python front of Similarity: stores key rows, scores them against queries per call.
#include "src/scores/similarity.hpp"

#include "src/common/failure.hpp"
#include "src/python/binding.hpp"
#include "src/python/classes.hpp"

namespace orvane::py {
namespace {

using State = EmbeddingRows;

PyObject* similarity_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded("Similarity.__new__()", [&]() -> PyObject* {
        static constexpr Param params[] = {{"key_embeddings", true}};
        PyObject* a[1];
        bind_arguments("Similarity.__new__()", params, args, kwargs, a);
        EmbeddingRows keys = to_rows(a[0], "key_embeddings");
        if (keys.empty()) throw InvalidArgument("Empty list of key_embeddings is not supported");
        return make_instance(type, new State(std::move(keys)));
    });
}

PyObject* calculate_similarity(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded("Similarity.calculate_similarity()", [&]() -> PyObject* {
        static constexpr Param params[] = {{"query_embeddings", true}};
        PyObject* a[1];
        bind_arguments("Similarity.calculate_similarity()", params, args, kwargs, a);
        auto* inst = instance_of<State>(self);
        Hold hold(inst->borrow, Hold::Kind::Shared);
        EmbeddingRows queries = to_rows(a[0], "query_embeddings");
        if (queries.empty()) throw InvalidArgument("Empty list of query_embeddings is not supported");
        return float_list(similarity_scores(*inst->state, std::move(queries)));
    }, /*report_progress=*/true);
}

PyMethodDef methods[] = {
    {"calculate_similarity", as_method(calculate_similarity),
     METH_VARARGS | METH_KEYWORDS,
     "calculate_similarity($self, query_embeddings)\n--\n\n"
     "Calculates a similarity score for each key embedding based on its nearest neighbor in the\n"
     "query embeddings.\n\n# Arguments\n* `query_embeddings` - A vector of query embeddings.\n\n"
     "# Returns\nA list of f32 similarity scores, with one score per key embedding."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Similarity(key_embeddings)\n--\n\n"
                    "Python wrapper for the Similarity class.\n\n"
                    "This class provides a Python interface to the native implementation of the "
                    "similarity calculation.")},
    {Py_tp_new, reinterpret_cast<void*>(similarity_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<State>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"orvane_keldra.Similarity", sizeof(Instance<State>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyObject* similarity_type() {
    static PyObject* type = nullptr;
    return type_once(type, &spec);
}

}  // namespace orvane::py
