// Private front of a selection shard (orvane_keldra.distributed runs one in each Ray actor):
// strategies over one range of the samples, built from what the driver checked already, and the
// three calls of a distributed step: best(), encode_pick(), inform().
#include <memory>

#include "src/selection/selection_shard.hpp"
#include "src/python/binding.hpp"
#include "src/common/failure.hpp"
#include "src/python/classes.hpp"

namespace orvane::py {
namespace {

using State = SelectionShard;

template <std::size_t N, class F>
PyObject* method(const char* name, const Param (&params)[N], PyObject* self, PyObject* args,
                 PyObject* kwargs, F&& body) {
    return bound_call(name, params, args, kwargs, [&](PyObject** a) -> PyObject* {
        auto* inst = instance_of<State>(self);
        Hold hold(inst->borrow, Hold::Kind::Exclusive);
        return body(*inst->state, a);
    });
}

template <class F>
PyObject* method0(const char* name, PyObject* self, PyObject* args, PyObject* kwargs, F&& body) {
    return guarded(name, [&]() -> PyObject* {
        bind_arguments(name, {}, args, kwargs, nullptr);
        auto* inst = instance_of<State>(self);
        Hold hold(inst->borrow, Hold::Kind::Exclusive);
        return body(*inst->state);
    });
}

bool truth(PyObject* obj) {
    const int t = PyObject_IsTrue(obj);
    if (t < 0) throw ErrorAlreadySet{};
    return t != 0;
}

// A mapping as offsets (one per sample, and one past the last) into a flat list of objects.
IndexRows index_rows(PyObject* offsets_obj, PyObject* flat_obj) {
    const auto offsets = to_u64_list(offsets_obj, "offsets");
    const auto flat = to_u64_list(flat_obj, "objects");
    IndexRows out;
    if (offsets.empty() || offsets.back() != flat.size()) {
        throw InvalidArgument("a shard's mapping offsets must end at its object count");
    }
    out.reserve(offsets.size() - 1);
    for (std::size_t i = 0; i + 1 < offsets.size(); ++i) {
        if (offsets[i] > offsets[i + 1]) throw InvalidArgument("mapping offsets must not fall");
        out.emplace_back(flat.begin() + static_cast<std::ptrdiff_t>(offsets[i]),
                         flat.begin() + static_cast<std::ptrdiff_t>(offsets[i + 1]));
    }
    return out;
}

PyObject* bytes_of(const std::vector<unsigned char>& v) {
    return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                             static_cast<Py_ssize_t>(v.size())))
        .release();
}

PyObject* shard_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"first", true}, {"count", true}, {"n_total", true}};
    return bound_call("_SelectionShard()", params, args, kwargs, [&](PyObject** a) -> PyObject* {
        auto state = std::make_unique<State>(to_u64(a[0], "first"), to_u64(a[1], "count"),
                                             to_u64(a[2], "n_total"));
        return make_instance(type, state.release());
    });
}

PyObject* add_weighting(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {
        {"weights", true}, {"strength", true}, {"largest", true}, {"nonnegative", true}};
    return method(
        "_SelectionShard.add_weighting()", params, self, args, kwargs, [](State& s, PyObject** a) {
            s.add(WeightingStrategy(to_floats(a[0], "weights"), to_float(a[1], "strength")),
                  to_float(a[2], "largest"), truth(a[3]));
            Py_RETURN_NONE;
        });
}

PyObject* add_diversifying(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"embeddings", true}, {"strength", true}, {"stop", true}};
    return method(
        "_SelectionShard.add_diversifying()", params, self, args, kwargs,
        [](State& s, PyObject** a) {
            s.add(DiversifyingStrategy(to_rows(a[0], "embeddings"), to_optional_float(a[2], "stop"),
                                       to_float(a[1], "strength")));
            Py_RETURN_NONE;
        });
}

PyObject* add_balancing(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {
        {"class_distributions", true}, {"target", true}, {"strength", true}};
    return method("_SelectionShard.add_balancing()", params, self, args, kwargs,
                  [](State& s, PyObject** a) {
                      auto rows = to_rows(a[0], "class_distributions");
                      const std::size_t n = rows.size();
                      const std::size_t m = n == 0 ? 0 : rows.row_length(0);
                      EmbeddingMatrix matrix{std::move(rows).take_values(), n, m};
                      s.add(BalancingStrategy(std::move(matrix), to_floats(a[1], "target"),
                                              to_float(a[2], "strength")));
                      Py_RETURN_NONE;
                  });
}

