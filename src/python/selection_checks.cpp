// Private checks of orvane_keldra.distributed.Selection: the conversions and input rules of the
// Selection methods that take rows, run on a summary of rows the driver does not gather, in the
// methods' order, so that bad input fails as it does on one machine (same exception, same text)
// before any shard is made. Mappings come back flat, as the shards take them.
#include <cstdint>
#include <vector>

#include "src/python/binding.hpp"
#include "src/python/classes.hpp"
#include "src/python/input_rules.hpp"
#include "src/python/row_summary.hpp"

namespace orvane::py {
namespace {

// (offsets, objects) as bytes of native u64: sample i holds objects[offsets[i]:offsets[i+1]].
PyObject* flat_mapping(const IndexRows& mapping) {
    std::vector<std::uint64_t> offsets{0}, objects;
    for (const auto& row : mapping) {
        objects.insert(objects.end(), row.begin(), row.end());
        offsets.push_back(objects.size());
    }
    auto bytes = [](const std::vector<std::uint64_t>& v) {
        return Ref(checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                                     static_cast<Py_ssize_t>(v.size() * 8))));
    };
    Ref o = bytes(offsets), f = bytes(objects);
    return checked(PyTuple_Pack(2, o.get(), f.get())).release();
}

PyObject* optional_value(const std::optional<float>& v) {
    if (!v) return Ref::borrow(Py_None).release();
    return checked(PyFloat_FromDouble(*v)).release();
}

PyObject* tuple_of(std::initializer_list<PyObject*> items) {
    std::vector<Ref> held;
    for (PyObject* item : items) held.emplace_back(item);
    Ref t = checked(PyTuple_New(static_cast<Py_ssize_t>(held.size())));
    for (std::size_t i = 0; i < held.size(); ++i) {
        PyTuple_SetItem(t.get(), static_cast<Py_ssize_t>(i), held[i].release());
    }
    return t.release();
}

PyObject* float_value(float v) { return checked(PyFloat_FromDouble(v)).release(); }

// (n, values, d, odd, strength, stopping_condition_minimum_distance) -> (strength, stop)
PyObject* check_diversifying(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"n", true},   {"values", true},   {"d", true},
                                       {"odd", true}, {"strength", true}, {"stop", true}};
    return bound_call_as("Selection.add_diversifying_strategy()", "_check_diversifying()", params,
                         args, kwargs, [&](PyObject** a) -> PyObject* {
                             const RowsShape shape = rows_shape(a[0], a[1], a[2], a[3]);
                             const float strength = to_float(a[4], "strength");
                             const auto stop =
                                 to_optional_float(a[5], "stopping_condition_minimum_distance");
                             check_calculator_rows("embeddings", shape);
                             check_has_columns("embeddings", shape);
                             check_strength(strength);
                             return tuple_of({float_value(strength), optional_value(stop)});
                         });
}

// (n, values, d, odd, mapping, strength, stop) -> ((offsets, objects), strength, stop)
PyObject* check_subpart_diversifying(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"n", true},   {"values", true},  {"d", true},
                                       {"odd", true}, {"mapping", true}, {"strength", true},
                                       {"stop", true}};
    return bound_call_as(
        "Selection.add_subpart_diversifying_strategy()", "_check_subpart_diversifying()", params,
        args, kwargs, [&](PyObject** a) -> PyObject* {
            const RowsShape shape = rows_shape(a[0], a[1], a[2], a[3]);
            const IndexRows mapping = to_index_rows(a[4], "sample_to_subpart_indices");
            const float strength = to_float(a[5], "strength");
            const auto stop = to_optional_float(a[6], "stopping_condition_minimum_distance");
            check_object_indices(mapping, shape.n);
            check_calculator_rows("embeddings", shape);
            check_has_columns("embeddings", shape);
            check_strength(strength);
            return tuple_of({flat_mapping(mapping), float_value(strength), optional_value(stop)});
        });
}

