#pragma once
// Entry of the PaCMAP layout pipeline: configuration, error kinds, logging hook and run_pacmap.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::pacmap {

enum class LogLevel { Debug, Info, Warn, Error };

// Receives the pipeline's log events. `enabled` is asked before a message is built, so a
// disabled level costs nothing. `log` may be called from worker threads.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual bool enabled(LogLevel level) const = 0;
    virtual void log(LogLevel level, std::string_view message) = 0;
    // Marks the end of a stage of the pipeline, for tools that measure the stages.
    virtual void stage(std::string_view) {}
};

inline void mark_stage(LogSink* sink, std::string_view name) {
    if (sink) sink->stage(name);
}

enum class ErrorKind {
    SampleSize,
    EmptyMinMax,
    EmptyMean,
    InvalidNeighborCount,
    InvalidFarPointCount,
    IndexFailed,
    NonFinite
};

struct RandomInit {
    std::optional<std::uint64_t> seed;
};

struct PacmapConfig {
    std::size_t embedding_dimensions = 2;
    RandomInit initialization{42};
    float learning_rate = 1.0f;
    std::size_t num_iters[3] = {100, 100, 250};
    float mid_near_ratio = 0.5f;
    float far_pair_ratio = 2.0f;
    std::optional<std::size_t> override_neighbors;
    std::optional<std::uint64_t> seed = 42;
    std::size_t approx_threshold = 8000;
    // From this many points on the far partners are drawn again wherever they are needed
    // instead of held (LayoutPairs::far_draws): the same pairs and layout in less memory.
    std::size_t far_draws_from = std::size_t{1} << 22;
};

// The fixed configuration the TwoDimEmbedding class uses for n samples.
PacmapConfig driver_config(std::size_t n);

// Layout of n x d row-major `x` (not modified): n x embedding_dimensions row-major.
// Throws LayoutFailure (src/layout/errors.hpp) for the pipeline's failures.
std::vector<float> run_pacmap(const float* x, std::size_t n, std::size_t d,
                              const PacmapConfig& config, LogSink* sink);

}  // namespace orvane::pacmap
