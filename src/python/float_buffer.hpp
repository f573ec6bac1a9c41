#pragma once
// Float32/float64 buffers (NumPy arrays, memoryviews) read into owned f32 values without a Python
// object per value: contiguous ones in blocks, strided ones through a small buffer of whole rows.
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "src/python/py.hpp"

namespace orvane::py {

// Rounds to the nearest f32; values beyond its range become infinities (no UB on overflow).
float narrow(double d);
// The interpreter's text for a complex number where a real one is expected.
[[noreturn]] void refuse_complex(const std::string& type);
// Values converted between two checks for a stop.
inline constexpr std::size_t kValuesPerPoll = std::size_t{1} << 20;

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
    FloatBuffer(PyObject* obj, int ndim);
    ~FloatBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    FloatBuffer(const FloatBuffer&) = delete;
    FloatBuffer& operator=(const FloatBuffer&) = delete;

    bool usable() const { return usable_; }
    std::size_t extent(int k) const { return static_cast<std::size_t>(view_.shape[k]); }
    // Row-major values; `watch` learns of non-finite ones, `base` being the first one's index.
    std::vector<float> values(NonFiniteWatch& watch, std::size_t base) const;

private:
    static constexpr std::size_t kChunk = 16384;

    // Blocks of whole rows through a small buffer in cache: a Fortran-ordered or sliced array is
    // read along its shorter stride, and the output is still written in row order.
    template <bool kDouble>
    void gather(std::vector<float>& out, std::size_t count, NonFiniteWatch& watch,
                std::size_t base) const;

    Py_buffer view_{};
    Py_ssize_t stride_[2] = {0, 0};
    bool held_ = false;
    bool usable_ = false;
    bool double_ = false;
    bool contiguous_ = true;
};

}  // namespace orvane::py
