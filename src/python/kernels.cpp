// Private module-level functions behind orvane_keldra.distributed: the block kernels a Ray task
// runs on NumPy buffers (read and written in place, no copies), the combination of per-row
// distances into scores on the driver, and the conversion and input rules of the single-machine
// classes, so that bad input fails there with the same exceptions.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>
#include <string_view>

#include "src/common/failure.hpp"
#include "src/python/binding.hpp"
#include "src/python/classes.hpp"
#include "src/python/input_rules.hpp"
#include "src/python/row_summary.hpp"
#include "src/scores/knn/blocks.hpp"
#include "src/scores/knn/plan.hpp"
#include "src/scores/knn/tile_pairs.hpp"
#include "src/scores/distance_calculator.hpp"
#include "src/scores/similarity.hpp"
#include "src/scores/typicality.hpp"

namespace orvane::py {
namespace {

// A C-contiguous float32 buffer of a given rank; writable on request.
class FloatView {
public:
    FloatView(PyObject* obj, int ndim, bool writable, const char* what) {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &view_, flags) != 0) throw ErrorAlreadySet{};
        held_ = true;
        std::string_view f(view_.format ? view_.format : "B");
        if (!f.empty() && (f[0] == '<' || f[0] == '=' || f[0] == '@')) f.remove_prefix(1);
        if (view_.ndim != ndim || f != "f" || view_.itemsize != 4) {
            PyErr_Format(PyExc_TypeError, "%s: expected a C-contiguous float32 array of rank %d",
                         what, ndim);
            throw ErrorAlreadySet{};
        }
    }
    ~FloatView() {
        if (held_) PyBuffer_Release(&view_);
    }
    FloatView(const FloatView&) = delete;
    FloatView& operator=(const FloatView&) = delete;

    std::size_t extent(int k) const { return static_cast<std::size_t>(view_.shape[k]); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len) / sizeof(float); }
    float* data() const { return static_cast<float*>(view_.buf); }
    std::span<float> span() const { return {data(), size()}; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

PyObject* size_value(std::size_t v) { return checked(PyLong_FromSize_t(v)).release(); }

PyObject* non_finite_tuple(const std::optional<NonFinite>& bad) {
    if (!bad) return Ref::borrow(Py_None).release();
    return checked(Py_BuildValue("(nnd)", static_cast<Py_ssize_t>(bad->row),
                                 static_cast<Py_ssize_t>(bad->column),
                                 static_cast<double>(bad->value)))
        .release();
}

// _rows(obj, param) -> (values as bytes, n, d, row lengths or None, first non-finite value or
// None): the conversion of the classes; `param` names the argument in notes. d is the first row's
// length; the lengths are returned only when rows differ; the non-finite value as (row, column,
// value).
PyObject* rows(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"obj", true}, {"param", true}};
    return bound_call("_rows()", params, args, kwargs, [&](PyObject** a) -> PyObject* {
        const char* param = PyUnicode_AsUTF8AndSize(a[1], nullptr);
        if (!param) throw ErrorAlreadySet{};
        std::optional<std::size_t> bad;
        const EmbeddingRows r = to_rows(a[0], param, &bad);
        const std::size_t n = r.size(), d = n == 0 ? 0 : r.row_length(0);
        Ref lengths = Ref::borrow(Py_None);
        for (std::size_t i = 0; i < n; ++i) {
            if (r.row_length(i) == d) continue;
            std::vector<std::size_t> all(n);
            for (std::size_t j = 0; j < n; ++j) all[j] = r.row_length(j);
            lengths = Ref(int_list(all));
            break;
        }
        const auto& v = r.values();
        Ref bytes =
            checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                              static_cast<Py_ssize_t>(v.size() * sizeof(float))));
        Ref nn(size_value(n)), dd(size_value(d)),
            where(non_finite_tuple(locate_non_finite(r, bad)));
        return checked(PyTuple_Pack(5, bytes.get(), nn.get(), dd.get(), lengths.get(), where.get()))
            .release();
    });
}

constexpr const char* kTypicality = "orvane_keldra.distributed.typicality()";
constexpr const char* kSimilarity = "orvane_keldra.distributed.similarity()";

