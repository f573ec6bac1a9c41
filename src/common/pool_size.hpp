#pragma once
// How many workers the pool asks for: RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else the CPUs
// this process may use (its affinity and its cgroup's CPU quota where the system has them).
#include <cstddef>

namespace orvane::pool {

std::size_t configured_threads();

}  // namespace orvane::pool
