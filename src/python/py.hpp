#pragma once
// CPython through the stable ABI only (3.11 and newer).
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace orvane::py {

// Owns one strong reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* p) : p_(p) {}  // steals
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Thrown when a Python exception is already set and the call must unwind to the boundary.
struct ErrorAlreadySet {};

inline void check(bool ok) {
    if (!ok) throw ErrorAlreadySet{};
}
inline Ref checked(PyObject* p) {
    if (!p) throw ErrorAlreadySet{};
    return Ref(p);
}

[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw ErrorAlreadySet{};
}

inline std::string_view utf8(PyObject* str) {
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(str, &len);
    if (!s) throw ErrorAlreadySet{};
    return {s, static_cast<std::size_t>(len)};
}

inline std::string type_name(PyObject* obj) {
    Ref name = checked(PyType_GetName(Py_TYPE(obj)));
    return std::string(utf8(name.get()));
}

}  // namespace orvane::py
