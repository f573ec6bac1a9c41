"""Typicality and similarity through a local Ray cluster against the single-process classes.

Usage: python benchmarks/bench_distributed.py [--sizes 60000,200000] [--d 128] [--k 10]
       [--cpus N] [--rounds 2] [--queries 20000] [--wide-n 20000] [--wide-d 768] [--no-memory]

Both sides use every CPU of this machine: the class its worker pool, the cluster one task per
CPU. The two sides alternate, `--rounds` times per size, so that a change of load on a shared
machine hits both; the workers are started before the first timed call. Typicality must come
out bit for bit equal to the class's.

Also printed: core-seconds per tile pair of the distributed run (at d and at `--wide-d`), the
estimate for 10,000,000 x 768 from the latter, the time the driver spends merging partial
buffers, and peak resident memory of the driver and of a worker (a fresh driver at the largest
size, `VmHWM`; a worker's includes the object-store pages it maps).
"""

import argparse
import logging
import os
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import orvane_keldra as ok  # noqa: E402
from common import machine_line, print_table  # noqa: E402

TILE = 512
BIG_N, BIG_D, CORES_PER_MACHINE = 10_000_000, 768, 32


def tile_pairs(n):
    t = -(-n // TILE)
    return t * (t + 1) // 2


def timed(fn):
    t0 = time.perf_counter()
    result = fn()
    return time.perf_counter() - t0, result


def compare_typicality(distributed, n, d, k, rounds):
    """Best times of the class and of Ray, alternating; seconds the driver spent merging."""
    x = np.random.default_rng(n).normal(size=(n, d)).astype(np.float32)
    merge = [0.0]
    real_merge = distributed._merge_pair

    def counted_merge(*args):
        t0 = time.perf_counter()
        real_merge(*args)
        merge[0] += time.perf_counter() - t0

    distributed._merge_pair = counted_merge
    singles, runs = [], []
    try:
        for _ in range(rounds):
            t, single = timed(
                lambda: np.asarray(ok.Typicality(x).calculate_typicality(k), np.float32)
            )
            singles.append(t)
            merge[0] = 0.0
            t, got = timed(lambda: distributed.typicality(x, k))
            runs.append(t)
            if not np.array_equal(got, single):
                raise AssertionError(f"{n} x {d}: the distributed scores differ from the class's")
    finally:
        distributed._merge_pair = real_merge
    return singles, runs, merge[0]


def compare_similarity(distributed, n, q, d, rounds):
    rng = np.random.default_rng(1)
    keys = rng.normal(size=(n, d)).astype(np.float32)
    queries = rng.normal(size=(q, d)).astype(np.float32)
    singles, runs = [], []
    for _ in range(rounds):
        t, single = timed(
            lambda: np.asarray(ok.Similarity(keys).calculate_similarity(queries), np.float32)
        )
        singles.append(t)
        t, got = timed(lambda: distributed.similarity(keys, queries))
        runs.append(t)
        np.testing.assert_allclose(got, single, rtol=1e-5, atol=1e-5)
    return singles, runs


MEMORY_PROBE = """
import logging, os, time
import numpy as np, ray
from orvane_keldra import distributed

def status_mb(key):
    line = [l for l in open('/proc/self/status') if l.startswith(key + ':')][0]
    return int(line.split()[1]) / 1024

@ray.remote
def probe():
    time.sleep(1.0)  # long enough that the probes land on different workers
    return os.getpid(), (status_mb('VmHWM'), status_mb('RssShmem'))

ray.init(num_cpus={cpus}, include_dashboard=False, logging_level=logging.WARNING)
x = np.random.default_rng(0).normal(size=({n}, {d})).astype(np.float32)
before = status_mb('VmRSS')
distributed.typicality(x, {k})
probes = [probe.options(**distributed._TASK_OPTIONS).remote() for _ in range({cpus})]
worker = max(dict(ray.get(probes)).values())
print(f"{{before:.0f}} {{status_mb('VmHWM'):.0f}} {{status_mb('RssShmem'):.0f}} "
      f"{{worker[0]:.0f}} {{worker[1]:.0f}}")
ray.shutdown()
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="60000,200000")
    parser.add_argument("--d", type=int, default=128)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--cpus", type=int, default=os.cpu_count())
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--queries", type=int, default=20_000)
    parser.add_argument("--wide-n", type=int, default=20_000)
    parser.add_argument("--wide-d", type=int, default=BIG_D)
    parser.add_argument("--no-memory", action="store_true")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    import ray

    from orvane_keldra import distributed

    # Ray puts the driver's directory on the workers' path: start it outside the source tree.
    here = os.getcwd()
    os.chdir(tempfile.mkdtemp())
    t0 = time.perf_counter()
    ray.init(num_cpus=args.cpus, include_dashboard=False, logging_level=logging.WARNING)
    t_init = time.perf_counter() - t0
    os.chdir(here)
    t0 = time.perf_counter()
    distributed.typicality(np.random.default_rng(0).normal(size=(2_000, 8)).astype(np.float32), 3)
    t_start = time.perf_counter() - t0

    print(machine_line())
    print(
        f"Ray {ray.__version__}, local cluster of {args.cpus} CPUs; "
        f"ray.init took {t_init:.1f} s, "
        f"starting the workers {t_start:.1f} s; load average before: {os.getloadavg()[0]:.1f}"
    )

    rows, costs = [], []
    for n in sizes:
        singles, runs, merge = compare_typicality(distributed, n, args.d, args.k, args.rounds)
        pairs = tile_pairs(n)
        print(
            f"{n:,} x {args.d}: one process "
            + ", ".join(f"{t:.2f} s" for t in singles)
            + "; Ray "
            + ", ".join(f"{t:.2f} s" for t in runs)
            + "; per round "
            + ", ".join(f"{r / s:.2f}x" for r, s in zip(runs, singles))
            + f"; driver merging {merge:.2f} s of the last Ray run"
        )
        rows.append(
            (
                f"Typicality {n:,} x {args.d} K={args.k}, Ray",
                min(runs),
                "Typicality (one process)",
                min(singles),
            )
        )
        costs.append(
            (
                f"{n:,} x {args.d}",
                pairs,
                min(runs) * args.cpus / pairs,
                min(singles) * args.cpus / pairs,
            )
        )
    singles, runs, _ = compare_typicality(distributed, args.wide_n, args.wide_d, args.k, 1)
    pairs = tile_pairs(args.wide_n)
    wide_cost = runs[0] * args.cpus / pairs
    costs.append(
        (f"{args.wide_n:,} x {args.wide_d}", pairs, wide_cost, singles[0] * args.cpus / pairs)
    )
    rows.append(
        (
            f"Typicality {args.wide_n:,} x {args.wide_d} K={args.k}, Ray",
            runs[0],
            "Typicality (one process)",
            singles[0],
        )
    )

    n_sim = sizes[0]
    singles, runs = compare_similarity(distributed, n_sim, args.queries, args.d, args.rounds)
    rows.append(
        (
            f"Similarity {n_sim:,} x {args.queries:,} x {args.d}, Ray",
            min(runs),
            "Similarity (one process)",
            min(singles),
        )
    )
    print(
        f"similarity {n_sim:,} keys x {args.queries:,} queries: one process "
        + ", ".join(f"{t:.2f} s" for t in singles)
        + "; Ray "
        + ", ".join(f"{t:.2f} s" for t in runs)
    )
    print(f"load average after: {os.getloadavg()[0]:.1f}")
    ray.shutdown()

    title = "Through Ray against one process (typicality bit for bit equal, best of the rounds)"
    print_table(title, rows)
    print("\n| case | tile pairs | Ray core-s per tile pair | one process core-s per tile pair |")
    print("|---|---:|---:|---:|")
    for case, p, ray_cost, single_cost in costs:
        print(f"| {case} | {p:,} | {ray_cost * 1e3:.2f} ms | {single_cost * 1e3:.2f} ms |")
    big = tile_pairs(BIG_N)
    for machines in (8, 64):
        hours = big * wide_cost / (machines * CORES_PER_MACHINE) / 3600
        print(
            f"{BIG_N:,} x {BIG_D}: {big:,} tile pairs at {wide_cost * 1e3:.2f} core-ms "
            f"(d = {args.wide_d}) on {machines} machines of {CORES_PER_MACHINE} cores: "
            f"about {hours:,.2f} h ({hours * 60:,.0f} min) of compute"
        )

    if not args.no_memory:
        n = max(sizes)
        code = MEMORY_PROBE.format(cpus=args.cpus, n=n, d=args.d, k=args.k)
        proc = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            cwd=tempfile.mkdtemp(),
        )
        if proc.returncode != 0:
            raise RuntimeError(proc.stderr)
        before, driver, driver_shm, worker, worker_shm = proc.stdout.split()[-5:]
        print(
            f"\nPeak RSS at {n:,} x {args.d} K={args.k} (fresh driver): driver {driver} MB "
            f"({before} MB before the call, the rows included; {driver_shm} MB of object-store "
            f"pages mapped at the end), largest worker {worker} MB ({worker_shm} MB of "
            f"object-store pages)"
        )


if __name__ == "__main__":
    main()
