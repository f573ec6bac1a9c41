// The runtime-checked shared/exclusive hold on an instance.
#include "src/python/binding.hpp"

namespace orvane::py {

Hold::Hold(std::atomic<int>& flag, Kind kind) : flag_(flag), kind_(kind) {
    if (kind == Kind::Exclusive) {
        int expected = 0;
        if (!flag_.compare_exchange_strong(expected, -1))
            raise(PyExc_RuntimeError, "Already borrowed");
        return;
    }
    int current = flag_.load();
    do {
        if (current < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
    } while (!flag_.compare_exchange_weak(current, current + 1));
}

Hold::~Hold() {
    if (kind_ == Kind::Exclusive) {
        flag_.store(0);
    } else {
        flag_.fetch_sub(1);
    }
}

}  // namespace orvane::py
