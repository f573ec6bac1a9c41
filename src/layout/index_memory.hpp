#pragma once
// Allocators handed to the HNSW graph. The graph is read at random during every addition and
// search; keeping its node tape and its slot table in large pages removes most page walks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "src/common/large_pages.hpp"

namespace orvane::pacmap {

// Aligned memory; tables of 256 KiB or more (the slot-to-node table) go to large pages.
template <typename T>
class LargePageAllocator {
public:
    using value_type = T;
    using size_type = std::size_t;
    using pointer = T*;
    using const_pointer = const T*;
    template <typename U>
    struct rebind {
        using other = LargePageAllocator<U>;
    };

    LargePageAllocator() = default;
    template <typename U>
    LargePageAllocator(const LargePageAllocator<U>&) {}

    T* allocate(std::size_t count) const {
        if (count > (SIZE_MAX - 63) / sizeof(T)) return nullptr;  // bytes rounded up to 64 must fit
        const std::size_t bytes = count * sizeof(T);
        if (bytes >= kTableBytes) return static_cast<T*>(pages::map(bytes));
        return static_cast<T*>(std::aligned_alloc(64, (bytes + 63) / 64 * 64));
    }
    void deallocate(T* p, std::size_t count) const {
        const std::size_t bytes = count * sizeof(T);
        if (bytes >= kTableBytes)
            pages::unmap(p, bytes);
        else
            std::free(p);
    }
    template <typename U>
    bool operator==(const LargePageAllocator<U>&) const {
        return true;
    }

private:
    static constexpr std::size_t kTableBytes = std::size_t{256} << 10;
};

// Bump allocation of graph nodes from large-page blocks. Nodes are never freed one by one while
// the index lives, so freeing is a no-op and the blocks go with the allocator.
class NodeTape {
public:
    using value_type = char;
    using size_type = std::size_t;
    using pointer = char*;
    using const_pointer = const char*;

    NodeTape() : state_(std::make_unique<State>()) {}
    NodeTape(NodeTape&&) noexcept = default;
    NodeTape& operator=(NodeTape&&) noexcept = default;
    // The graph copies its allocator only when it is copied, which this code never does.
    NodeTape(const NodeTape&) : NodeTape() {}
    NodeTape& operator=(const NodeTape&) {
        state_ = std::make_unique<State>();
        return *this;
    }

    char* allocate(std::size_t bytes) {
        const std::size_t size = (bytes + 63) / 64 * 64;
        State& s = *state_;
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.left < size) {
            const std::size_t block = size > kBlockBytes ? size : kBlockBytes;
            try {
                s.blocks.emplace_back(block);
            } catch (const std::bad_alloc&) {
                return nullptr;
            }
            if (!s.blocks.back()) {
                s.blocks.pop_back();
                return nullptr;
            }
            s.next = static_cast<char*>(s.blocks.back().data());
            s.left = block;
        }
        char* p = s.next;
        s.next += size;
        s.left -= size;
        return p;
    }
    void deallocate(char*, std::size_t) noexcept {}

private:
    static constexpr std::size_t kBlockBytes = std::size_t{32} << 20;
    struct State {
        std::mutex mutex;
        std::vector<pages::Block> blocks;
        char* next = nullptr;
        std::size_t left = 0;
    };
    std::unique_ptr<State> state_;
};

}  // namespace orvane::pacmap
