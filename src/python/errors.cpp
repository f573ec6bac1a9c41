// The boundary guard's mapping of C++ exceptions to Python ones, and PanicException.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>

#include "src/common/failure.hpp"
#include "src/common/stop.hpp"
#include "src/layout/errors.hpp"
#include "src/python/binding.hpp"
#include "src/python/input_rules.hpp"

namespace orvane::py {

namespace {

PyObject* panic_type() {
    static PyObject* type = nullptr;  // one per process, never released
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "orvane_keldra.PanicException",
            "The exception raised when the native code called from Python fails on an internal "
            "error.\n\nLike SystemExit, this exception is derived from BaseException so that it "
            "will typically propagate all the way through the stack and cause the Python "
            "interpreter to exit.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_panic(const char* where, const std::string& message) {
    std::fprintf(stderr, "orvane_keldra: internal failure in %s: %s\n", where, message.c_str());
    std::fflush(stderr);
    PyObject* type = panic_type();
    if (!type) return;  // creating the class failed; that error stays set
    PyObject* text =
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (!text) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

// The class is no attribute of any module, so pickle cannot find it by name: copyreg hands pickle
// a reducer that rebuilds it through a private function of the extension instead. Without this,
// a worker's internal failure reached ProcessPoolExecutor's caller as a PicklingError.
PyObject* rebuild_panic(PyObject*, PyObject* args) {
    PyObject* type = panic_type();
    return type ? PyObject_Call(type, args, nullptr) : nullptr;
}

PyObject* reduce_panic(PyObject* module, PyObject* exc) {
    Ref rebuild(PyObject_GetAttrString(module, "_rebuild_panic"));
    Ref args(PyObject_GetAttrString(exc, "args"));
    Ref state(PyObject_GetAttrString(exc, "__dict__"));  // notes live there
    if (!rebuild || !args || !state) return nullptr;
    return PyTuple_Pack(3, rebuild.get(), args.get(), state.get());
}

PyMethodDef panic_methods[] = {
    {"_rebuild_panic", rebuild_panic, METH_VARARGS, nullptr},
    {"_reduce_panic", reduce_panic, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Where the failed allocation is not known more closely, at least the call that needed it is.
void raise_no_memory(const char* where) {
    const std::string text = std::string("out of memory in ") + where +
                             ": a buffer of its working memory could not be allocated";
    PyErr_SetString(PyExc_MemoryError, text.c_str());
}

}  // namespace

PyObject* raise_current(const char* where) {
    // The one table from the core's failures (and the binding's own) to Python exceptions.
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) raise_panic(where, "native code failed without an error message");
    } catch (const Stopped&) {
        // The stop check fired because a Python exception is pending: that exception is raised.
        if (!PyErr_Occurred()) raise_panic(where, "the computation stopped without a reason");
    } catch (const InvalidArgument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const pacmap::LayoutFailure& e) {
        const std::string text =
            std::string("Error during 2D embedding calculation: PaCMap error: ") + e.what();
        PyErr_SetString(PyExc_RuntimeError, text.c_str());
    } catch (const NotedFailure& e) {
        raise_panic(where, e.what());
        add_note_text(e.note());
    } catch (const InternalFailure& e) {
        raise_panic(where, e.what());
    } catch (const OutOfMemory& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
        raise_no_memory(where);
    } catch (const std::length_error&) {
        raise_no_memory(where);
    } catch (const std::exception& e) {
        raise_panic(where, e.what());
    } catch (...) {
        raise_panic(where, "native code failed without an error message");
    }
    return nullptr;
}

void add_panic_pickling(PyObject* module) {
    check(PyModule_AddFunctions(module, panic_methods) == 0);
    PyObject* type = panic_type();
    check(type != nullptr);
    Ref copyreg = checked(PyImport_ImportModule("copyreg"));
    Ref reducer = checked(PyObject_GetAttrString(module, "_reduce_panic"));
    checked(PyObject_CallMethod(copyreg.get(), "pickle", "OO", type, reducer.get()));
}

}  // namespace orvane::py
