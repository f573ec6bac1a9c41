// Python front of Similarity: stores key rows, scores them against queries per call.
#include "src/scores/similarity.hpp"

#include "src/common/failure.hpp"
#include "src/python/binding.hpp"
#include "src/python/classes.hpp"

namespace orvane::py {
namespace {

const char class_doc[] =
    "Similarity(key_embeddings)\n--\n\n"
    "Python wrapper for the Similarity class.\n\n"
    "This class provides a Python interface to the native implementation of the "
    "similarity calculation.";

using State = EmbeddingRows;

PyObject* similarity_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"key_embeddings", true}};
    return bound_call("Similarity.__new__()", params, args, kwargs, [&](PyObject** a) -> PyObject* {
        EmbeddingRows keys = to_rows(a[0], "key_embeddings");
        if (keys.empty()) throw InvalidArgument("Empty list of key_embeddings is not supported");
        return make_instance(type, new State(std::move(keys)));
    });
}

PyObject* calculate_similarity(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"query_embeddings", true}};
    return bound_call(
        "Similarity.calculate_similarity()", params, args, kwargs,
        [&](PyObject** a) -> PyObject* {
            auto* inst = instance_of<State>(self);
            Hold hold(inst->borrow, Hold::Kind::Shared);
            EmbeddingRows queries = to_rows(a[0], "query_embeddings");
            if (queries.empty())
                throw InvalidArgument("Empty list of query_embeddings is not supported");
            return float_list(similarity_scores(*inst->state, std::move(queries)));
        },
        /*report_progress=*/true);
}

PyMethodDef methods[] = {
    {"calculate_similarity", as_method(calculate_similarity), METH_VARARGS | METH_KEYWORDS,
     "calculate_similarity($self, query_embeddings)\n--\n\n"
     "Calculates a similarity score for each key embedding based on its nearest neighbor in the\n"
     "query embeddings.\n\n# Arguments\n* `query_embeddings` - A vector of query embeddings.\n\n"
     "# Returns\nA list of f32 similarity scores, with one score per key embedding."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const ClassFront similarity_front =
    class_front<State>("orvane_keldra.Similarity", class_doc, similarity_new, methods);

}  // namespace orvane::py
