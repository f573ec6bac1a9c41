#pragma once
// The layout's own failures and logging helpers.
#include <chrono>
#include <string>

#include "src/common/failure.hpp"
#include "src/layout/pacmap.hpp"

namespace orvane::pacmap {

// A failure of the layout pipeline (RuntimeError); the message is the kind's display text.
class LayoutFailure : public Failure {
public:
    LayoutFailure(ErrorKind kind, const std::string& message) : Failure(message), kind_(kind) {}
    ErrorKind kind() const { return kind_; }

private:
    ErrorKind kind_;
};

[[noreturn]] void fail_with(ErrorKind kind, const std::string& detail = {});

// Duration with two decimals and the largest unit that is at least 1: s, ms, µs or ns.
std::string format_elapsed(std::chrono::nanoseconds elapsed);

// Logs `message()` at `level` only when the sink wants it; the message is built lazily.
template <class MakeMessage>
void log_event(LogSink* sink, LogLevel level, MakeMessage&& message) {
    if (sink != nullptr && sink->enabled(level)) sink->log(level, message());
}

}  // namespace orvane::pacmap
