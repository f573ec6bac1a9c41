"""Typicality and similarity through a local Ray cluster against the single-process classes.

Usage: python benchmarks/bench_distributed.py [--sizes 60000,200000] [--d 128] [--k 10]
       [--cpus N] [--rounds 2] [--queries 20000] [--wide-n 20000] [--wide-d 768] [--no-memory]
       python benchmarks/bench_distributed.py --selection [--sizes 1000000,2000000] [--picks 1000]

With --selection: distributed.Selection against the class, build included (embeddings read from
a memmap by both), weighting + diversifying and the four-kind mix, 50 clusters of 128 dimensions;
the picks must be equal. Also printed: the fixed cost of a step (a tiny selection), and the
driver's peak RSS at the largest size (a fresh driver, weighting + diversifying).

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


SELECTION_MEMORY_PROBE = """
import logging, os, numpy as np, ray
from orvane_keldra import distributed
def hwm():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM"):
            return int(line.split()[1]) // 1024
ray.init(num_cpus={cpus}, include_dashboard=False, logging_level=logging.WARNING)
x = np.load({path!r}, mmap_mode="r")
w = np.load({wpath!r})
before = hwm()
s = distributed.Selection()
s.add_weighting_strategy(w, 1.0)
s.add_diversifying_strategy(x, 1.0)
s.run_selection([], x.shape[0], {picks})
actors = ray.get([a.peak_rss_mb.remote() for a in s._actors])
print(before, hwm(), max(actors))
"""


def selection_kinds(sel, x, parts, four):
    weights, one_hot, target, objects, mapping = parts
    sel.add_weighting_strategy(weights, 1.0)
    sel.add_diversifying_strategy(x, 1.0)
    if four:
        sel.add_balancing_strategy(one_hot, target, 1.0)
        sel.add_subpart_typicality_strategy(objects, mapping, 1.0, 10)
    return sel


def compare_selection(distributed, sizes, d, picks, cpus):
    import ray

    rng = np.random.default_rng(5)
    rows = []
    folder = tempfile.mkdtemp()
    # The fixed cost of a step: a selection too small to cost anything itself.
    tiny = rng.normal(size=(2_000, 8)).astype(np.float32)
    small = distributed.Selection()
    small.add_diversifying_strategy(tiny, 1.0)
    small.run_selection([], 2_000, 2)
    t_fixed, _ = timed(lambda: small.run_selection([], 2_000, 300))
    print(f"fixed cost of a step (2,000 x 8, diversifying): {t_fixed / 300 * 1e3:.2f} ms")
    for n in sizes:
        centres = rng.normal(size=(50, d)).astype(np.float32) * 4
        x = centres[rng.integers(0, 50, n)] + rng.normal(size=(n, d)).astype(np.float32)
        path = os.path.join(folder, f"x{n}.npy")
        np.save(path, x)
        del x
        x = np.load(path, mmap_mode="r")
        weights = rng.uniform(0.1, 2.0, n).astype(np.float32)
        np.save(os.path.join(folder, f"w{n}.npy"), weights)
        one_hot = np.eye(10, dtype=np.float32)[rng.integers(0, 10, n)]
        target = rng.dirichlet(np.ones(10)).astype(np.float32)
        objects = rng.normal(size=(20_000, 64)).astype(np.float32)
        mapping = rng.integers(0, len(objects), size=(n, 3)).tolist()
        parts = (weights, one_hot, target, objects, mapping)
        for four in (False, True):
            name = "four kinds" if four else "weighting + diversifying"
            k = picks if not four else max(1, picks // 5)
            t_one, ours = timed(
                lambda: selection_kinds(ok.Selection(), x, parts, four).run_selection([], n, k)
            )
            t_ray, theirs = timed(
                lambda: selection_kinds(distributed.Selection(), x, parts, four).run_selection(
                    [], n, k
                )
            )
            assert ours == theirs, f"picks differ at {n:,}, {name}"
            print(f"{n:,} x {d}, {name}, {k} picks: one process {t_one:.1f} s, Ray {t_ray:.1f} s")
            rows.append(
                (f"Selection {n:,} x {d}, {name}, {k} picks, Ray", t_ray, "Selection", t_one)
            )
    print_table("Selection through Ray against one process (build included, equal picks)", rows)
    ray.shutdown()
    n = max(sizes)
    code = SELECTION_MEMORY_PROBE.format(
        cpus=cpus,
        path=os.path.join(folder, f"x{n}.npy"),
        wpath=os.path.join(folder, f"w{n}.npy"),
        picks=picks,
    )
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, cwd=folder
    )
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr)
    before, peak, actor = proc.stdout.split()[-3:]
    print(
        f"peak RSS at {n:,} x {d} (weighting + diversifying, memmap): driver {peak} MB, "
        f"{before} MB before the selection; largest actor {actor} MB; the embeddings are "
        f"{n * d * 4 / 2**20:,.0f} MB"
    )


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
    parser.add_argument("--selection", action="store_true")
    parser.add_argument("--picks", type=int, default=1_000)
    args = parser.parse_args()
    if args.selection and args.sizes == "60000,200000":
        args.sizes = "1000000,2000000"
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

    if args.selection:
        compare_selection(distributed, sizes, args.d, args.picks, args.cpus)
        return

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
