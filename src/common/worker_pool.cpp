#include "src/common/worker_pool.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "src/common/blas.hpp"
#include "src/common/pool_size.hpp"
#include "src/common/stop.hpp"

namespace orvane::pool {
namespace {

thread_local bool t_inside_task = false;

// How long a thread that has run out of work keeps looking for more before it sleeps: the rounds
// of a selection step follow each other within microseconds, while waking a sleeping thread
// takes tens of microseconds on some systems (virtual machines above all).
constexpr auto kSpin = std::chrono::microseconds(100);

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Whether `ready` held within kSpin.
template <class Ready>
bool spin_until(Ready ready) {
    const auto until = std::chrono::steady_clock::now() + kSpin;
    for (unsigned i = 1;; ++i) {
        if (ready()) return true;
        cpu_relax();
        if (i % 64 == 0 && std::chrono::steady_clock::now() >= until) return false;
    }
}

#if defined(_WIN32)
using NativeThread = HANDLE;
#else
using NativeThread = pthread_t;
#endif

class Pool {
public:
    // Thread or memory limits may refuse some threads: the pool then runs with part of those it
    // got, down to the calling thread alone. Results never depend on the worker count.
    explicit Pool(std::size_t n) : starts_(n) {
        threads_.reserve(n - 1);
        bool refused = false;
        for (std::size_t w = 1; w < n && !refused; ++w) {
            starts_[w] = {this, w};
            NativeThread thread;
            refused = !spawn(&starts_[w], &thread);
            if (!refused) threads_.push_back(thread);
        }
        // A refusal means the process is at its limit; half of the threads are let go again so
        // that the computation itself still finds memory.
        if (refused) retire(threads_.size() / 2);
        n_workers_ = threads_.size() + 1;
    }
    // Never destroyed: the pool lives until the process ends (threads are detached at exit).
    std::size_t size() const { return n_workers_; }

    void run(std::size_t n_tasks, FunctionRef<void(std::size_t, std::size_t)> task) {
        std::lock_guard<std::mutex> call_lock(call_mutex_);
        Job job(task, n_tasks);
        {
            std::lock_guard<std::mutex> lk(mutex_);
            job_ = &job;
            ++generation_;
            pending_ = threads_.size();
        }
        cv_.notify_all();
        work(job, 0);
        spin_until([this] { return pending_.load(std::memory_order_acquire) == 0; });
        std::unique_lock<std::mutex> lk(mutex_);
        // A watched caller keeps answering stop requests while the last tasks finish elsewhere.
        const auto all_done = [this] { return pending_ == 0; };
        if (job.call == nullptr) {
            done_cv_.wait(lk, all_done);
        } else {
            while (!done_cv_.wait_for(lk, std::chrono::milliseconds(2), all_done)) {
                lk.unlock();
                try {
                    stop::poll();
                } catch (...) {
                    job.raise_internal_failure(std::current_exception());
                }
                lk.lock();
            }
        }
        job_ = nullptr;
        lk.unlock();
        if (job.error) std::rethrow_exception(job.error);
    }

private:
    struct Job {
        Job(FunctionRef<void(std::size_t, std::size_t)> t, std::size_t n) : task(t), n_tasks(n) {}
        FunctionRef<void(std::size_t, std::size_t)> task;
        std::size_t n_tasks;
        stop::Call* call = stop::current();
        std::atomic<std::size_t> next{0};
        std::atomic<bool> failed{false};
        std::mutex error_mutex;
        std::exception_ptr error;

        void raise_internal_failure(std::exception_ptr e) {
            std::lock_guard<std::mutex> lk(error_mutex);
            if (!error) error = std::move(e);
            failed.store(true, std::memory_order_relaxed);
        }
    };

    // Before each task the stop check runs: a stopped call hands out no new task.
    static void work(Job& job, std::size_t worker) {
        t_inside_task = true;
        while (!job.failed.load(std::memory_order_relaxed)) {
            try {
                stop::poll();
                const std::size_t t = job.next.fetch_add(1, std::memory_order_relaxed);
                if (t >= job.n_tasks) break;
                job.task(t, worker);
            } catch (...) {
                job.raise_internal_failure(std::current_exception());
            }
        }
        t_inside_task = false;
    }

    struct Start {
        Pool* pool;
        std::size_t worker;
    };

    // Our tasks keep their data on the heap; a small stack leaves the address space to them.
    static constexpr std::size_t kStackBytes = std::size_t{2} << 20;

#if defined(_WIN32)
    static DWORD WINAPI start(void* arg) {
        const Start& s = *static_cast<Start*>(arg);
        s.pool->loop(s.worker);
        return 0;
    }

