#pragma once
// The generic pieces every class front uses: argument binding from a parameter table
// (arguments.cpp), conversions to owned native values and result lists (conversion.cpp), the
// instance hold (hold.cpp) and the boundary guard with its error mapping (errors.cpp).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "src/common/embedding.hpp"
#include "src/common/stop.hpp"
#include "src/python/interrupt.hpp"
#include "src/python/py.hpp"

namespace orvane::py {

struct Param {
    const char* name;
    bool required;
};

// Fills out[i] with a borrowed reference per parameter (nullptr when an optional one is absent).
// `callable` is e.g. "Similarity.calculate_similarity()". Raises TypeError on failure.
void bind_arguments(const char* callable, std::span<const Param> params, PyObject* args,
                    PyObject* kwargs, PyObject** out);

// Conversions; each adds the note "while processing '<param>'" to any exception it raises.
// `first_non_finite`, when given, receives the flat index of the first value that is not finite.
EmbeddingRows to_rows(PyObject* obj, const char* param,
                      std::optional<std::size_t>* first_non_finite = nullptr);
std::vector<float> to_floats(PyObject* obj, const char* param);
float to_float(PyObject* obj, const char* param);
std::optional<float> to_optional_float(PyObject* obj, const char* param);
std::uint64_t to_u64(PyObject* obj, const char* param);
std::vector<std::size_t> to_u64_list(PyObject* obj, const char* param);
IndexRows to_index_rows(PyObject* obj, const char* param);

// Results: new lists.
PyObject* float_list(std::span<const float> values);
PyObject* point_list(std::span<const float> xy);  // pairs, row-major
PyObject* int_list(std::span<const std::size_t> values);

// Adds `note` to the Python exception in flight (skipped where add_note is missing).
void add_note_text(const std::string& note);

// Maps the exception in flight (or a C++ one) to Python; returns nullptr for convenience.
PyObject* raise_current(const char* where);

// Runs one call of the module: stoppable by signals throughout, failures mapped to Python.
// Calls that `report_progress` log progress events once they have run a while.
template <class F>
PyObject* guarded(const char* where, F&& body, bool report_progress = false) {
    try {
        CallWatch watch(report_progress);
        stop::Scope scope(watch);
        return body();
    } catch (...) {
        return raise_current(where);
    }
}

// Binds a call's arguments by its parameter table, then runs `body(a)` guarded; failures are
// reported as those of `where` (the class method a private kernel checks for, say).
template <std::size_t N, class F>
PyObject* bound_call_as(const char* where, const char* callable, const Param (&params)[N],
                        PyObject* args, PyObject* kwargs, F&& body, bool report_progress = false) {
    return guarded(
        where,
        [&]() -> PyObject* {
            PyObject* a[N];
            bind_arguments(callable, params, args, kwargs, a);
            return body(a);
        },
        report_progress);
}

template <std::size_t N, class F>
PyObject* bound_call(const char* callable, const Param (&params)[N], PyObject* args,
                     PyObject* kwargs, F&& body, bool report_progress = false) {
    return bound_call_as(callable, callable, params, args, kwargs, std::forward<F>(body),
                         report_progress);
}

// Registers how PanicException pickles (private functions on `module`, a copyreg entry).
void add_panic_pickling(PyObject* module);

// Runtime-checked shared/exclusive hold on an instance (0 free, >0 shared count, -1 exclusive).
class Hold {
public:
    enum class Kind { Shared, Exclusive };
    Hold(std::atomic<int>& flag, Kind kind);
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    std::atomic<int>& flag_;
    Kind kind_;
};

// Instance layout shared by the four classes: header, hold flag, owned state.
template <class State>
struct Instance {
    PyObject_HEAD std::atomic<int> borrow;
    State* state;
};

template <class State>
Instance<State>* instance_of(PyObject* self) {
    return reinterpret_cast<Instance<State>*>(self);
}

// Allocates an instance of `type` owning `state`.
template <class State>
PyObject* make_instance(PyTypeObject* type, State* state) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) {
        delete state;
        return nullptr;
    }
    auto* inst = instance_of<State>(self);
    new (&inst->borrow) std::atomic<int>(0);
    inst->state = state;
    return self;
}

template <class State>
void dealloc_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete instance_of<State>(self)->state;
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

}  // namespace orvane::py
