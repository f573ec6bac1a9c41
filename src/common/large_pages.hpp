#pragma once
// Memory for large structures that are read at random (graph nodes, vector rows): mapped in
// 2 MiB-aligned blocks the kernel may back with huge pages, so a random read costs one cache miss
// rather than a cache miss and a page walk.
#include <cstddef>
#include <utility>

namespace orvane::pages {

// The huge-page size; mappings are rounded up to it.
inline constexpr std::size_t kLargeBytes = std::size_t{2} << 20;

// Asks for huge pages on the 2 MiB-aligned interior of [data, data + bytes). Advice only: without
// transparent huge pages, or on systems without the advice (macOS, Windows), nothing changes.
void advise_huge(void* data, std::size_t bytes);

// Zero-filled; nullptr when the system refuses.
void* map(std::size_t bytes);
void unmap(void* p, std::size_t bytes);

class Block {
public:
    Block() = default;
    explicit Block(std::size_t bytes) : data_(map(bytes)), bytes_(data_ ? bytes : 0) {}
    Block(Block&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
    Block& operator=(Block&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(bytes_, other.bytes_);
        return *this;
    }
    ~Block() { unmap(data_, bytes_); }
    void* data() const { return data_; }
    std::size_t size() const { return bytes_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    void* data_ = nullptr;
    std::size_t bytes_ = 0;
};

}  // namespace orvane::pages
