// Python objects to owned native values (lists, sequences, float32/float64 buffers), and native
// results to new Python lists.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "src/common/failure.hpp"
#include "src/common/large_pages.hpp"
#include "src/python/binding.hpp"
#include "src/python/float_buffer.hpp"

namespace orvane::py {

void add_note_text(const std::string& note) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value) {
        PyObject* r = PyObject_CallMethod(value, "add_note", "s", note.c_str());
        if (r) {
            Py_DECREF(r);
        } else {
            PyErr_Clear();
        }
    }
    PyErr_Restore(type, value, tb);
}

float narrow(double d) {
    if (std::isfinite(d) && std::fabs(d) > static_cast<double>(FLT_MAX)) {
        // Halfway between FLT_MAX and the next power of two rounds to infinity (ties to even).
        const double half_ulp_above = static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103);
        const float mag = std::fabs(d) >= half_ulp_above ? INFINITY : FLT_MAX;
        return d < 0 ? -mag : mag;
    }
    return static_cast<float>(d);
}

[[noreturn]] void refuse_complex(const std::string& type) {
    raise(PyExc_TypeError, "must be real number, not " + type);
}

namespace {

void add_note(const char* param) { add_note_text(std::string("while processing '") + param + "'"); }

template <class F>
auto with_note(const char* param, F&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const ErrorAlreadySet&) {
        add_note(param);
        throw;
    } catch (const OutOfMemory& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
        add_note(param);
        throw ErrorAlreadySet{};
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "out of memory while converting the argument");
        add_note(param);
        throw ErrorAlreadySet{};
    }
}

float float_value(PyObject* obj) {
    // NumPy's complex128 is a complex that still converts to float, dropping the imaginary part.
    if (!PyFloat_CheckExact(obj) && PyComplex_Check(obj)) refuse_complex(type_name(obj));
    const double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
    return narrow(d);
}

std::uint64_t u64_value(PyObject* obj) {
    Ref index;
    if (!PyLong_Check(obj)) {
        index = checked(PyNumber_Index(obj));
        obj = index.get();
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
    return v;
}

constexpr std::size_t kItemsPerPoll = 1024;

// The list-like protocol: refuse str and non-sequences, reserve from the reported size, then
// convert each item in iteration order.
template <class Reserve, class Item>
void for_each_item(PyObject* obj, Reserve&& reserve, Item&& item) {
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) {
        if (obj == Py_None) raise(PyExc_TypeError, "'None' is not an instance of 'Sequence'");
        raise(PyExc_TypeError, "'" + type_name(obj) + "' object is not an instance of 'Sequence'");
    }
    const Py_ssize_t n = PyObject_Size(obj);
    if (n < 0) {
        PyErr_Clear();
    } else {
        // A reported length is a hint; growth covers anything beyond the cap.
        reserve(std::min<std::size_t>(static_cast<std::size_t>(n), std::size_t{1} << 24));
    }
    // Large inputs take a while to convert: the stop check runs every kItemsPerPoll items.
    std::size_t count = 0;
    auto next = [&](PyObject* it) {
        if (++count % kItemsPerPoll == 0) stop::poll();
        item(it);
    };
    // Exact lists and tuples iterate the same way without an iterator object.
    if (PyList_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyList_Size(obj); ++i) {
            Ref it = Ref::borrow(PyList_GetItem(obj, i));
            next(it.get());
        }
        return;
    }
    if (PyTuple_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyTuple_Size(obj); ++i) next(PyTuple_GetItem(obj, i));
        return;
    }
    Ref iter = checked(PyObject_GetIter(obj));
    for (;;) {
        Ref it(PyIter_Next(iter.get()));
        if (!it) {
            if (PyErr_Occurred()) throw ErrorAlreadySet{};
            return;
        }
        next(it.get());
    }
}

}  // namespace