PyObject* add_subpart_diversifying(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"embeddings", true}, {"offsets", true},  {"objects", true},
                                       {"object_ids", true}, {"strength", true}, {"stop", true}};
    return method("_SelectionShard.add_subpart_diversifying()", params, self, args, kwargs,
                  [](State& s, PyObject** a) {
                      s.add(SubpartDiversifyingStrategy(
                                to_rows(a[0], "embeddings"), index_rows(a[1], a[2]),
                                to_float(a[4], "strength"), to_optional_float(a[5], "stop")),
                            to_u64_list(a[3], "object_ids"));
                      Py_RETURN_NONE;
                  });
}

PyObject* add_subpart_similarity(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {
        {"similarity", true}, {"offsets", true}, {"objects", true}, {"strength", true}};
    return method(
        "_SelectionShard.add_subpart_similarity()", params, self, args, kwargs,
        [](State& s, PyObject** a) {
            s.add(SubpartSimilarityStrategy::from_scores(
                to_floats(a[0], "similarity"), index_rows(a[1], a[2]), to_float(a[3], "strength")));
            Py_RETURN_NONE;
        });
}

PyObject* add_subpart_typicality(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"typicality", true},
                                       {"offsets", true},
                                       {"objects", true},
                                       {"strength", true},
                                       {"stop", true}};
    return method("_SelectionShard.add_subpart_typicality()", params, self, args, kwargs,
                  [](State& s, PyObject** a) {
                      s.add(SubpartTypicalityStrategy(
                          to_floats(a[0], "typicality"), index_rows(a[1], a[2]),
                          to_float(a[3], "strength"), to_optional_float(a[4], "stop")));
                      Py_RETURN_NONE;
                  });
}

PyObject* begin_run(PyObject* self, PyObject* args, PyObject* kwargs) {
    return method0("_SelectionShard.begin_run()", self, args, kwargs, [](State& s) {
        s.begin_run();
        Py_RETURN_NONE;
    });
}

PyObject* end_run(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"keep", true}};
    return method("_SelectionShard.end_run()", params, self, args, kwargs,
                  [](State& s, PyObject** a) {
                      s.end_run(truth(a[0]));
                      Py_RETURN_NONE;
                  });
}

PyObject* encode_pick(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"index", true}};
    return method(
        "_SelectionShard.encode_pick()", params, self, args, kwargs,
        [](State& s, PyObject** a) { return bytes_of(s.encode_pick(to_u64(a[0], "index"))); });
}

PyObject* inform(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"pick", true}};
    return method(
        "_SelectionShard.inform()", params, self, args, kwargs, [](State& s, PyObject** a) {
            char* data = nullptr;
            Py_ssize_t size = 0;
            if (PyBytes_AsStringAndSize(a[0], &data, &size) != 0) throw ErrorAlreadySet{};
            s.inform(
                {reinterpret_cast<const unsigned char*>(data), static_cast<std::size_t>(size)});
            Py_RETURN_NONE;
        });
}

// best() -> None (no samples) or (index, score, nan, taken, stop, pick or None).
PyObject* best(PyObject* self, PyObject* args, PyObject* kwargs) {
    return method0("_SelectionShard.best()", self, args, kwargs, [](State& s) {
        const auto b = s.best();
        if (!b) Py_RETURN_NONE;
        Ref index = checked(PyLong_FromSize_t(b->index));
        Ref score = checked(PyFloat_FromDouble(b->score));
        Ref pick = b->pick.empty() ? Ref::borrow(Py_None) : Ref(bytes_of(b->pick));
        return checked(Py_BuildValue("(OOOOOO)", index.get(), score.get(),
                                     b->nan ? Py_True : Py_False, b->taken ? Py_True : Py_False,
                                     b->stop ? Py_True : Py_False, pick.get()))
            .release();
    });
}

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;
PyMethodDef methods[] = {
    {"add_weighting", as_method(add_weighting), kFlags, nullptr},
    {"add_diversifying", as_method(add_diversifying), kFlags, nullptr},
    {"add_balancing", as_method(add_balancing), kFlags, nullptr},
    {"add_subpart_diversifying", as_method(add_subpart_diversifying), kFlags, nullptr},
    {"add_subpart_similarity", as_method(add_subpart_similarity), kFlags, nullptr},
    {"add_subpart_typicality", as_method(add_subpart_typicality), kFlags, nullptr},
    {"begin_run", as_method(begin_run), kFlags, nullptr},
    {"end_run", as_method(end_run), kFlags, nullptr},
    {"encode_pick", as_method(encode_pick), kFlags, nullptr},
    {"inform", as_method(inform), kFlags, nullptr},
    {"best", as_method(best), kFlags, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const ClassFront selection_shard_front = class_front<State>(
    "orvane_keldra._native._SelectionShard",
    "One range of a distributed selection's samples (private: orvane_keldra.distributed).",
    shard_new, methods);

}  // namespace orvane::py
