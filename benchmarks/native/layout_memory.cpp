// The peak resident memory of each stage of a whole layout, as TwoDimEmbedding runs it: the
// input rows (the caller's array), the object's copy of them, then the pipeline. The kernel's
// peak counter (VmHWM) is read at the end of every stage and reset for the next (Linux only).
//
//   layout_memory <raw f32 file> <n> <d> [k]
//
// With k, the optimiser runs 1/k of each phase's iterations (at least one each): the peak and the
// stages before it are the whole layout's, the optimiser's time a sample of it.
//
// The run is watched as a call from Python is, and the end reports, for each declared progress,
// the longest wait between two stop checks of the calling thread: how long a Ctrl-C could wait.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "src/common/stop.hpp"
#include "src/layout/pacmap.hpp"

namespace {

std::string last_stage = "start";  // the stage reported last, where no progress is declared

// A field of /proc/self/status, in KiB.
long status_kib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.compare(0, key.size(), key) == 0)
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
    return -1;
}

void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

class StageSink final : public orvane::pacmap::LogSink {
public:
    explicit StageSink(std::size_t n) : n_(n), last_(std::chrono::steady_clock::now()) {}
    bool enabled(orvane::pacmap::LogLevel) const override { return false; }
    void log(orvane::pacmap::LogLevel, std::string_view) override {}
    void stage(std::string_view name) override { report(name); }

    void report(std::string_view name) {
        const auto now = std::chrono::steady_clock::now();
        const long peak = status_kib("VmHWM"), now_kib = status_kib("VmRSS");
        std::printf(
            "| %-24.*s | %8.1f | %10.0f | %10.0f | %8.0f |\n", static_cast<int>(name.size()),
            name.data(), std::chrono::duration<double>(now - last_).count(), peak / 1024.0,
            peak * 1024.0 / static_cast<double>(n_), now_kib * 1024.0 / static_cast<double>(n_));
        std::fflush(stdout);
        last_ = now;
        last_stage = name;
        reset_peak();
    }

private:
    std::size_t n_;
    std::chrono::steady_clock::time_point last_;
};

// The longest gap between consultations, charged to the progress current at the later one
// ("none" where no progress is declared).
class GapWatcher final : public orvane::stop::Watcher {
public:
    bool keep_going(const orvane::stop::Snapshot* progress, bool) override {
        const auto now = std::chrono::steady_clock::now();
        const std::string here = where(progress);
        Gaps& g = gaps_[progress ? progress->what : "none"];
        const double gap = std::chrono::duration<double>(now - last_).count();
        if (gap > g.longest) g = {g.checks, g.seconds, gap, last_where_ + " -> " + here};
        g.seconds += gap;
        ++g.checks;
        last_ = now;
        last_where_ = here;
        return true;
    }

    void print() const {
        std::printf(
            "\n| progress | stop checks | seconds | longest wait (s) | between |\n"
            "|---|---:|---:|---:|---|\n");
        for (const auto& [what, g] : gaps_)
            std::printf("| %s | %zu | %.1f | %.3f | %s |\n", what.c_str(), g.checks, g.seconds,
                        g.longest, g.between.c_str());
    }

private:
    struct Gaps {
        std::size_t checks = 0;
        double seconds = 0.0, longest = 0.0;
        std::string between;
    };

    static std::string where(const orvane::stop::Snapshot* p) {
        if (!p) return "none after " + last_stage;
        return std::string(p->what) + " " + std::to_string(p->done) + "/" +
               std::to_string(p->total);
    }
    std::map<std::string, Gaps> gaps_;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
    std::string last_where_ = "start";
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s <raw f32 file> <n> <d> [k]\n", argv[0]);
        return 2;
    }
    orvane::pacmap::PacmapConfig config =
        orvane::pacmap::driver_config(std::strtoull(argv[2], nullptr, 10));
    if (argc == 5) {
        const std::size_t k = std::max<std::size_t>(1, std::strtoull(argv[4], nullptr, 10));
        for (std::size_t& phase : config.num_iters) phase = std::max<std::size_t>(1, phase / k);
    }
    const std::size_t n = std::strtoull(argv[2], nullptr, 10),
                      d = std::strtoull(argv[3], nullptr, 10);
    std::printf("| stage                    | time (s) | peak (MB)  | peak B/pt  | held B/pt |\n");
    std::printf("|---|---:|---:|---:|---:|\n");
    StageSink sink(n);
    reset_peak();
    sink.report("start");
    std::vector<float> input(n * d);
    std::ifstream in(argv[1], std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(input.data()),
                 static_cast<std::streamsize>(input.size() * 4))) {
        std::fprintf(stderr, "could not read %zu x %zu floats\n", n, d);
        return 2;
    }
    sink.report("input rows");
    const std::vector<float> held(input);
    sink.report("object's copy");
    GapWatcher watcher;
    std::vector<float> y;
    {
        const orvane::stop::Scope watched(watcher);
        y = orvane::pacmap::run_pacmap(held.data(), n, d, config, &sink);
        watcher.keep_going(nullptr, true);
    }
    std::printf("layout of %zu points, first (%g, %g)\n", y.size() / 2, y[0], y[1]);
    watcher.print();
    return 0;
}
