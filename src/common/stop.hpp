#pragma once
// How a long computation hears from whoever started it: asked at every step whether to go on,
// and told how far the work has come. The binding layer installs a Watcher on the calling thread
// for one call; the core only polls. Nothing here knows about Python.
#include <atomic>
#include <chrono>
#include <cstddef>

namespace orvane::stop {

// Work done so far by the computation that declared a Progress.
struct Snapshot {
    const char* what;
    const char* unit;
    std::size_t done;
    std::size_t total;
    std::chrono::steady_clock::time_point started;  // when the Progress was declared
};

class Watcher {
public:
    virtual ~Watcher() = default;
    // Called only on the thread that installed the watcher, at most every few milliseconds, and
    // once more with `final` when a declared computation completes. `progress` is null while
    // none is declared. Returns false to stop the call.
    virtual bool keep_going(const Snapshot* progress, bool final) = 0;
    // The least time between two consultations.
    virtual std::chrono::steady_clock::duration poll_interval() const {
        return std::chrono::milliseconds(2);
    }
};

class Progress;

// One watched call: its stop flag is shared with the pool's workers while they run its tasks;
// the rest is touched only by the installing thread.
struct Call {
    Watcher* watcher;
    std::atomic<bool> stopped{false};
    std::chrono::steady_clock::time_point next_poll{};
    Progress* progress = nullptr;
};

// Watches the current thread's computations until destroyed; scopes nest.
class Scope {
public:
    explicit Scope(Watcher& watcher);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    Call call_;
    Call* outer_;
    bool outer_owned_;
};

// Throws Stopped once the current call has been asked to stop. Cheap enough for every loop
// step: the installing thread reads the clock and consults its watcher every few milliseconds;
// any other thread reads one flag.
void poll();

// For the worker pool: the current thread's call (null outside any), and a guard that lets a
// worker read that call's flag while it runs the call's tasks.
Call* current();
class Adopt {
public:
    explicit Adopt(Call* call);
    ~Adopt();
    Adopt(const Adopt&) = delete;
    Adopt& operator=(const Adopt&) = delete;

private:
    Call* outer_;
    bool outer_owned_;
};

// A computation's total amount of work, declared on the calling thread; any thread may advance.
class Progress {
public:
    Progress(const char* what, const char* unit, std::size_t total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void advance(std::size_t n) { done_.fetch_add(n, std::memory_order_relaxed); }
    Snapshot snapshot() const {
        return {what_, unit_, done_.load(std::memory_order_relaxed), total_, started_};
    }
    // Tells the watcher the work is complete; may throw Stopped like poll().
    void finish();

private:
    const char* what_;
    const char* unit_;
    std::size_t total_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::atomic<std::size_t> done_{0};
    Call* call_;
    Progress* outer_ = nullptr;
};

}  // namespace orvane::stop
