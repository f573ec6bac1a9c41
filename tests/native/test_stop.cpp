#include <algorithm>
#include <atomic>
#include <cstdint>
#include <chrono>
#include <thread>
#include <vector>

#include "src/common/failure.hpp"
#include "src/common/stop.hpp"
#include "src/common/worker_pool.hpp"
#include "src/common/zeroed.hpp"
#include "tests/native/check.hpp"

using namespace orvane;

namespace {

// Says stop at its `stop_at`-th consultation and records the progress it was shown.
struct CountingWatcher final : stop::Watcher {
    int stop_at;
    int asked = 0;
    std::vector<std::size_t> seen;
    bool saw_final = false;
    explicit CountingWatcher(int n) : stop_at(n) {}
    bool keep_going(const stop::Snapshot* p, bool final) override {
        if (p) seen.push_back(p->done);
        saw_final = saw_final || final;
        return ++asked < stop_at;
    }
};

}  // namespace

TEST_CASE("stop: a stopped call hands out no new task, on any worker, and throws Stopped") {
    CountingWatcher watcher(3);
    stop::Scope scope(watcher);
    std::atomic<std::size_t> ran{0};
    constexpr std::size_t n_tasks = 4000;
    bool stopped = false;
    try {
        pool::run_tasks(n_tasks, [&](std::size_t, std::size_t) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            ran.fetch_add(1);
        });
    } catch (const Stopped&) {
        stopped = true;
    }
    CHECK(stopped);
    CHECK_EQ(watcher.asked, 3);
    // Stopped after about three poll intervals, far from the two seconds all tasks would take.
    CHECK(ran.load() < n_tasks / 4);
    // Once stopped, every later check in the call says so at once.
    CHECK_THROWS_WITH(stop::poll(), Stopped, "stopped");
}

TEST_CASE("stop: progress advanced by workers reaches the watcher, complete at finish") {
    CountingWatcher watcher(1 << 30);
    stop::Scope scope(watcher);
    constexpr std::size_t n_tasks = 200;
    stop::Progress progress("test", "items", n_tasks);
    pool::run_tasks(n_tasks, [&](std::size_t, std::size_t) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        progress.advance(1);
    });
    progress.finish();
    CHECK(watcher.saw_final);
    CHECK(watcher.seen.size() >= 2);
    for (std::size_t i = 1; i < watcher.seen.size(); ++i)
        CHECK(watcher.seen[i - 1] <= watcher.seen[i]);
    CHECK_EQ(watcher.seen.back(), n_tasks);
}

TEST_CASE("stop: without a watcher, polls and progress cost nothing and never stop") {
    stop::Progress progress("test", "items", 10);
    std::size_t ran = 0;
    pool::run_tasks(10, [&](std::size_t, std::size_t) { progress.advance(1); });
    pool::run_tasks(1, [&](std::size_t, std::size_t) { ran = 1; });
    stop::poll();
    progress.finish();
    CHECK_EQ(progress.snapshot().done, std::size_t{10});
    CHECK_EQ(ran, std::size_t{1});
}

TEST_CASE("stop: large zero-filled arrays are all zeros and stop between their stretches") {
    // Over three stretches of 32 MiB, with old contents and capacity in the way.
    constexpr std::size_t big = 3 * ((std::size_t{32} << 20) / sizeof(std::uint32_t)) + 5;
    std::vector<std::uint32_t> v(100, 7);
    assign_zeros(v, big);
    CHECK_EQ(v.size(), big);
    CHECK(std::all_of(v.begin(), v.end(), [](std::uint32_t x) { return x == 0; }));
    std::fill(v.begin(), v.begin() + 10, 9u);
    assign_zeros(v, 10);
    CHECK(v == std::vector<std::uint32_t>(10, 0));

    CountingWatcher watcher(1);
    stop::Scope scope(watcher);
    std::vector<std::uint64_t> w;
    CHECK_THROWS_WITH(assign_zeros(w, big), Stopped, "stopped");
    CHECK(w.size() < big);
}