EmbeddingRows to_rows(PyObject* obj, const char* param,
                      std::optional<std::size_t>* first_non_finite) {
    NonFiniteWatch watch;
    EmbeddingRows out = with_note(param, [&] {
        {
            FloatBuffer buf(obj, 2);
            if (buf.usable())
                return EmbeddingRows::from_matrix(buf.values(watch, 0), buf.extent(0),
                                                  buf.extent(1));
        }
        EmbeddingRows rows;
        std::size_t n_rows = 1;
        for_each_item(
            obj,
            [&](std::size_t n) {
                rows.reserve_rows(n);
                n_rows = std::max<std::size_t>(n, 1);
            },
            [&](PyObject* row) {
                FloatBuffer buf(row, 1);
                if (buf.usable()) {
                    rows.append_row(buf.values(watch, rows.total_values()));
                    return;
                }
                // The first row's length sizes the whole buffer; later rows grow it geometrically.
                const bool first = rows.empty();
                for_each_item(
                    row,
                    [&](std::size_t m) {
                        if (first)
                            rows.reserve_values(
                                std::min<std::size_t>(m * n_rows, std::size_t{1} << 26));
                    },
                    [&](PyObject* v) {
                        const float f = float_value(v);
                        watch.value(f, rows.total_values());
                        rows.push_value(f);
                    });
                rows.end_row();
            });
        return rows;
    });
    if (first_non_finite) *first_non_finite = watch.at();
    return out;
}

std::vector<float> to_floats(PyObject* obj, const char* param) {
    return with_note(param, [&] {
        {
            FloatBuffer buf(obj, 1);
            NonFiniteWatch unused;
            if (buf.usable()) return buf.values(unused, 0);
        }
        std::vector<float> out;
        for_each_item(
            obj, [&](std::size_t n) { out.reserve(n); },
            [&](PyObject* v) { out.push_back(float_value(v)); });
        return out;
    });
}

float to_float(PyObject* obj, const char* param) {
    return with_note(param, [&] { return float_value(obj); });
}

std::optional<float> to_optional_float(PyObject* obj, const char* param) {
    if (!obj || obj == Py_None) return std::nullopt;
    return to_float(obj, param);
}

std::uint64_t to_u64(PyObject* obj, const char* param) {
    return with_note(param, [&] { return u64_value(obj); });
}

std::vector<std::size_t> to_u64_list(PyObject* obj, const char* param) {
    return with_note(param, [&] {
        std::vector<std::size_t> out;
        for_each_item(
            obj, [&](std::size_t n) { out.reserve(n); },
            [&](PyObject* v) { out.push_back(u64_value(v)); });
        return out;
    });
}

IndexRows to_index_rows(PyObject* obj, const char* param) {
    return with_note(param, [&] {
        IndexRows out;
        for_each_item(
            obj, [&](std::size_t n) { out.reserve(n); },
            [&](PyObject* row) {
                std::vector<std::size_t> r;
                for_each_item(
                    row, [&](std::size_t m) { r.reserve(m); },
                    [&](PyObject* v) { r.push_back(u64_value(v)); });
                out.push_back(std::move(r));
            });
        return out;
    });
}

PyObject* float_list(std::span<const float> values) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* f = PyFloat_FromDouble(static_cast<double>(values[i]));
        if (!f) throw ErrorAlreadySet{};
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), f);
    }
    return list.release();
}

PyObject* point_list(std::span<const float> xy) {
    const std::size_t n = xy.size() / 2;
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* t = Py_BuildValue("(dd)", static_cast<double>(xy[2 * i]),
                                    static_cast<double>(xy[2 * i + 1]));
        if (!t) throw ErrorAlreadySet{};
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), t);
    }
    return list.release();
}

PyObject* int_list(std::span<const std::size_t> values) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* v = PyLong_FromUnsignedLongLong(values[i]);
        if (!v) throw ErrorAlreadySet{};
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), v);
    }
    return list.release();
}

}  // namespace orvane::py