// _check_embeddings(n, values, d, odd=None, non_finite=None): Typicality's rules.
PyObject* check_embeddings(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {
        {"n", true}, {"values", true}, {"d", true}, {"odd", false}, {"non_finite", false}};
    return bound_call_as(
        kTypicality, "_check_embeddings()", params, args, kwargs, [&](PyObject** a) -> PyObject* {
            check_typicality_rows(rows_shape(a[0], a[1], a[2], a[3]), non_finite_of(a[4]));
            Py_RETURN_NONE;
        });
}

// _check_keys(n, values=None, non_finite=None): Similarity's rules for its keys.
PyObject* check_keys(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"n", true}, {"values", false}, {"non_finite", false}};
    return bound_call_as(
        kSimilarity, "_check_keys()", params, args, kwargs, [&](PyObject** a) -> PyObject* {
            RowsShape keys{to_u64(a[0], "n"), 0, 0, {}};
            keys.values = a[1] && a[1] != Py_None ? to_u64(a[1], "values") : keys.n;
            check_key_rows("key_embeddings", keys, non_finite_of(a[2]));
            Py_RETURN_NONE;
        });
}

// _check_queries(n, values, d, key_length, odd=None, non_finite=None): calculate_similarity's
// rules; key_length is the first key length that is not d, or None.
PyObject* check_queries(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"n", true},    {"values", true},
                                       {"d", true},    {"key_length", true},
                                       {"odd", false}, {"non_finite", false}};
    return bound_call_as(
        kSimilarity, "_check_queries()", params, args, kwargs, [&](PyObject** a) -> PyObject* {
            std::optional<std::size_t> key_length;
            if (a[3] != Py_None) key_length = to_u64(a[3], "key_length");
            check_query_rows(rows_shape(a[0], a[1], a[2], a[4]), key_length, non_finite_of(a[5]));
            Py_RETURN_NONE;
        });
}

// _first_non_finite(block) -> (row, column, value) or None, for a float32 matrix.
PyObject* first_non_finite_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"block", true}};
    return bound_call("_first_non_finite()", params, args, kwargs, [&](PyObject** a) -> PyObject* {
        const FloatView x(a[0], 2, false, "block");
        return non_finite_tuple(first_non_finite(x.span(), x.extent(1)));
    });
}

std::size_t whole(std::size_t rows, std::size_t tile) {
    return std::max<std::size_t>(1, (rows + tile - 1) / tile) * tile;
}

PyObject* size_pairs(const std::vector<std::pair<std::size_t, std::size_t>>& pairs) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        Ref a(size_value(pairs[p].first)), b(size_value(pairs[p].second));
        check(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(p),
                             checked(PyTuple_Pack(2, a.get(), b.get())).release()) == 0);
    }
    return list.release();
}

void set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref held(value);
    check(PyDict_SetItemString(dict, key, held.get()) == 0);
}

