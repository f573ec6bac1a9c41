// Private functions for the test suite: the timing of stop checks and progress events, so that
// tests trigger both at known points instead of waiting for a clock.
#include <chrono>

#include "src/python/binding.hpp"
#include "src/python/classes.hpp"
#include "src/python/interrupt.hpp"

namespace orvane::py {
namespace {

std::chrono::steady_clock::duration seconds(double s) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(s));
}

double in_seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// _set_watch_timing(poll, first_event, between_events, sigint_at): seconds, seconds, seconds and
// a consultation count (0: none). Returns the previous four.
PyObject* set_watch_timing(PyObject*, PyObject* args) {
    double poll = 0, first = 0, between = 0;
    long sigint_at = 0;
    if (!PyArg_ParseTuple(args, "dddl", &poll, &first, &between, &sigint_at)) return nullptr;
    if (!(poll >= 0 && first >= 0 && between >= 0 && poll < 3600 && first < 3600 &&
          between < 3600 && sigint_at >= 0)) {
        PyErr_SetString(PyExc_ValueError, "timings must lie in [0, 3600) s and the count be >= 0");
        return nullptr;
    }
    const WatchTiming before = watch_timing();
    watch_timing() = {seconds(poll), seconds(first), seconds(between), sigint_at};
    return Py_BuildValue("(dddl)", in_seconds(before.poll), in_seconds(before.first_event),
                         in_seconds(before.between_events), before.sigint_at);
}

PyMethodDef hook_methods[] = {
    {"_set_watch_timing", as_method(set_watch_timing), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_test_hooks(PyObject* module) { check(PyModule_AddFunctions(module, hook_methods) == 0); }

}  // namespace orvane::py
