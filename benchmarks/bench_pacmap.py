"""TwoDimEmbedding against the `pacmap` package and umap-learn: wall time and how well the 2-D
points keep the classes apart (5-fold CV accuracy of a 10-NN classifier on the layout).

Run: python benchmarks/bench_pacmap.py [--quick] [--large] [--split]
         [--scaling [--sizes N,..] [--baseline PYTHON] [--rounds R]]   (needs the `bench` extra)
"""

import argparse
import logging
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import orvane_keldra as ok
from common import PEAK_SUFFIX, machine_line


def mixture(n, d, clusters, seed, spread=0.4):
    rng = np.random.default_rng(seed)
    centres = rng.normal(scale=spread, size=(clusters, d))
    labels = rng.integers(0, clusters, size=n)
    x = centres[labels] + rng.normal(size=(n, d))
    return x.astype(np.float32), labels


class OptimiserTiming(logging.Handler):
    """Reads the pair count and the optimiser's elapsed time from the layout's debug events."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.pairs = self.seconds = None

    def emit(self, record):
        text = record.getMessage()
        if text.startswith("Pair shapes"):
            self.pairs = sum(int(rows) for rows in re.findall(r"\[(\d+), 2\]", text))
        elif text.startswith("Elapsed time: "):
            value = text[len("Elapsed time: ") :]
            unit = re.sub(r"[0-9.]", "", value)
            self.seconds = (
                float(value[: -len(unit)]) * {"s": 1, "ms": 1e-3, "µs": 1e-6, "ns": 1e-9}[unit]
            )


TIMING = OptimiserTiming()


def ours(x):
    logger = logging.getLogger("orvane_keldra")
    logger.setLevel(logging.DEBUG)
    logger.addHandler(TIMING)
    try:
        return np.asarray(ok.TwoDimEmbedding(x).calculate_2d_embedding(), dtype=np.float32)
    finally:
        logger.removeHandler(TIMING)


def pacmap_peer(x):
    import pacmap

    return pacmap.PaCMAP(n_components=2).fit_transform(x)


def umap_peer(x):
    import umap

    return umap.UMAP(n_components=2).fit_transform(x)


def knn_accuracy(y, labels, sample=5000):
    """5-fold accuracy of a 10-NN classifier, on the same 5,000-point subsample for every method."""
    from sklearn.model_selection import cross_val_score
    from sklearn.neighbors import KNeighborsClassifier

    if len(y) > sample:
        keep = np.random.default_rng(0).choice(len(y), sample, replace=False)
        y, labels = y[keep], labels[keep]
    return cross_val_score(KNeighborsClassifier(n_neighbors=10), y, labels, cv=5).mean()


def timed(fn, x):
    t0 = time.perf_counter()
    y = fn(x)
    return time.perf_counter() - t0, y


def native_stage_timer():
    """Builds the native stage timer of the neighbour search (CMake, into build/bench)."""
    root = Path(__file__).resolve().parent.parent
    build = root / "build" / "bench"
    subprocess.run(
        [
            "cmake",
            "-S",
            str(root),
            "-B",
            str(build),
            "-G",
            "Ninja",
            "-DCMAKE_BUILD_TYPE=Release",
            "-DORVANE_BUILD_BENCHMARKS=ON",
            f"-DPython_EXECUTABLE={sys.executable}",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    subprocess.run(
        ["cmake", "--build", str(build), "--target", "orvane_neighbors_split"],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    return build / "orvane_neighbors_split"


def pair_search_split(n, d):
    """Our neighbour search stage by stage, against USearch's own Python build on the same
    preprocessed vectors with the same index options, then our pair samplers and grouping; all
    with the layout's own neighbour counts for n."""
    from usearch.index import Index

    timer = native_stage_timer()
    x, _ = mixture(n, d, 20, seed=0)
    threads = int(os.environ.get("RAYON_NUM_THREADS", os.cpu_count()))
    with tempfile.TemporaryDirectory() as tmp:
        raw, work = Path(tmp) / "x.f32", Path(tmp) / "work.f32"
        x.tofile(raw)
        out = subprocess.run(
            [str(timer), str(raw), str(n), str(d), "0", str(work)],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
        ours = {key: float(value) for key, value in (line.split() for line in out.splitlines())}
        xw = np.fromfile(work, dtype=np.float32).reshape(n, d)
    k = min(n - 1, int(ours["neighbors"]) + 50)
    cpu0 = time.process_time()
    index = Index(
        ndim=d,
        metric="l2sq",
        dtype="bf16",
        connectivity=16,
        expansion_add=128,
        expansion_search=64,
        multi=True,
    )
    t0 = time.perf_counter()
    index.add(np.arange(n, dtype=np.uint64), xw, threads=threads)
    t_add = time.perf_counter() - t0
    # The Python build has no filtered search: one match more, the sample itself dropped later.
    t0 = time.perf_counter()
    index.search(xw, k + 1, threads=threads)
    t_search = time.perf_counter() - t0
    t_cpu = time.process_time() - cpu0
    print(
        f"\nPair search {n}x{d}, {k} candidates per sample ({machine_line()}); "
        f"cpu: seconds of all threads"
    )
    print(f"| {'stage':<8} | {'ours (s)':>9} | {'usearch (s)':>11} | {'ours/peer':>9} |")
    print(f"|{'-' * 10}|{'-' * 11}|{'-' * 13}|{'-' * 11}|")
    rows = (
        ("add", t_add),
        ("search", t_search),
        ("rank", None),
        ("total", t_add + t_search),
        ("cpu", t_cpu),
        ("mid-near", None),
        ("far", None),
        ("group", None),
    )
    for stage, theirs in rows:
        peer = f"{theirs:>11.2f}" if theirs else f"{'':>11}"
        ratio = f"{ours[stage] / theirs:>8.2f}x" if theirs else f"{'':>9}"
        print(f"| {stage:<8} | {ours[stage]:>9.2f} | {peer} | {ratio} |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller mixture, for a smoke run")
    parser.add_argument("--no-umap", action="store_true", help="leave umap-learn out")
    parser.add_argument(
        "--large",
        action="store_true",
        help="also lay out a 200,000 x 32 mixture of 20 clusters (ours and pacmap)",
    )
    parser.add_argument(
        "--scaling",
        action="store_true",
        help="also time whole layouts of 10,000 to 1,000,000 points in separate processes, "
        "with peak memory (pacmap up to 200,000)",
    )
    parser.add_argument(
        "--baseline",
        metavar="PYTHON",
        help="with --scaling: an interpreter with another build of ours, " "run alongside",
    )
    parser.add_argument(
        "--sizes", help="with --scaling: only the scaling table, for these " "comma-separated sizes"
    )
    parser.add_argument(
        "--rounds", type=int, default=1, help="with --scaling: runs per size and build"
    )
    parser.add_argument(
        "--split",
        action="store_true",
        help="only the neighbour search at 200,000 x 32 and 50,000 x 100, stage by stage, "
        "against USearch",
    )
    args = parser.parse_args()
    if args.split:
        for n, d in ((50000, 32),) if args.quick else ((200000, 32), (50000, 100)):
            pair_search_split(n, d)
        return
    if args.scaling and args.sizes:
        scaling_table(
            [int(v) for v in args.sizes.split(",")], baseline=args.baseline, rounds=args.rounds
        )
        return
    from sklearn.datasets import load_digits

    methods = [("orvane_keldra", ours), ("pacmap", pacmap_peer)]
    if not args.no_umap:
        methods.append(("umap-learn", umap_peer))
    digits = load_digits()
    warm = digits.data[:300].astype(np.float32)
    for _, fn in methods:  # JIT compilation and first-use costs stay out of the timings
        fn(warm)

    n_mix = 10000 if args.quick else 50000
    datasets = [
        ("digits 1797x64", digits.data.astype(np.float32), digits.target),
        (f"mixture {n_mix}x100, 20 clusters", *mixture(n_mix, 100, 20, seed=0)),
        (f"separated {n_mix}x100, 20 clusters", *mixture(n_mix, 100, 20, seed=1, spread=3.0)),
    ]
    if args.large:
        datasets.append(
            ("mixture 200000x32, 20 clusters", *mixture(200000, 32, 20, seed=2, spread=3.0))
        )
    threads = int(os.environ.get("RAYON_NUM_THREADS", os.cpu_count()))
    optimiser_lines = []
    print(f"PaCMAP layouts ({machine_line()})")
    print(
        f"| {'data':<32} | {'method':<14} | {'time (s)':>9} | {'10-NN acc':>9} | {'ours/peer time':>14} |"
    )
    print(f"|{'-' * 34}|{'-' * 16}|{'-' * 11}|{'-' * 11}|{'-' * 16}|")
    for name, x, labels in datasets:
        t_ours = None
        for method, fn in methods:
            if method == "umap-learn" and len(x) > 100000:
                continue
            t, y = timed(fn, x)
            assert y.shape == (len(x), 2) and np.isfinite(y).all(), f"{method}: bad layout"
            acc = knn_accuracy(y, labels)
            if t_ours is None:
                t_ours = t
                per_pair = TIMING.seconds * threads / (450 * TIMING.pairs) * 1e9
                optimiser_lines.append(
                    f"{name}: optimiser {TIMING.seconds:.2f} s of {t:.2f} s, "
                    f"{TIMING.pairs} pairs, {per_pair:.2f} ns per pair per thread"
                )
            ratio = "" if method == "orvane_keldra" else f"{t_ours / t:.2f}x"
            print(
                f"| {name:<32} | {method:<14} | {t:>9.2f} | {acc:>9.3f} | {ratio:>14} |", flush=True
            )
        print(
            f"| {name:<32} | {'raw data':<14} | {'':>9} | {knn_accuracy(x, labels):>9.3f} | {'':>14} |"
        )
    print("\n" + "\n".join(optimiser_lines))

    if args.scaling:
        scaling_table(
            (10000, 50000) if args.quick else (10000, 50000, 200000, 1000000),
            baseline=args.baseline,
            rounds=args.rounds,
        )


# One fresh process per run, so that peak memory is the run's own. The peer compiles its kernels
# on first use: a small warm-up fit keeps that out of its time.
SCALING_RUN = """
import logging, re, time, numpy as np
rng = np.random.default_rng(1)
centres = rng.normal(scale=0.4, size=(20, 32))
# drawn in slices, so that float64 temporaries do not set the peak
x = np.empty(({n}, 32), dtype=np.float32)
for s in range(0, {n}, 100000):
    e = min({n}, s + 100000)
    x[s:e] = centres[rng.integers(0, 20, size=e - s)] + rng.normal(size=(e - s, 32))
seen = {{}}
if "{method}" == "pacmap":
    import pacmap
    pacmap.PaCMAP(n_components=2).fit_transform(x[:500])
    run = lambda: pacmap.PaCMAP(n_components=2).fit_transform(x)
else:
    import orvane_keldra as ok
    class Stages(logging.Handler):
        def emit(self, record):
            text = record.getMessage()
            if text.startswith("Pair shapes"):
                seen["pairs"] = sum(int(r) for r in re.findall(r"\\[(\\d+), 2\\]", text))
                seen["cpu0"] = time.process_time()
            elif text.startswith("Elapsed time: "):
                value = text[len("Elapsed time: "):]
                unit = re.sub(r"[0-9.]", "", value)
                scale = {{"s": 1, "ms": 1e-3, "µs": 1e-6, "ns": 1e-9}}[unit]
                seen["optimiser"] = float(value[:-len(unit)]) * scale
                seen["cpu"] = time.process_time() - seen["cpu0"]
    logger = logging.getLogger("orvane_keldra")
    logger.setLevel(logging.DEBUG)
    logger.addHandler(Stages())
    run = lambda: ok.TwoDimEmbedding(x).calculate_2d_embedding()
t0 = time.perf_counter(); run()
print(time.perf_counter() - t0, seen.get("optimiser", 0), seen.get("cpu", 0), seen.get("pairs", 0))
"""


def run_scaling(python, n, method):
    """(seconds, optimiser seconds, optimiser CPU seconds, pairs, peak MB) of one layout in a fresh
    `python` process."""
    code = SCALING_RUN.format(n=n, method=method) + PEAK_SUFFIX
    proc = subprocess.run([python, "-c", code], capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr)
    out, _, rss = proc.stdout.rpartition("PEAK_RSS_KB=")
    t, opt, cpu, pairs = out.split()
    return float(t), float(opt), float(cpu), int(pairs), int(rss) / 1024.0


def scaling_table(sizes, peer_limit=200000, baseline=None, rounds=1):
    """Time and peak resident memory of whole layouts of a 32-dimensional mixture, ours against
    pacmap (up to peer_limit points; beyond, pacmap takes too long) and, given `baseline` (an
    interpreter with another build of ours), against that build. The optimiser's time (pair
    grouping included) comes from the layout's debug events; ns per pair
    counts every worker's wall time, cpu ns per pair the process's CPU time over the same span,
    which a loaded machine disturbs less. pacmap runs in the first round only."""
    threads = int(os.environ.get("RAYON_NUM_THREADS", os.cpu_count()))
    print(
        f"\nScaling, mixture of 20 clusters in 32 dimensions ({machine_line()}, "
        f"load average {os.getloadavg()[0]:.1f} at the start)"
    )
    heads = (
        ("N", 9),
        ("build", -8),
        ("total (s)", 9),
        ("optimiser (s)", 13),
        ("before it (s)", 13),
        ("ns/pair", 7),
        ("cpu ns/pair", 11),
        ("peak MB", 7),
        ("pacmap (s)", 10),
        ("pacmap MB", 9),
        ("/pacmap", 7),
    )
    print("| " + " | ".join(h.ljust(-w) if w < 0 else h.rjust(w) for h, w in heads) + " |")
    print("|" + "|".join("-" * (abs(w) + 2) for _, w in heads) + "|")
    builds = [("this", sys.executable)] + ([("baseline", baseline)] if baseline else [])
    for n in sizes:
        for r in range(rounds):
            peer = None
            if n <= peer_limit and r == 0:
                pt, _, _, _, prss = run_scaling(sys.executable, n, "pacmap")
                peer = (pt, prss)
            # Alternate the builds, and their order from round to round, so that a change of load
            # hits both.
            for name, python in builds if r % 2 == 0 else builds[::-1]:
                t, opt, cpu, pairs, rss = run_scaling(python, n, "ours")
                ns = opt * threads / (450 * pairs) * 1e9
                cpu_ns = cpu / (450 * pairs) * 1e9
                p = (
                    f"{peer[0]:>10.1f} | {peer[1]:>9.0f} | {t / peer[0]:>6.2f}x"
                    if peer
                    else f"{'':>10} | {'':>9} | {'':>7}"
                )
                print(
                    f"| {n:>9,} | {name:<8} | {t:>9.1f} | {opt:>13.1f} | {t - opt:>13.1f} | "
                    f"{ns:>7.2f} | {cpu_ns:>11.2f} | {rss:>7.0f} | {p} |",
                    flush=True,
                )
    print(f"load average {os.getloadavg()[0]:.1f} at the end")


if __name__ == "__main__":
    main()
