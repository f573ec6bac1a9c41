#pragma once
// Large zero-filled arrays. On first touch every 4 KiB page costs a fault, and gigabytes of them
// take seconds on one thread: asked for in huge pages where the system has them, and filled a
// stretch at a time with a stop check between stretches, so Ctrl-C stays prompt.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "src/common/large_pages.hpp"
#include "src/common/stop.hpp"

namespace orvane {

// v holds `count` zeros afterwards. Its old memory goes first, so that the two never add up.
template <class T>
void assign_zeros(std::vector<T>& v, std::size_t count) {
    constexpr std::size_t kStretch = (std::size_t{32} << 20) / sizeof(T);
    if (count <= kStretch || count <= v.capacity()) {
        v.assign(count, T{});
        return;
    }
    std::vector<T>().swap(v);
    v.reserve(count);
    pages::advise_huge(v.data(), count * sizeof(T));
    for (std::size_t size = 0; size < count;) {
        stop::poll();
        size = std::min(count, size + kStretch);
        v.resize(size);
    }
}

}  // namespace orvane
