#include "src/common/large_pages.hpp"

#include <cstdint>
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace orvane::pages {

namespace {

std::size_t rounded(std::size_t bytes) {
    return (bytes + kLargeBytes - 1) / kLargeBytes * kLargeBytes;
}

std::uintptr_t aligned_up(std::uintptr_t address) {
    return (address + kLargeBytes - 1) / kLargeBytes * kLargeBytes;
}

}  // namespace

#if defined(_WIN32)
// Large pages on Windows need the "lock pages in memory" privilege, which ordinary accounts lack,
// and are committed up front; we take normal pages. A reservation is released only as a whole, so
// the aligned block is committed inside a reservation one block larger, found again on release.
void* map(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    const std::size_t size = rounded(bytes);
    void* raw = VirtualAlloc(nullptr, size + kLargeBytes, MEM_RESERVE, PAGE_NOACCESS);
    if (raw == nullptr) return nullptr;
    void* p = reinterpret_cast<void*>(aligned_up(reinterpret_cast<std::uintptr_t>(raw)));
    if (VirtualAlloc(p, size, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
        VirtualFree(raw, 0, MEM_RELEASE);
        return nullptr;
    }
    return p;
}

void advise_huge(void*, std::size_t) {}

void unmap(void* p, std::size_t) {
    MEMORY_BASIC_INFORMATION info;
    if (p != nullptr && VirtualQuery(p, &info, sizeof info) == sizeof info)
        VirtualFree(info.AllocationBase, 0, MEM_RELEASE);
}
#else
void* map(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    const std::size_t size = rounded(bytes);
    // Over-map by one block, then trim both ends to a 2 MiB boundary.
    void* raw = mmap(nullptr, size + kLargeBytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = aligned_up(start);
    const std::size_t head = aligned - start;  // the tail left over is kLargeBytes - head
    if (head > 0) munmap(raw, head);
    if (head < kLargeBytes) munmap(reinterpret_cast<void*>(aligned + size), kLargeBytes - head);
    void* p = reinterpret_cast<void*>(aligned);
    advise_huge(p, size);
    return p;
}

void advise_huge([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    const auto begin =
        (reinterpret_cast<std::uintptr_t>(data) + kLargeBytes - 1) & ~(kLargeBytes - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kLargeBytes - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

void unmap(void* p, std::size_t bytes) {
    if (p != nullptr) munmap(p, rounded(bytes));
}
#endif

}  // namespace orvane::pages