// (keys: n, values, d, non_finite; queries: n, values, d, odd, non_finite; the length of the
// first key whose length is not the queries'; mapping, strength) -> ((offsets, objects), strength)
PyObject* check_subpart_similarity(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {
        {"key_n", true},          {"key_values", true}, {"key_d", true},
        {"key_non_finite", true}, {"query_n", true},    {"query_values", true},
        {"query_d", true},        {"query_odd", true},  {"query_non_finite", true},
        {"key_length", true},     {"mapping", true},    {"strength", true}};
    return bound_call_as(
        "Selection.add_subpart_similarity_strategy()", "_check_subpart_similarity()", params, args,
        kwargs, [&](PyObject** a) -> PyObject* {
            const RowsShape keys = rows_shape(a[0], a[1], a[2], nullptr);
            const RowsShape queries = rows_shape(a[4], a[5], a[6], a[7]);
            const IndexRows mapping = to_index_rows(a[10], "sample_to_subpart_indices");
            const float strength = to_float(a[11], "strength");
            check_key_count(keys.n);
            check_query_count(queries.n);
            check_object_indices(mapping, keys.n);
            check_key_rows("key_embeddings", keys, non_finite_of(a[3]));
            std::optional<std::size_t> key_length;
            if (a[9] != Py_None) key_length = to_u64(a[9], "key_length");
            check_query_rows(queries, key_length, non_finite_of(a[8]));
            check_strength(strength);
            return tuple_of({flat_mapping(mapping), float_value(strength)});
        });
}

// (n, values, d, odd, non_finite, mapping, strength, num_nearest_neighbors, minimum typicality)
// -> ((offsets, objects), strength, k, minimum)
PyObject* check_subpart_typicality(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"n", true},        {"values", true},     {"d", true},
                                       {"odd", true},      {"non_finite", true}, {"mapping", true},
                                       {"strength", true}, {"k", true},          {"minimum", true}};
    return bound_call_as(
        "Selection.add_subpart_typicality_strategy()", "_check_subpart_typicality()", params, args,
        kwargs, [&](PyObject** a) -> PyObject* {
            const RowsShape shape = rows_shape(a[0], a[1], a[2], a[3]);
            const IndexRows mapping = to_index_rows(a[5], "sample_to_subpart_indices");
            const float strength = to_float(a[6], "strength");
            const std::uint64_t k = to_u64(a[7], "num_nearest_neighbors");
            const auto minimum = to_optional_float(a[8], "stopping_condition_minimum_typicality");
            check_two_objects(shape.n);
            check_neighbor_count(k);
            check_equal_dimensions(shape);
            check_object_indices(mapping, shape.n);
            check_has_columns("embeddings", shape);
            check_finite("embeddings", non_finite_of(a[4]));
            check_strength(strength);
            return tuple_of({flat_mapping(mapping), float_value(strength),
                             checked(PyLong_FromUnsignedLongLong(k)).release(),
                             optional_value(minimum)});
        });
}

// (preselected_indices, n_total_samples, n_samples_to_select) -> the three, converted as
// Selection.run_selection converts them.
PyObject* run_arguments(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {
        {"preselected_indices", true}, {"n_total_samples", true}, {"n_samples_to_select", true}};
    return bound_call_as(
        "Selection.run_selection()", "Selection.run_selection()", params, args, kwargs,
        [&](PyObject** a) -> PyObject* {
            const auto pre = to_u64_list(a[0], "preselected_indices");
            const std::uint64_t n = to_u64(a[1], "n_total_samples");
            const std::uint64_t want = to_u64(a[2], "n_samples_to_select");
            return tuple_of({int_list(pre), checked(PyLong_FromUnsignedLongLong(n)).release(),
                             checked(PyLong_FromUnsignedLongLong(want)).release()});
        });
}

#define CHECK_FN(name, fn) {name, as_method(fn), METH_VARARGS | METH_KEYWORDS, nullptr}

PyMethodDef check_methods[] = {
    CHECK_FN("_check_diversifying", check_diversifying),
    CHECK_FN("_check_subpart_diversifying", check_subpart_diversifying),
    CHECK_FN("_check_subpart_similarity", check_subpart_similarity),
    CHECK_FN("_check_subpart_typicality", check_subpart_typicality),
    CHECK_FN("_run_arguments", run_arguments),
    {nullptr, nullptr, 0, nullptr},
};

#undef CHECK_FN

}  // namespace

void add_selection_checks(PyObject* module) {
    check(PyModule_AddFunctions(module, check_methods) == 0);
}

}  // namespace orvane::py
