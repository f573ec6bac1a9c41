"""Typicality through a local Ray cluster against the single-process call: the overhead of Ray.

Usage: python benchmarks/bench_distributed.py [--n 100000] [--d 128] [--k 10] [--cpus N]

Both sides use every CPU of this machine: the single call its worker pool, the cluster one task
per CPU. The cluster's start-up is reported apart; the first distributed call also starts the
worker processes, the second reuses them. From the warm run's core-seconds per stored row pair
the script extrapolates to 10,000,000 x 768 on 8 nodes of 32 cores (compute only).
"""

import argparse
import logging
import os
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import orvane_keldra as ok  # noqa: E402
from common import machine_line, print_table  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--d", type=int, default=128)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--cpus", type=int, default=os.cpu_count())
    args = parser.parse_args()

    import ray

    from orvane_keldra import distributed

    rng = np.random.default_rng(0)
    x = rng.normal(size=(args.n, args.d)).astype(np.float32)

    # Ray puts the driver's directory on the workers' path: start it outside the source tree.
    here = os.getcwd()
    os.chdir(tempfile.mkdtemp())
    t0 = time.perf_counter()
    ray.init(num_cpus=args.cpus, include_dashboard=False, logging_level=logging.WARNING)
    t_init = time.perf_counter() - t0
    os.chdir(here)

    # Interleaved, so that a change of load on a shared machine hits both sides.
    singles, runs = [], []
    for _ in range(2):
        t0 = time.perf_counter()
        single = np.asarray(ok.Typicality(x).calculate_typicality(args.k), dtype=np.float32)
        singles.append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        got = distributed.typicality(x, args.k)
        runs.append(time.perf_counter() - t0)
        np.testing.assert_allclose(got, single, rtol=1e-6, atol=0)
    t_single = min(singles)
    t_cold, t_warm = runs
    blocks = -(
        -args.n // distributed._block_rows(None, distributed._Rows(args.n, args.n * args.d, args.d))
    )
    ray.shutdown()

    print(machine_line())
    print(
        f"Ray {ray.__version__}, local cluster of {args.cpus} CPUs, {blocks} blocks; ray.init took {t_init:.1f} s"
    )
    print(
        "one process: "
        + ", ".join(f"{t:.1f} s" for t in singles)
        + "; Ray: "
        + ", ".join(f"{t:.1f} s" for t in runs)
    )
    case = f"Typicality {args.n:,} x {args.d} K={args.k}"
    print_table(
        "Typicality through Ray against one process (same result to 1e-6)",
        [
            (case + ", Ray warm", t_warm, "Typicality (one process)", t_single),
            (case + ", Ray cold", t_cold, "Typicality (one process)", t_single),
        ],
    )
    per_block = t_warm * args.cpus / blocks
    # core-seconds per row pair and dimension, from the warm run
    unit = t_warm * args.cpus / (args.n * args.n * args.d)
    big_n, big_d, cores = 10_000_000, 768, 8 * 32
    estimate = unit * big_n * big_n * big_d / cores
    print(
        f"\n{per_block:.2f} core-seconds per block of {args.n // blocks:,} rows against all {args.n:,};"
    )
    print(
        f"10,000,000 x {big_d} on {cores} cores at the same rate: about {estimate / 3600:,.1f} h of compute"
    )


if __name__ == "__main__":
    main()
