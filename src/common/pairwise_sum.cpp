#include "src/common/pairwise_sum.hpp"

#include <vector>

#include "src/common/worker_pool.hpp"

namespace orvane {
namespace {

float leaf_sum(const float* v, std::size_t n) {
    float lane[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        for (std::size_t l = 0; l < 8; ++l) lane[l] += v[i + l];
    }
    for (std::size_t l = 0; i < n; ++i, ++l) lane[l] += v[i];
    return ((lane[0] + lane[1]) + (lane[2] + lane[3])) +
           ((lane[4] + lane[5]) + (lane[6] + lane[7]));
}

// Split point: half the leaves, rounded up, so every shape is a function of n only.
std::size_t split(std::size_t n) {
    const std::size_t leaves = (n + kPairwiseLeaf - 1) / kPairwiseLeaf;
    return (leaves + 1) / 2 * kPairwiseLeaf;
}

float tree_sum(const float* v, std::size_t n) {
    if (n <= kPairwiseLeaf) return leaf_sum(v, n);
    const std::size_t h = split(n);
    return tree_sum(v, h) + tree_sum(v + h, n - h);
}

// Subtrees at or below this size are summed by one task; above it the two halves of each node
// are computed as separate tasks. The tree is the same either way.
constexpr std::size_t kTaskValues = std::size_t{1} << 18;

void collect(const float* v, std::size_t n,
             std::vector<std::pair<const float*, std::size_t>>& out) {
    if (n <= kTaskValues) {
        out.emplace_back(v, n);
        return;
    }
    const std::size_t h = split(n);
    collect(v, h, out);
    collect(v + h, n - h, out);
}

// Rebuilds the upper tree from the task sums in the order collect() produced them.
float combine(std::size_t n, const float*& sums) {
    if (n <= kTaskValues) return *sums++;
    const std::size_t h = split(n);
    const float left = combine(h, sums);
    const float right = combine(n - h, sums);
    return left + right;
}

}  // namespace

float pairwise_sum(std::span<const float> values) {
    const std::size_t n = values.size();
    if (n <= kTaskValues) return tree_sum(values.data(), n);
    std::vector<std::pair<const float*, std::size_t>> parts;
    collect(values.data(), n, parts);
    std::vector<float> sums(parts.size());
    pool::run_tasks(parts.size(), [&](std::size_t t, std::size_t) {
        sums[t] = tree_sum(parts[t].first, parts[t].second);
    });
    const float* cursor = sums.data();
    return combine(n, cursor);
}

}  // namespace orvane
