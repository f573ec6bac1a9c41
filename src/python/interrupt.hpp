#pragma once
// The binding's answer to the core's stop check and progress: one CallWatch per call, on the
// calling thread, which holds the interpreter lock for the whole call.
#include <chrono>
#include <cstddef>
#include <string>

#include "src/common/stop.hpp"
#include "src/python/py.hpp"

namespace orvane::py {

// How often calls look at signals and report progress. Fixed in use; the test suite sets them
// through a private function, so that its verdicts never depend on how fast a machine is.
struct WatchTiming {
    // Short enough for a prompt answer to Ctrl-C, long enough that asking costs nothing measurable.
    std::chrono::steady_clock::duration poll = std::chrono::milliseconds(2);
    // Quiet start, then at most one event per interval: short calls say nothing.
    std::chrono::steady_clock::duration first_event = std::chrono::seconds(2);
    std::chrono::steady_clock::duration between_events = std::chrono::seconds(1);
    // When positive, the calling thread raises SIGINT at that consultation of the next call
    // (then counts no more): a Ctrl-C at a known point in the middle of a call.
    long sigint_at = 0;
};
WatchTiming& watch_timing();

// Stops the call when a signal handler raises (KeyboardInterrupt for Ctrl-C); with
// `report_progress`, also logs progress events to the logger "orvane_keldra" at INFO.
class CallWatch final : public stop::Watcher {
public:
    explicit CallWatch(bool report_progress)
        : report_(report_progress), start_(std::chrono::steady_clock::now()) {}
    bool keep_going(const stop::Snapshot* progress, bool final) override;
    std::chrono::steady_clock::duration poll_interval() const override {
        return watch_timing().poll;
    }

private:
    bool report(const stop::Snapshot& progress, bool final);

    enum class Listening { Unknown, Yes, No };
    bool report_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_event_{};
    std::size_t events_ = 0;
    Listening listening_ = Listening::Unknown;
    Ref logger_;
};

// "typicality: 7,400 of 20,000 rows (37%), 12 s elapsed, about 20 s left"
// Elapsed time counts from the call's start; what is left, from the pace since `progress` began.
std::string progress_text(const stop::Snapshot& progress, double elapsed_seconds,
                          double progress_seconds);

}  // namespace orvane::py
