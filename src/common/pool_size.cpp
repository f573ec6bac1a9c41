#include "src/common/pool_size.hpp"

#if defined(_WIN32)
#include <windows.h>
#elif defined(__linux__)
#include <sched.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace orvane::pool {
namespace {

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

// CPUs this process may run on: its affinity mask where the system has one (Linux, Windows);
// elsewhere the online logical CPUs.
std::size_t affinity_cpus() {
#if defined(_WIN32)
    // A mask covers one processor group of at most 64 CPUs. A process restricted within its group
    // has a mask narrower than the system's; one spanning groups gets no masks at all, and then
    // every active CPU of every group counts.
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0 &&
        process != system) {
        std::size_t count = 0;
        for (; process != 0; process &= process - 1) ++count;
        return count;
    }
    if (const DWORD all = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS); all > 0) return all;
#elif defined(__linux__)
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
        if (max >> quota >> period && quota != "max")
            take(quota_cpus(std::atoll(quota.c_str()), period));
        if (dir.empty() || dir == "/") break;
        dir = dir.substr(0, dir.find_last_of('/'));
    }
    for (const char* v1 : {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"}) {
        std::ifstream q(std::string(v1) + "/cpu.cfs_quota_us"),
            p(std::string(v1) + "/cpu.cfs_period_us");
        long long quota = 0, period = 0;
        if (q >> quota && p >> period) take(quota_cpus(quota, period));
    }
    return limit;
}
#else
// Systems without control groups (macOS, Windows) limit CPUs only through what they report as
// online or through the affinity mask.
std::size_t cgroup_cpus() { return 0; }
#endif

std::size_t available_cpus() {
    std::size_t n = affinity_cpus();
    const std::size_t quota = cgroup_cpus();
    if (quota > 0) n = std::min(n, quota);
    return std::max<std::size_t>(n, 1);
}

}  // namespace

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

}  // namespace orvane::pool
