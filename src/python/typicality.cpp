// Python front of Typicality: owns a distance calculator over the embeddings.
#include "src/scores/typicality.hpp"

#include "src/python/binding.hpp"
#include "src/python/classes.hpp"
#include "src/python/docstrings.hpp"
#include "src/python/input_rules.hpp"

namespace orvane::py {
namespace {

struct State {
    DistanceCalculator calculator;
    std::size_t n;
};

PyObject* typicality_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"embeddings", true}};
    return bound_call("Typicality.__new__()", params, args, kwargs, [&](PyObject** a) -> PyObject* {
        std::optional<std::size_t> bad;
        EmbeddingRows rows = to_rows(a[0], "embeddings", &bad);
        const std::size_t n = rows.size();
        check_typicality_rows(shape_of(rows), locate_non_finite(rows, bad));
        return make_instance(type, new State{DistanceCalculator(std::move(rows)), n});
    });
}

PyObject* calculate_typicality(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"num_nearest_neighbors", true}};
    return bound_call(
        "Typicality.calculate_typicality()", params, args, kwargs,
        [&](PyObject** a) -> PyObject* {
            auto* inst = instance_of<State>(self);
            Hold hold(inst->borrow, Hold::Kind::Shared);
            const std::uint64_t k = to_u64(a[0], "num_nearest_neighbors");
            checked_neighbor_count(k, inst->state->n);
            return float_list(typicality_scores(inst->state->calculator, inst->state->n, k));
        },
        /*report_progress=*/true);
}

PyMethodDef methods[] = {
    {"calculate_typicality", as_method(calculate_typicality), METH_VARARGS | METH_KEYWORDS,
     docs::calculate_typicality},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const ClassFront typicality_front =
    class_front<State>("orvane_keldra.Typicality", docs::typicality_class, typicality_new, methods);

}  // namespace orvane::py
