#include "src/python/float_buffer.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <new>
#include <string_view>

#include "src/common/failure.hpp"
#include "src/common/large_pages.hpp"
#include "src/common/stop.hpp"

namespace orvane::py {

FloatBuffer::FloatBuffer(PyObject* obj, int ndim) {
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

template <bool kDouble>
void FloatBuffer::gather(std::vector<float>& out, std::size_t count, NonFiniteWatch& watch,
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
                    chunk[(r - r0) * d + c] = load<kDouble>(col + static_cast<Py_ssize_t>(r) * s0);
            }
        } else {
            for (std::size_t r = r0; r < r1; ++r) {
                const unsigned char* row = src + static_cast<Py_ssize_t>(r) * s0;
                for (std::size_t c = 0; c < d; ++c)
                    chunk[(r - r0) * d + c] = load<kDouble>(row + static_cast<Py_ssize_t>(c) * s1);
            }
        }
        watch.block(chunk.data(), m, base + out.size());
        out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(m));
    }
}

std::vector<float> FloatBuffer::values(NonFiniteWatch& watch, std::size_t base) const {
    std::size_t count = 1;
    for (int k = 0; k < view_.ndim; ++k) count *= extent(k);
    std::vector<float> out;
    try {
        out.reserve(count);
    } catch (const std::bad_alloc&) {
        throw OutOfMemory("out of memory for the " + std::to_string(count) + " float32 values (" +
                          std::to_string(count * sizeof(float) >> 20) + " MiB) of the argument");
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

}  // namespace orvane::py
