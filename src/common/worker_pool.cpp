#include "src/common/worker_pool.hpp"

#include <pthread.h>
#include <unistd.h>
#if defined(__linux__)
#include <sched.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "src/common/blas.hpp"
#include "src/common/stop.hpp"

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

// CPUs this process may run on: its affinity mask where the system has one (Linux); elsewhere
// the online logical CPUs.
std::size_t affinity_cpus() {
#if defined(__linux__)
    for (int n_cpus = 1024; n_cpus <= (1 << 16); n_cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(n_cpus);
        if (set == nullptr) break;
        const std::size_t bytes = CPU_ALLOC_SIZE(n_cpus);
        const int rc = sched_getaffinity(0, bytes, set);
        const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (rc == 0) return static_cast<std::size_t>(count);
        if (errno != EINVAL) break;  // EINVAL: the mask is larger than this set
    }
#endif
    return std::thread::hardware_concurrency();
}

#if defined(__linux__)
// Whole CPUs granted by a CFS quota ("quota period" in the file), or 0 without a quota.
std::size_t quota_cpus(long long quota, long long period) {
    if (quota <= 0 || period <= 0) return 0;
    return static_cast<std::size_t>((quota + period - 1) / period);
}

// The smallest CPU quota of this process's cgroup and its ancestors (cgroup v2, else v1).
std::size_t cgroup_cpus() {
    std::size_t limit = 0;
    auto take = [&](std::size_t cpus) {
        if (cpus > 0 && (limit == 0 || cpus < limit)) limit = cpus;
    };
    std::string v2_path;
    {
        std::ifstream groups("/proc/self/cgroup");
        for (std::string line; std::getline(groups, line);) {
            if (line.rfind("0::", 0) == 0) v2_path = line.substr(3);
        }
    }
    for (std::string dir = v2_path;;) {
        std::ifstream max("/sys/fs/cgroup" + dir + "/cpu.max");
        std::string quota;
        long long period = 0;
        if (max >> quota >> period && quota != "max") take(quota_cpus(std::atoll(quota.c_str()), period));
        if (dir.empty() || dir == "/") break;
        dir = dir.substr(0, dir.find_last_of('/'));
    }
    for (const char* v1 : {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"}) {
        std::ifstream q(std::string(v1) + "/cpu.cfs_quota_us"), p(std::string(v1) + "/cpu.cfs_period_us");
        long long quota = 0, period = 0;
        if (q >> quota && p >> period) take(quota_cpus(quota, period));
    }
    return limit;
}
#else
// Systems without control groups (macOS) limit CPUs only through what they report as online.
std::size_t cgroup_cpus() { return 0; }
#endif

std::size_t available_cpus() {
    std::size_t n = affinity_cpus();
    const std::size_t quota = cgroup_cpus();
    if (quota > 0) n = std::min(n, quota);
    return std::max<std::size_t>(n, 1);
}

std::size_t configured_threads() {
    bool is_number = false;
    std::size_t n = parse_positive(std::getenv("RAYON_NUM_THREADS"), &is_number);
    if (is_number && n > 0) return n;
    if (!is_number) {
        std::size_t m = parse_positive(std::getenv("RAYON_RS_NUM_CPUS"), &is_number);
        if (is_number && m > 0) return m;
    }
    return available_cpus();
}

class Pool {
public:
    // Thread or memory limits may refuse some threads: the pool then runs with part of those it
    // got, down to the calling thread alone. Results never depend on the worker count.
    explicit Pool(std::size_t n) : starts_(n) {
        threads_.reserve(n - 1);
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, kStackBytes);
        bool refused = false;
        for (std::size_t w = 1; w < n && !refused; ++w) {
            starts_[w] = {this, w};
            pthread_t thread;
            refused = pthread_create(&thread, &attr, &Pool::start, &starts_[w]) != 0;
            if (!refused) threads_.push_back(thread);
        }
        pthread_attr_destroy(&attr);
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
                    job.fail(std::current_exception());
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

        void fail(std::exception_ptr e) {
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
                job.fail(std::current_exception());
            }
        }
        t_inside_task = false;
    }

    struct Start {
        Pool* pool;
        std::size_t worker;
    };

    static void* start(void* arg) {
        const Start& s = *static_cast<Start*>(arg);
        s.pool->loop(s.worker);
        return nullptr;
    }

    // Ends and joins all but the first `keep` threads; only before the pool is in use.
    void retire(std::size_t keep) {
        {
            std::lock_guard<std::mutex> lk(mutex_);
            keep_ = keep + 1;  // worker numbers start at 1
        }
        cv_.notify_all();
        for (std::size_t t = keep; t < threads_.size(); ++t) pthread_join(threads_[t], nullptr);
        threads_.resize(keep);
    }

    void loop(std::size_t worker) {
        blas::use_single_thread();
        std::size_t seen = 0;
        for (;;) {
            Job* job;
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

    // Our tasks keep their data on the heap; a small stack leaves the address space to them.
    static constexpr std::size_t kStackBytes = std::size_t{2} << 20;

    std::vector<Start> starts_;  // one per worker, at stable addresses for the threads
    std::size_t n_workers_ = 1;
    std::size_t keep_ = static_cast<std::size_t>(-1);
    std::vector<pthread_t> threads_;
    std::mutex call_mutex_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::condition_variable done_cv_;
    Job* job_ = nullptr;
    std::size_t generation_ = 0;
    std::size_t pending_ = 0;
};

std::atomic<Pool*> g_pool{nullptr};
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
