"""This build's layouts against another build of the module (another virtual environment), run
alternately in fresh processes on the same data: wall time, 10-NN accuracy, layout digest.

Run: python benchmarks/bench_against_build.py --baseline OTHER/.venv/bin/python [--repeats 3] [--huge]
"""

import argparse
import statistics
import subprocess
import sys
from pathlib import Path

from common import machine_line

HERE = Path(__file__).resolve().parent

RUN = """
import hashlib, sys, time
import numpy as np
sys.path.insert(0, {here!r})
from bench_pacmap import knn_accuracy, mixture
import orvane_keldra as ok
n, d, seed, spread = {n}, {d}, {seed}, {spread}
x, labels = mixture(n, d, 20, seed=seed, spread=spread)
t0, c0 = time.perf_counter(), time.process_time()
y = np.asarray(ok.TwoDimEmbedding(x).calculate_2d_embedding(), dtype=np.float32)
t, c = time.perf_counter() - t0, time.process_time() - c0
print(t, c, knn_accuracy(y, labels), hashlib.sha256(y.tobytes()).hexdigest()[:12])
"""

# The layouts of bench_pacmap.py (50,000 x 100 twice, 200,000 x 32) and of its scaling table.
DATA = [
    ("mixture 50000x100", 50000, 100, 0, 0.4),
    ("separated 50000x100", 50000, 100, 1, 3.0),
    ("mixture 200000x32", 200000, 32, 2, 3.0),
]
HUGE = [("mixture 1000000x32", 1000000, 32, 1, 0.4)]


def run(python, n, d, seed, spread):
    code = RUN.format(here=str(HERE), n=n, d=d, seed=seed, spread=spread)
    out = subprocess.run(
        [python, "-c", code], check=True, capture_output=True, text=True, cwd="/"
    ).stdout
    t, cpu, acc, digest = out.split()
    return float(t), float(cpu), float(acc), digest


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument(
        "--baseline", required=True, help="python of the environment with the other build"
    )
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--huge", action="store_true", help="also 1,000,000 x 32 (minutes per run)")
    parser.add_argument("--only", help="run only data sets whose name contains this text")
    args = parser.parse_args()
    builds = [("this", sys.executable), ("baseline", args.baseline)]
    data = DATA + (HUGE if args.huge else [])
    if args.only:
        data = [entry for entry in data if args.only in entry[0]]
    print(
        f"This build against a baseline build ({machine_line()}); times are medians of "
        f"{args.repeats} alternating runs, min-max in brackets; cpu: seconds of all threads, less moved by other "
        f"load on a shared machine"
    )
    print(
        f"| {'data':<22} | {'build':<8} | {'time (s)':>22} | {'cpu (s)':>8} | {'10-NN acc':>9} | {'digests':<28} |"
    )
    print(f"|{'-' * 24}|{'-' * 10}|{'-' * 24}|{'-' * 10}|{'-' * 11}|{'-' * 30}|")
    for name, n, d, seed, spread in data:
        results = {label: [] for label, _ in builds}
        for r in range(args.repeats):
            order = builds if r % 2 == 0 else builds[::-1]
            for label, python in order:
                results[label].append(run(python, n, d, seed, spread))
        medians, cpus = {}, {}
        for label, _ in builds:
            times = [t for t, _, _, _ in results[label]]
            medians[label] = statistics.median(times)
            cpus[label] = statistics.median(c for _, c, _, _ in results[label])
            acc = statistics.median(a for _, _, a, _ in results[label])
            digests = " ".join(sorted({g for _, _, _, g in results[label]}))
            spread_text = f"{medians[label]:.1f} [{min(times):.1f}-{max(times):.1f}]"
            print(
                f"| {name:<22} | {label:<8} | {spread_text:>22} | {cpus[label]:>8.1f} | {acc:>9.4f} | "
                f"{digests:<28} |",
                flush=True,
            )
        print(
            f"| {name:<22} | {'ratio':<8} | {medians['this'] / medians['baseline']:>21.3f}x | "
            f"{cpus['this'] / cpus['baseline']:>7.3f}x | {'':>9} | {'':<28} |",
            flush=True,
        )


if __name__ == "__main__":
    main()
