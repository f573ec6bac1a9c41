// Python front of Selection: converts and checks arguments, builds one strategy per add_* call
// (appended only once built completely) and runs the greedy loop.
#include "src/selection/combination_selection.hpp"
#include "src/python/binding.hpp"
#include "src/python/classes.hpp"
#include "src/python/docstrings.hpp"
#include "src/python/input_rules.hpp"

namespace orvane::py {
namespace {

using State = CombinationSelection;

// Binds, takes the exclusive hold and runs `body(state, args)`.
template <std::size_t N, class F>
PyObject* method(const char* name, const Param (&params)[N], PyObject* self, PyObject* args,
                 PyObject* kwargs, F&& body, bool report_progress = false) {
    return bound_call(
        name, params, args, kwargs,
        [&](PyObject** a) -> PyObject* {
            auto* inst = instance_of<State>(self);
            Hold hold(inst->borrow, Hold::Kind::Exclusive);
            return body(*inst->state, a);
        },
        report_progress);
}

PyObject* selection_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded("Selection.__new__()", [&]() -> PyObject* {
        bind_arguments("Selection.__new__()", {}, args, kwargs, nullptr);
        return make_instance(type, new State());
    });
}

PyObject* add_weighting_strategy(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"weights", true}, {"strength", true}};
    return method("Selection.add_weighting_strategy()", params, self, args, kwargs,
                  [](State& s, PyObject** a) {
                      auto weights = to_floats(a[0], "weights");
                      const float strength = to_float(a[1], "strength");
                      check_weights(weights);
                      check_strength(strength);
                      s.add(WeightingStrategy(std::move(weights), strength));
                      Py_RETURN_NONE;
                  });
}

PyObject* add_diversifying_strategy(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {
        {"embeddings", true}, {"strength", true}, {"stopping_condition_minimum_distance", false}};
    return method("Selection.add_diversifying_strategy()", params, self, args, kwargs,
                  [](State& s, PyObject** a) {
                      auto rows = to_rows(a[0], "embeddings");
                      const float strength = to_float(a[1], "strength");
                      auto stop = to_optional_float(a[2], "stopping_condition_minimum_distance");
                      const RowsShape shape = shape_of(rows);
                      check_calculator_rows("embeddings", shape);
                      check_has_columns("embeddings", shape);
                      check_strength(strength);
                      s.add(DiversifyingStrategy(std::move(rows), stop, strength));
                      Py_RETURN_NONE;
                  });
}

PyObject* add_balancing_strategy(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {
        {"class_distributions", true}, {"target", true}, {"strength", true}};
    return method(
        "Selection.add_balancing_strategy()", params, self, args, kwargs,
        [](State& s, PyObject** a) {
            auto rows = to_rows(a[0], "class_distributions");
            auto target = to_floats(a[1], "target");
            const float strength = to_float(a[2], "strength");
            const std::size_t m =
                explained("index out of bounds",
                          "class_distributions is empty: give one row of class probabilities per "
                          "sample",
                          [&] { return class_count(rows); });
            const std::size_t n = rows.size();
            if (m != target.size()) {
                // The strategy's own check raises its text; the note says what to do.
                explained("",
                          "target has " + std::to_string(target.size()) +
                              " entries but class_distributions has " + std::to_string(m) +
                              " columns: give one target value per class",
                          [&] {
                              BalancingStrategy(EmbeddingMatrix{{}, 0, m},
                                                std::vector<float>(target), strength);
                          });
            }
            check_class_probabilities(rows);
            check_target(target);
            check_strength(strength);
            EmbeddingMatrix matrix{std::move(rows).take_values(), n, m};
            s.add(BalancingStrategy(std::move(matrix), std::move(target), strength));
            Py_RETURN_NONE;
        });
}

PyObject* add_subpart_diversifying_strategy(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"embeddings", true},
                                       {"sample_to_subpart_indices", true},
                                       {"strength", true},
                                       {"stopping_condition_minimum_distance", false}};
    return method(
        "Selection.add_subpart_diversifying_strategy()", params, self, args, kwargs,
        [](State& s, PyObject** a) {
            auto rows = to_rows(a[0], "embeddings");
            auto mapping = to_index_rows(a[1], "sample_to_subpart_indices");
            const float strength = to_float(a[2], "strength");
            auto stop = to_optional_float(a[3], "stopping_condition_minimum_distance");
            check_object_indices(mapping, rows.size());
            const RowsShape shape = shape_of(rows);
            check_calculator_rows("embeddings", shape);
            check_has_columns("embeddings", shape);
            check_strength(strength);
            s.add(SubpartDiversifyingStrategy(std::move(rows), std::move(mapping), strength, stop));
            Py_RETURN_NONE;
        });
}