// _knn_plan(n, block_rows, num_nearest_neighbors=absent) -> dict: how the cluster's tasks cut
// the scan so that they multiply the class's GEMM shapes. Typicality (with the neighbor count,
// converted and checked as the class does): "k", "handler" ("sorted": tile pairs of blocks in
// "pairs" order; "rows": whole rows against every row, one GEMM per query block of "query_rows"),
// and "block_rows", the stored rows per block: `block_rows` rounded up to whole tiles. Similarity
// (without it): "handler" "nearest", key blocks of "block_rows", query blocks in whole
// multiples of "column_rows".
PyObject* knn_plan(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {
        {"n", true}, {"block_rows", true}, {"num_nearest_neighbors", false}};
    return bound_call_as(
        kTypicality, "_knn_plan()", params, args, kwargs, [&](PyObject** a) -> PyObject* {
            const std::size_t n = to_u64(a[0], "n"), target = to_u64(a[1], "block_rows");
            Ref plan = checked(PyDict_New());
            if (a[2] == nullptr) {
                set_item(plan.get(), "k", Ref::borrow(Py_None).release());
                set_item(plan.get(), "handler", checked(PyUnicode_FromString("nearest")).release());
                set_item(plan.get(), "block_rows", size_value(whole(target, knn::kTileRows)));
                set_item(plan.get(), "query_rows", size_value(knn::kTileRows));
                set_item(plan.get(), "column_rows", size_value(knn::kTileColumns));
                set_item(plan.get(), "pairs", Ref::borrow(Py_None).release());
                return plan.release();
            }
            const std::size_t k = checked_neighbor_count(to_u64(a[2], "num_nearest_neighbors"), n);
            const bool sorted = knn::typicality_handler(k) == knn::Handler::sorted;
            const std::size_t rows = whole(target, knn::kTriangleTile);
            const std::size_t blocks = (n + rows - 1) / rows;
            set_item(plan.get(), "k", size_value(k));
            set_item(plan.get(), "handler",
                     checked(PyUnicode_FromString(sorted ? "sorted" : "rows")).release());
            set_item(plan.get(), "block_rows", size_value(rows));
            set_item(plan.get(), "query_rows",
                     size_value(sorted ? knn::kTriangleTile : knn::rows_per_block(n)));
            set_item(plan.get(), "column_rows", size_value(sorted ? knn::kTriangleTile : n));
            set_item(plan.get(), "pairs",
                     sorted ? size_pairs(knn::tile_pair_order(blocks, blocks, true))
                            : Ref::borrow(Py_None).release());
            return plan.release();
        });
}

// _tile_pairs(a, a_first, b, b_first, best): every tile pair between blocks a and b (b_first ==
// a_first: within a) fed to `best`, (rows of a, then of b unless b is a) x k, filled by the caller
// with +inf or each row's bound (see smallest_by_tile_pairs).
PyObject* tile_pairs_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {
        {"a", true}, {"a_first", true}, {"b", true}, {"b_first", true}, {"best", true}};
    return bound_call("_tile_pairs()", params, args, kwargs, [&](PyObject** a) -> PyObject* {
        const FloatView x(a[0], 2, false, "a"), y(a[2], 2, false, "b"), best(a[4], 2, true, "best");
        const std::size_t dim = x.extent(1);
        if (y.extent(1) != dim) raise_internal_failure("assertion failed: block shapes agree");
        knn::smallest_by_tile_pairs({x.data(), x.extent(0), to_u64(a[1], "a_first")},
                                    {y.data(), y.extent(0), to_u64(a[3], "b_first")}, dim,
                                    best.extent(1), best.span());
        Py_RETURN_NONE;
    });
}

// _merge_sorted(into, from): per row, the k smallest of two ascending k-buffers, into `into`.
PyObject* merge_sorted_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"into", true}, {"from", true}};
    return bound_call("_merge_sorted()", params, args, kwargs, [&](PyObject** a) -> PyObject* {
        const FloatView into(a[0], 2, true, "into"), from(a[1], 2, false, "from");
        if (from.extent(1) != into.extent(1))
            raise_internal_failure("assertion failed: block shapes agree");
        knn::merge_sorted_smallest(into.span(), from.span(), into.extent(1));
        Py_RETURN_NONE;
    });
}

// _smallest_by_rows(queries, query_first, stored, best): the whole-row scan of the class for
// query rows from query_first (a multiple of the plan's query_rows) against every row (stored).
PyObject* smallest_by_rows_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {
        {"queries", true}, {"query_first", true}, {"stored", true}, {"best", true}};
    return bound_call("_smallest_by_rows()", params, args, kwargs, [&](PyObject** a) -> PyObject* {
        const FloatView q(a[0], 2, false, "queries"), s(a[2], 2, false, "stored"),
            best(a[3], 2, true, "best");
        const std::size_t dim = q.extent(1);
        if (s.extent(1) != dim || best.extent(0) != q.extent(0))
            raise_internal_failure("assertion failed: block shapes agree");
        knn::smallest_by_rows({q.data(), q.extent(0), to_u64(a[1], "query_first")},
                              {s.data(), s.extent(0), 0}, dim, best.extent(1), best.span());
        Py_RETURN_NONE;
    });
}

