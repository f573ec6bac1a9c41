#include "src/common/stop.hpp"

#include "src/common/failure.hpp"

namespace orvane::stop {

using Clock = std::chrono::steady_clock;

namespace {

thread_local Call* t_call = nullptr;
thread_local bool t_owner = false;  // this thread installed t_call and may consult its watcher

[[noreturn]] void stop_now(Call& call) {
    call.stopped.store(true, std::memory_order_relaxed);
    throw Stopped();
}

void consult(Call& call, bool final) {
    const auto now = Clock::now();
    if (!final && now < call.next_poll) return;
    call.next_poll = now + call.watcher->poll_interval();
    Snapshot s{};
    const Snapshot* progress = nullptr;
    if (call.progress) {
        s = call.progress->snapshot();
        progress = &s;
    }
    bool go = false;
    try {
        go = call.watcher->keep_going(progress, final);
    } catch (...) {
        call.stopped.store(true, std::memory_order_relaxed);
        throw;
    }
    if (!go) stop_now(call);
}

}  // namespace

Scope::Scope(Watcher& watcher) : call_{&watcher}, outer_(t_call), outer_owned_(t_owner) {
    t_call = &call_;
    t_owner = true;
}

Scope::~Scope() {
    t_call = outer_;
    t_owner = outer_owned_;
}

void poll() {
    Call* call = t_call;
    if (call == nullptr) return;
    if (call->stopped.load(std::memory_order_relaxed)) throw Stopped();
    if (t_owner) consult(*call, false);
}

Call* current() { return t_call; }

Adopt::Adopt(Call* call) : outer_(t_call), outer_owned_(t_owner) {
    t_call = call;
    t_owner = false;
}

Adopt::~Adopt() {
    t_call = outer_;
    t_owner = outer_owned_;
}

Progress::Progress(const char* what, const char* unit, std::size_t total)
    : what_(what), unit_(unit), total_(total), call_(t_owner ? t_call : nullptr) {
    if (call_) {
        outer_ = call_->progress;
        call_->progress = this;
    }
}

Progress::~Progress() {
    if (call_) call_->progress = outer_;
}

void Progress::finish() {
    if (call_ == nullptr || t_call != call_ || !t_owner) return;
    if (call_->stopped.load(std::memory_order_relaxed)) throw Stopped();
    consult(*call_, true);
}

}  // namespace orvane::stop