PyObject* add_subpart_similarity_strategy(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"key_embeddings", true},
                                       {"query_embeddings", true},
                                       {"sample_to_subpart_indices", true},
                                       {"strength", true}};
    return method(
        "Selection.add_subpart_similarity_strategy()", params, self, args, kwargs,
        [](State& s, PyObject** a) {
            std::optional<std::size_t> bad_key, bad_query;
            auto keys = to_rows(a[0], "key_embeddings", &bad_key);
            auto queries = to_rows(a[1], "query_embeddings", &bad_query);
            auto mapping = to_index_rows(a[2], "sample_to_subpart_indices");
            const float strength = to_float(a[3], "strength");
            check_key_count(keys.size());
            check_query_count(queries.size());
            check_object_indices(mapping, keys.size());
            // The checks of the Similarity class: the object scores are its scores.
            check_key_rows("key_embeddings", shape_of(keys), locate_non_finite(keys, bad_key));
            const RowsShape shape = shape_of(queries);
            check_query_rows(shape, first_length_other_than(keys, shape.d),
                             locate_non_finite(queries, bad_query));
            check_strength(strength);
            s.add(
                SubpartSimilarityStrategy(keys, std::move(queries), std::move(mapping), strength));
            Py_RETURN_NONE;
        });
}

PyObject* add_subpart_typicality_strategy(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"embeddings", true},
                                       {"sample_to_subpart_indices", true},
                                       {"strength", true},
                                       {"num_nearest_neighbors", true},
                                       {"stopping_condition_minimum_typicality", false}};
    return method("Selection.add_subpart_typicality_strategy()", params, self, args, kwargs,
                  [](State& s, PyObject** a) {
                      std::optional<std::size_t> bad;
                      auto rows = to_rows(a[0], "embeddings", &bad);
                      auto mapping = to_index_rows(a[1], "sample_to_subpart_indices");
                      const float strength = to_float(a[2], "strength");
                      const std::uint64_t k = to_u64(a[3], "num_nearest_neighbors");
                      auto min_typ =
                          to_optional_float(a[4], "stopping_condition_minimum_typicality");
                      check_two_objects(rows.size());
                      check_neighbor_count(k);
                      check_equal_dimensions(shape_of(rows));
                      check_object_indices(mapping, rows.size());
                      // The object scores are Typicality's.
                      check_has_columns("embeddings", shape_of(rows));
                      check_finite("embeddings", locate_non_finite(rows, bad));
                      check_strength(strength);
                      s.add(SubpartTypicalityStrategy(std::move(rows), std::move(mapping), strength,
                                                      k, min_typ));
                      Py_RETURN_NONE;
                  });
}

PyObject* run_selection(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {
        {"preselected_indices", true}, {"n_total_samples", true}, {"n_samples_to_select", true}};
    return method(
        "Selection.run_selection()", params, self, args, kwargs,
        [](State& s, PyObject** a) {
            auto preselected = to_u64_list(a[0], "preselected_indices");
            const std::uint64_t n_total = to_u64(a[1], "n_total_samples");
            const std::uint64_t n_select = to_u64(a[2], "n_samples_to_select");
            std::string index_note;
            for (std::size_t i : preselected) {
                if (i >= n_total) {
                    index_note = "preselected_indices holds " + std::to_string(i) +
                                 " but n_total_samples is " + std::to_string(n_total) +
                                 ": every index must be below n_total_samples";
                    break;
                }
            }
            const std::string none_note =
                n_total == 0 ? "n_total_samples is 0: there is no sample to select"
                             : "a combined score was NaN, so two candidates could not be "
                               "compared: look for an infinite strength or a strategy whose "
                               "potentials are infinite";
            return explained("called `Option::unwrap()` on a `None` value", none_note, [&] {
                return explained("The index of the selected_sample (", index_note, [&] {
                    return int_list(s.run_selection(preselected, n_total, n_select));
                });
            });
        },
        /*report_progress=*/true);
}

// Private, for tests: compare the shortcuts of a step against the plain full pass.
PyObject* set_full_pass(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"on", true}};
    return method("Selection._set_full_pass()", params, self, args, kwargs,
                  [](State& s, PyObject** a) {
                      const int on = PyObject_IsTrue(a[0]);
                      if (on < 0) return static_cast<PyObject*>(nullptr);
                      s.set_full_pass(on != 0);
                      Py_RETURN_NONE;
                  });
}

PyMethodDef methods[] = {
    {"add_weighting_strategy", as_method(add_weighting_strategy), METH_VARARGS | METH_KEYWORDS,
     docs::add_weighting_strategy},
    {"add_diversifying_strategy", as_method(add_diversifying_strategy),
     METH_VARARGS | METH_KEYWORDS, docs::add_diversifying_strategy},
    {"add_balancing_strategy", as_method(add_balancing_strategy), METH_VARARGS | METH_KEYWORDS,
     docs::add_balancing_strategy},
    {"add_subpart_diversifying_strategy", as_method(add_subpart_diversifying_strategy),
     METH_VARARGS | METH_KEYWORDS, docs::add_subpart_diversifying_strategy},
    {"add_subpart_similarity_strategy", as_method(add_subpart_similarity_strategy),
     METH_VARARGS | METH_KEYWORDS, docs::add_subpart_similarity_strategy},
    {"add_subpart_typicality_strategy", as_method(add_subpart_typicality_strategy),
     METH_VARARGS | METH_KEYWORDS, docs::add_subpart_typicality_strategy},
    {"run_selection", as_method(run_selection), METH_VARARGS | METH_KEYWORDS, docs::run_selection},
    {"_set_full_pass", as_method(set_full_pass), METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const ClassFront selection_front =
    class_front<State>("orvane_keldra.Selection", docs::selection_class, selection_new, methods);

}  // namespace orvane::py
