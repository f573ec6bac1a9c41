#include "src/common/worker_pool.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "src/common/blas.hpp"

namespace orvane::pool {
namespace {

thread_local bool t_inside_task = false;

std::size_t parse_positive(const char* text, bool* is_number) {
    *is_number = false;
    if (text == nullptr || *text == '\0') return 0;
    std::size_t value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        value = value * 10 + static_cast<std::size_t>(*p - '0');
        if (value > (1u << 16)) value = 1u << 16;  // absurd counts are capped, not overflowed
    }
    *is_number = true;
    return value;
}

std::size_t configured_threads() {
    bool is_number = false;
    std::size_t n = parse_positive(std::getenv("RAYON_NUM_THREADS"), &is_number);
    if (is_number && n > 0) return n;
    if (!is_number) {
        std::size_t m = parse_positive(std::getenv("RAYON_RS_NUM_CPUS"), &is_number);
        if (is_number && m > 0) return m;
    }
    unsigned hw = std::thread::hardware_concurrency();
    return hw == 0 ? 1 : hw;
}

class Pool {
public:
    explicit Pool(std::size_t n) : n_workers_(n) {
        threads_.reserve(n - 1);
        for (std::size_t w = 1; w < n; ++w) threads_.emplace_back([this, w] { loop(w); });
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
        std::unique_lock<std::mutex> lk(mutex_);
        done_cv_.wait(lk, [this] { return pending_ == 0; });
        job_ = nullptr;
        lk.unlock();
        if (job.error) std::rethrow_exception(job.error);
    }

private:
    struct Job {
        Job(FunctionRef<void(std::size_t, std::size_t)> t, std::size_t n) : task(t), n_tasks(n) {}
        FunctionRef<void(std::size_t, std::size_t)> task;
        std::size_t n_tasks;
        std::atomic<std::size_t> next{0};
        std::atomic<bool> failed{false};
        std::mutex error_mutex;
        std::exception_ptr error;
    };

    static void work(Job& job, std::size_t worker) {
        t_inside_task = true;
        while (!job.failed.load(std::memory_order_relaxed)) {
            std::size_t t = job.next.fetch_add(1, std::memory_order_relaxed);
            if (t >= job.n_tasks) break;
            try {
                job.task(t, worker);
            } catch (...) {
                std::lock_guard<std::mutex> lk(job.error_mutex);
                if (!job.error) job.error = std::current_exception();
                job.failed.store(true, std::memory_order_relaxed);
            }
        }
        t_inside_task = false;
    }

    void loop(std::size_t worker) {
        blas::use_single_thread();
        std::size_t seen = 0;
        for (;;) {
            Job* job;
            {
                std::unique_lock<std::mutex> lk(mutex_);
                cv_.wait(lk, [&] { return generation_ != seen; });
                seen = generation_;
                job = job_;
            }
            work(*job, worker);
            std::lock_guard<std::mutex> lk(mutex_);
            if (--pending_ == 0) done_cv_.notify_one();
        }
    }

    std::size_t n_workers_;
    std::vector<std::thread> threads_;
    std::mutex call_mutex_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::condition_variable done_cv_;
    Job* job_ = nullptr;
    std::size_t generation_ = 0;
    std::size_t pending_ = 0;
};

std::atomic<Pool*> g_pool{nullptr};
std::atomic<std::size_t> g_count{0};
std::mutex g_create_mutex;

void after_fork_in_child() {
    // The child has only the forking thread; the old pool's threads and locks are gone or
    // unusable, so it is abandoned (not freed) and a fresh one is made on next use.
    g_pool.store(nullptr);
    new (&g_create_mutex) std::mutex();
}

Pool& instance() {
    Pool* p = g_pool.load(std::memory_order_acquire);
    if (p) return *p;
    std::lock_guard<std::mutex> lk(g_create_mutex);
    p = g_pool.load();
    if (!p) {
        static std::once_flag fork_hook;
        std::call_once(fork_hook, [] { pthread_atfork(nullptr, nullptr, after_fork_in_child); });
        blas::use_single_thread();
        p = new Pool(worker_count());  // NOLINT: lives for the whole process
        g_pool.store(p, std::memory_order_release);
    }
    return *p;
}

}  // namespace

std::size_t worker_count() {
    std::size_t n = g_count.load(std::memory_order_relaxed);
    if (n == 0) {
        n = configured_threads();
        g_count.store(n, std::memory_order_relaxed);
    }
    return n;
}

void run_tasks(std::size_t n_tasks, FunctionRef<void(std::size_t, std::size_t)> task) {
    if (n_tasks == 0) return;
    if (t_inside_task || n_tasks == 1 || worker_count() == 1) {
        // Sequential, same contract: every task runs, first error rethrown at the end.
        std::exception_ptr error;
        for (std::size_t t = 0; t < n_tasks && !error; ++t) {
            try {
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
