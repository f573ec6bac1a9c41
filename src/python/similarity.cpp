// Python front of Similarity: stores key rows, scores them against queries per call.
#include "src/scores/similarity.hpp"

#include "src/python/binding.hpp"
#include "src/python/classes.hpp"
#include "src/python/docstrings.hpp"
#include "src/python/input_rules.hpp"

namespace orvane::py {
namespace {

using State = EmbeddingRows;

PyObject* similarity_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"key_embeddings", true}};
    return bound_call("Similarity.__new__()", params, args, kwargs, [&](PyObject** a) -> PyObject* {
        std::optional<std::size_t> bad;
        EmbeddingRows keys = to_rows(a[0], "key_embeddings", &bad);
        check_key_rows("key_embeddings", shape_of(keys), locate_non_finite(keys, bad));
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
            std::optional<std::size_t> bad;
            EmbeddingRows queries = to_rows(a[0], "query_embeddings", &bad);
            const RowsShape shape = shape_of(queries);
            check_query_rows(shape, first_length_other_than(*inst->state, shape.d),
                             locate_non_finite(queries, bad));
            return float_list(similarity_scores(*inst->state, std::move(queries)));
        },
        /*report_progress=*/true);
}

PyMethodDef methods[] = {
    {"calculate_similarity", as_method(calculate_similarity), METH_VARARGS | METH_KEYWORDS,
     docs::calculate_similarity},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const ClassFront similarity_front =
    class_front<State>("orvane_keldra.Similarity", docs::similarity_class, similarity_new, methods);

}  // namespace orvane::py
