#pragma once
// The binding's answer to the core's stop check and progress: one CallWatch per call, on the
// calling thread, which holds the interpreter lock for the whole call.
#include <chrono>
#include <cstddef>
#include <string>

#include "src/common/stop.hpp"
#include "src/python/py.hpp"

namespace orvane::py {

// Stops the call when a signal handler raises (KeyboardInterrupt for Ctrl-C); with
// `report_progress`, also logs progress events to the logger "orvane_keldra" at INFO.
class CallWatch final : public stop::Watcher {
public:
    explicit CallWatch(bool report_progress)
        : report_(report_progress), start_(std::chrono::steady_clock::now()) {}
    bool keep_going(const stop::Snapshot* progress, bool final) override;

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
std::string progress_text(const stop::Snapshot& progress, double elapsed_seconds);

}  // namespace orvane::py
