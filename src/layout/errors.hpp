#pragma once
// Stages report a PacmapError by throwing; run_pacmap turns it back into a value.
#include <chrono>
#include <string>

#include "src/layout/pacmap.hpp"

namespace orvane::pacmap {

struct PacmapFailure {
    PacmapError error;
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
