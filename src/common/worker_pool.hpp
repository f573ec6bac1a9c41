#pragma once
// Process-wide worker pool: created on first use, sized by RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS
// (else the CPUs this process may use), rebuilt in a child after fork. The calling thread takes
// part as worker 0 and runs the stop check (src/common/stop.hpp) between its tasks.
#include <cstddef>
#include <type_traits>
#include <utility>

namespace orvane {

// Non-owning reference to a callable; the pool never stores it beyond one call.
template <class Sig>
class FunctionRef;
template <class R, class... A>
class FunctionRef<R(A...)> {
public:
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef>>>
    FunctionRef(F&& f)  // NOLINT: implicit on purpose
        : obj_(const_cast<void*>(static_cast<const void*>(&f))), call_([](void* o, A... a) -> R {
              return (*static_cast<std::add_pointer_t<std::remove_reference_t<F>>>(o))(
                  std::forward<A>(a)...);
          }) {}
    R operator()(A... a) const { return call_(obj_, std::forward<A>(a)...); }

private:
    void* obj_;
    R (*call_)(void*, A...);
};

namespace pool {

// Number of workers (including the calling thread): the threads the pool actually got, which
// may be fewer than asked for. Creates the pool on first call.
std::size_t worker_count();

// Runs task(t, worker) for every t in [0, n_tasks), handing tasks out in increasing order to
// whichever worker is free. `worker` is below worker_count(). Returns after every started task
// has finished; the first exception thrown by a task is rethrown then, and no further tasks
// start once one has failed or the current call was stopped (Stopped is rethrown).
// Nested calls from inside a task run inline on that worker.
void run_tasks(std::size_t n_tasks, FunctionRef<void(std::size_t, std::size_t)> task);

// Runs body(begin, end, worker) on [0, n) cut into blocks of `block` items (the last may be
// shorter), one task each, in increasing order. The caller fixes the block size, so per-block
// results never depend on the number of workers.
template <class Body>
void for_blocks(std::size_t n, std::size_t block, Body&& body) {
    run_tasks((n + block - 1) / block, [&](std::size_t t, std::size_t worker) {
        const std::size_t begin = t * block;
        body(begin, begin + block < n ? begin + block : n, worker);
    });
}

// Splits [0, n) into contiguous chunks of at least `min_chunk` items and runs body(begin, end)
// on each. Each index is visited once; callers write only their own slots.
void parallel_for(std::size_t n, std::size_t min_chunk,
                  FunctionRef<void(std::size_t, std::size_t)> body);

}  // namespace pool
}  // namespace orvane
