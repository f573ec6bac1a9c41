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

// Rounds to the nearest f32; values beyond its range become infinities (no UB on overflow).
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
constexpr std::size_t kValuesPerPoll = std::size_t{1} << 20;

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

// Records the flat index of the first value that is not finite; a block costs one branch-free
// pass while it is still in cache.
class NonFiniteWatch {
public:
    void block(const float* v, std::size_t n, std::size_t base) {
        if (at_) return;
        int bad = 0;
        for (std::size_t i = 0; i < n; ++i) bad |= !(std::fabs(v[i]) <= FLT_MAX);
        if (!bad) return;
        for (std::size_t i = 0; i < n; ++i) {
            if (!std::isfinite(v[i])) {
                at_ = base + i;
                return;
            }
        }
    }
    void value(float v, std::size_t index) {
        if (!at_ && !(std::fabs(v) <= FLT_MAX)) at_ = index;
    }
    std::optional<std::size_t> at() const { return at_; }

private:
    std::optional<std::size_t> at_;
};

template <bool kDouble>
float load(const unsigned char* p) {
    // Strided and offset views need not be aligned.
    if constexpr (kDouble) {
        double v;
        std::memcpy(&v, p, sizeof v);
        return narrow(v);
    } else {
        float v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
}

// A float32/float64 buffer of the given rank, any strides, read without a Python object per value.
class FloatBuffer {
public:
    FloatBuffer(PyObject* obj, int ndim) {
        if (PyUnicode_Check(obj) || PyList_Check(obj) || PyTuple_Check(obj)) return;
        if (!PySequence_Check(obj)) return;
        if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) {
            PyErr_Clear();
            return;
        }
        held_ = true;
        if (!view_.format) return;
        std::string_view f(view_.format);
        if (!f.empty() && (f[0] == '<' || f[0] == '=' || f[0] == '@')) f.remove_prefix(1);
        // Iterating a complex array yields scalars that convert to float silently; a list of
        // complex numbers is refused, and so is the array.
        if (!f.empty() && f[0] == 'Z') {
            PyBuffer_Release(&view_);
            held_ = false;
            refuse_complex("complex");
        }
        if (view_.ndim != ndim) return;
        if (f == "f" && view_.itemsize == 4) {
            double_ = false;
        } else if (f == "d" && view_.itemsize == 8) {
            double_ = true;
        } else {
            return;
        }
        Py_ssize_t expect = view_.itemsize;
        for (int k = ndim - 1; k >= 0; --k) {
            stride_[k] = view_.strides ? view_.strides[k] : expect;
            if (view_.shape[k] > 1 && stride_[k] != expect) contiguous_ = false;
            expect *= view_.shape[k];
        }
        usable_ = true;
    }
    ~FloatBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    FloatBuffer(const FloatBuffer&) = delete;
    FloatBuffer& operator=(const FloatBuffer&) = delete;

    bool usable() const { return usable_; }
    std::size_t extent(int k) const { return static_cast<std::size_t>(view_.shape[k]); }
    // Row-major values; `watch` learns of non-finite ones, `base` being the first one's index.
    std::vector<float> values(NonFiniteWatch& watch, std::size_t base) const {
        std::size_t count = 1;
        for (int k = 0; k < view_.ndim; ++k) count *= extent(k);
        std::vector<float> out;
        try {
            out.reserve(count);
        } catch (const std::bad_alloc&) {
            throw OutOfMemory("out of memory for the " + std::to_string(count) +
                              " float32 values (" + std::to_string(count * sizeof(float) >> 20) +
                              " MiB) of the argument");
        }
        // Large fresh buffers are mapped on first touch, and 4 KiB faults cost several times the
        // copy itself.
        const std::size_t bytes = count * sizeof(float);
        if (bytes >= 2 * pages::kLargeBytes) pages::advise_huge(out.data(), bytes);
        if (contiguous_ && !double_) {
            const float* src = static_cast<const float*>(view_.buf);
            for (std::size_t done = 0; done < count;) {
                if (done % kValuesPerPoll == 0) stop::poll();
                const std::size_t m = std::min(kChunk, count - done);
                out.insert(out.end(), src + done, src + done + m);
                watch.block(out.data() + done, m, base + done);
                done += m;
            }
            return out;
        }
        if (double_) {
            gather<true>(out, count, watch, base);
        } else {
            gather<false>(out, count, watch, base);
        }
        return out;
    }

private:
    static constexpr std::size_t kChunk = 16384;

    // Blocks of whole rows through a small buffer in cache: a Fortran-ordered or sliced array is
    // read along its shorter stride, and the output is still written in row order.
    template <bool kDouble>
    void gather(std::vector<float>& out, std::size_t count, NonFiniteWatch& watch,
                std::size_t base) const {
        const auto* src = static_cast<const unsigned char*>(view_.buf);
        const bool matrix = view_.ndim == 2;
        const std::size_t n = extent(0), d = matrix ? extent(1) : 1;
        const Py_ssize_t s0 = stride_[0], s1 = matrix ? stride_[1] : 0;
        const std::size_t rows_per_chunk =
            std::max<std::size_t>(16, kChunk / std::max<std::size_t>(d, 1));
        std::vector<float> chunk(std::min(count, rows_per_chunk * d));
        const bool columns_first = matrix && std::abs(s0) < std::abs(s1);
        std::size_t since_poll = 0;
        for (std::size_t r0 = 0; r0 < n; r0 += rows_per_chunk) {
            const std::size_t r1 = std::min(n, r0 + rows_per_chunk), m = (r1 - r0) * d;
            if (since_poll >= kValuesPerPoll || r0 == 0) {
                stop::poll();
                since_poll = 0;
            }
            since_poll += m;
            if (columns_first) {
                for (std::size_t c = 0; c < d; ++c) {
                    const unsigned char* col = src + static_cast<Py_ssize_t>(c) * s1;
                    for (std::size_t r = r0; r < r1; ++r)
                        chunk[(r - r0) * d + c] =
                            load<kDouble>(col + static_cast<Py_ssize_t>(r) * s0);
                }
            } else {
                for (std::size_t r = r0; r < r1; ++r) {
                    const unsigned char* row = src + static_cast<Py_ssize_t>(r) * s0;
                    for (std::size_t c = 0; c < d; ++c)
                        chunk[(r - r0) * d + c] =
                            load<kDouble>(row + static_cast<Py_ssize_t>(c) * s1);
                }
            }
            watch.block(chunk.data(), m, base + out.size());
            out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(m));
        }
    }

    Py_buffer view_{};
    Py_ssize_t stride_[2] = {0, 0};
    bool held_ = false;
    bool usable_ = false;
    bool double_ = false;
    bool contiguous_ = true;
};

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