    static bool spawn(Start* s, NativeThread* thread) {
        *thread = CreateThread(nullptr, kStackBytes, &Pool::start, s,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        return *thread != nullptr;
    }

    static void join(NativeThread thread) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
#else
    static void* start(void* arg) {
        const Start& s = *static_cast<Start*>(arg);
        s.pool->loop(s.worker);
        return nullptr;
    }

    static bool spawn(Start* s, NativeThread* thread) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, kStackBytes);
        const bool started = pthread_create(thread, &attr, &Pool::start, s) == 0;
        pthread_attr_destroy(&attr);
        return started;
    }

    static void join(NativeThread thread) { pthread_join(thread, nullptr); }
#endif

    // Ends and joins all but the first `keep` threads; only before the pool is in use.
    void retire(std::size_t keep) {
        {
            std::lock_guard<std::mutex> lk(mutex_);
            keep_ = keep + 1;  // worker numbers start at 1
        }
        cv_.notify_all();
        for (std::size_t t = keep; t < threads_.size(); ++t) join(threads_[t]);
        threads_.resize(keep);
    }

    void loop(std::size_t worker) {
        blas::use_single_thread();
        std::size_t seen = 0;
        for (;;) {
            Job* job;
            spin_until([&] { return generation_.load(std::memory_order_acquire) != seen; });
            {
                std::unique_lock<std::mutex> lk(mutex_);
                cv_.wait(lk, [&] { return generation_ != seen || worker >= keep_; });
                if (worker >= keep_) return;
                seen = generation_;
                job = job_;
            }
            {
                stop::Adopt adopt(job->call);
                work(*job, worker);
            }
            std::lock_guard<std::mutex> lk(mutex_);
            if (--pending_ == 0) done_cv_.notify_one();
        }
    }

    std::vector<Start> starts_;  // one per worker, at stable addresses for the threads
    std::size_t n_workers_ = 1;
    std::size_t keep_ = static_cast<std::size_t>(-1);
    std::vector<NativeThread> threads_;
    std::mutex call_mutex_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::condition_variable done_cv_;
    Job* job_ = nullptr;
    // Written under mutex_, read without it by threads waiting for a change.
    std::atomic<std::size_t> generation_{0};
    std::atomic<std::size_t> pending_{0};
};

std::atomic<Pool*> g_pool{nullptr};
std::mutex g_create_mutex;

#if !defined(_WIN32)
void after_fork_in_child() {
    // The child has only the forking thread; the old pool's threads and locks are gone or
    // unusable, so it is abandoned (not freed) and a fresh one is made on next use.
    g_pool.store(nullptr);
    new (&g_create_mutex) std::mutex();
}
#endif

Pool& instance() {
    Pool* p = g_pool.load(std::memory_order_acquire);
    if (p) return *p;
    std::lock_guard<std::mutex> lk(g_create_mutex);
    p = g_pool.load();
    if (!p) {
#if !defined(_WIN32)  // Windows has no fork
        static std::once_flag fork_hook;
        std::call_once(fork_hook, [] { pthread_atfork(nullptr, nullptr, after_fork_in_child); });
#endif
        blas::use_single_thread();
        static const std::size_t wanted = configured_threads();  // the environment is read once
        p = new Pool(wanted);  // NOLINT: lives for the whole process
        g_pool.store(p, std::memory_order_release);
    }
    return *p;
}

}  // namespace

std::size_t worker_count() { return instance().size(); }

void run_tasks(std::size_t n_tasks, FunctionRef<void(std::size_t, std::size_t)> task) {
    if (n_tasks == 0) return;
    if (t_inside_task || n_tasks == 1 || worker_count() == 1) {
        // Sequential, same contract: every task runs, first error rethrown at the end.
        std::exception_ptr error;
        for (std::size_t t = 0; t < n_tasks && !error; ++t) {
            try {
                stop::poll();
                task(t, 0);
            } catch (...) {
                error = std::current_exception();
            }
        }
        if (error) std::rethrow_exception(error);
        return;
    }
    instance().run(n_tasks, task);
}

void parallel_for(std::size_t n, std::size_t min_chunk,
                  FunctionRef<void(std::size_t, std::size_t)> body) {
    if (n == 0) return;
    min_chunk = std::max<std::size_t>(min_chunk, 1);
    std::size_t workers = t_inside_task ? 1 : worker_count();
    std::size_t chunks = std::min((n + min_chunk - 1) / min_chunk, workers * 4);
    chunks = std::max<std::size_t>(chunks, 1);
    std::size_t step = (n + chunks - 1) / chunks;
    chunks = (n + step - 1) / step;
    run_tasks(chunks, [&](std::size_t c, std::size_t) {
        std::size_t begin = c * step;
        body(begin, std::min(n, begin + step));
    });
}

}  // namespace orvane::pool
