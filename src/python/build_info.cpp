// What this build is and what it picked on this machine, for bug reports; and the warning for an
// ORVANE_SIMD value that could not be taken as given.
#include <string>
#include <string_view>

#include "src/common/blas.hpp"
#include "src/common/simd.hpp"
#include "src/common/worker_pool.hpp"
#include "src/python/binding.hpp"
#include "src/python/classes.hpp"

namespace orvane::py {
namespace {

constexpr const char* kCompiler =
#if defined(__clang__)
    "clang " __clang_version__;
#elif defined(__GNUC__)
    "gcc " __VERSION__;
#else
    "unknown";
#endif

Ref text(std::string_view s) {
    return checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

void set(PyObject* dict, const char* key, Ref value) {
    check(PyDict_SetItemString(dict, key, value.get()) == 0);
}

// _build_info(): the native half of orvane_keldra.build_info().
PyObject* build_info_fn(PyObject*, PyObject*) {
    return guarded("_build_info()", [&]() -> PyObject* {
        Ref info = checked(PyDict_New());
        set(info.get(), "compiler", text(kCompiler));
        set(info.get(), "simd_level", text(simd::name(simd::active())));
        Ref levels = checked(PyList_New(0));
        for (const simd::Level l : simd::available()) {
            Ref name = text(simd::name(l));
            check(PyList_Append(levels.get(), name.get()) == 0);
        }
        set(info.get(), "simd_levels", std::move(levels));
        const blas::Description b = blas::describe();
        set(info.get(), "blas", text(b.library));
        set(info.get(), "blas_core", text(b.core));
        set(info.get(), "workers", checked(PyLong_FromSize_t(pool::worker_count())));
        return info.release();
    });
}

PyMethodDef build_info_methods[] = {
    {"_build_info", as_method(build_info_fn), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_build_info(PyObject* module) {
    check(PyModule_AddFunctions(module, build_info_methods) == 0);
    const std::string& problem = simd::setting_problem();
    if (!problem.empty() && PyErr_WarnEx(PyExc_RuntimeWarning, problem.c_str(), 1) != 0)
        throw ErrorAlreadySet{};
}

}  // namespace orvane::py