// A private kernel that finishes one f32 array in place: callable(param), `dims` dimensions.
PyObject* finish_in_place(const char* callable, const char* param, int dims,
                          void (*finish)(std::span<float>), PyObject* args, PyObject* kwargs) {
    const Param params[] = {{param, true}};
    return bound_call(callable, params, args, kwargs, [&](PyObject** a) -> PyObject* {
        finish(FloatView(a[0], dims, true, param).span());
        Py_RETURN_NONE;
    });
}

// _finish_smallest(best): neighbor distances r from half squared distances, in place.
PyObject* finish_smallest_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    return finish_in_place("_finish_smallest()", "best", 2, knn::finish_smallest, args, kwargs);
}

// _merge_nearest(queries, stored, nearest)
PyObject* merge_nearest_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"queries", true}, {"stored", true}, {"nearest", true}};
    return bound_call("_merge_nearest()", params, args, kwargs, [&](PyObject** a) -> PyObject* {
        const FloatView q(a[0], 2, false, "queries"), s(a[1], 2, false, "stored"),
            m(a[2], 1, true, "nearest");
        if (s.extent(1) != q.extent(1))
            raise_internal_failure("assertion failed: block shapes agree");
        knn::merge_nearest({q.data(), q.extent(0), 0}, {s.data(), s.extent(0), 0}, q.extent(1),
                           m.span());
        Py_RETURN_NONE;
    });
}

// _finish_nearest(nearest): Euclidean distances, in place.
PyObject* finish_nearest_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    return finish_in_place("_finish_nearest()", "nearest", 1, knn::finish_nearest, args, kwargs);
}

void copy_into(const FloatView& out, const std::vector<float>& values) {
    if (out.size() != values.size()) raise_internal_failure("assertion failed: one score per row");
    std::copy(values.begin(), values.end(), out.data());
}

// _typicality_scores(r, out): scores from every row's k neighbor distances (n x k).
PyObject* typicality_scores_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"r", true}, {"out", true}};
    return bound_call("_typicality_scores()", params, args, kwargs, [&](PyObject** a) -> PyObject* {
        const FloatView r(a[0], 2, false, "r"), out(a[1], 1, true, "out");
        if (r.extent(1) == 0) raise_internal_failure("assertion failed: k > 0");
        copy_into(out, typicality_from_distances(r.span(), r.extent(0), r.extent(1)));
        Py_RETURN_NONE;
    });
}

// _similarity_scores(dist, out): scores from every key's distance to its nearest query.
PyObject* similarity_scores_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"dist", true}, {"out", true}};
    return bound_call("_similarity_scores()", params, args, kwargs, [&](PyObject** a) -> PyObject* {
        const FloatView dist(a[0], 1, false, "dist"), out(a[1], 1, true, "out");
        if (dist.size() == 0) raise_internal_failure("called `Option::unwrap()` on a `None` value");
        copy_into(out, similarity_from_distances(dist.span()));
        Py_RETURN_NONE;
    });
}

#define KERNEL(name, fn) {name, as_method(fn), METH_VARARGS | METH_KEYWORDS, nullptr}

PyMethodDef kernel_methods[] = {
    KERNEL("_rows", rows),
    KERNEL("_check_embeddings", check_embeddings),
    KERNEL("_check_keys", check_keys),
    KERNEL("_check_queries", check_queries),
    KERNEL("_first_non_finite", first_non_finite_fn),
    KERNEL("_knn_plan", knn_plan),
    KERNEL("_tile_pairs", tile_pairs_fn),
    KERNEL("_merge_sorted", merge_sorted_fn),
    KERNEL("_smallest_by_rows", smallest_by_rows_fn),
    KERNEL("_finish_smallest", finish_smallest_fn),
    KERNEL("_merge_nearest", merge_nearest_fn),
    KERNEL("_finish_nearest", finish_nearest_fn),
    KERNEL("_typicality_scores", typicality_scores_fn),
    KERNEL("_similarity_scores", similarity_scores_fn),
    {nullptr, nullptr, 0, nullptr},
};

#undef KERNEL

}  // namespace

void add_kernels(PyObject* module) { check(PyModule_AddFunctions(module, kernel_methods) == 0); }

}  // namespace orvane::py
