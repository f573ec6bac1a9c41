#include "src/common/large_pages.hpp"

#include <cstdint>
#include <sys/mman.h>

namespace orvane::pages {

namespace {

std::size_t rounded(std::size_t bytes) { return (bytes + kLargeBytes - 1) / kLargeBytes * kLargeBytes; }

}  // namespace

void* map(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    const std::size_t size = rounded(bytes);
    // Over-map by one block, then trim both ends to a 2 MiB boundary.
    void* raw = mmap(nullptr, size + kLargeBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kLargeBytes - 1) / kLargeBytes * kLargeBytes;
    const std::size_t head = aligned - start;  // the tail left over is kLargeBytes - head
    if (head > 0) munmap(raw, head);
    if (head < kLargeBytes) munmap(reinterpret_cast<void*>(aligned + size), kLargeBytes - head);
    void* p = reinterpret_cast<void*>(aligned);
    // Advice only: without transparent huge pages, or on systems without the advice (macOS), this
    // is ordinary memory, still aligned.
#ifdef MADV_HUGEPAGE
    madvise(p, size, MADV_HUGEPAGE);
#endif
    return p;
}

void unmap(void* p, std::size_t bytes) {
    if (p != nullptr) munmap(p, rounded(bytes));
}

}  // namespace orvane::pages
