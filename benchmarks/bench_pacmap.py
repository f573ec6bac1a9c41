"""TwoDimEmbedding against the `pacmap` package and umap-learn: wall time and how well the 2-D
points keep the classes apart (5-fold CV accuracy of a 10-NN classifier on the layout).

Run: python benchmarks/bench_pacmap.py [--quick] [--large] [--million]   (needs the `bench` extra)
"""
import argparse
import logging
import os
import re
import time

import numpy as np

from common import PEAK_SUFFIX, machine_line, peak_rss_mb_of

import orvane_keldra as ok


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
            value = text[len("Elapsed time: "):]
            unit = re.sub(r"[0-9.]", "", value)
            self.seconds = float(value[:-len(unit)]) * {"s": 1, "ms": 1e-3, "µs": 1e-6, "ns": 1e-9}[unit]


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


def knn_accuracy(y, labels):
    from sklearn.model_selection import cross_val_score
    from sklearn.neighbors import KNeighborsClassifier

    return cross_val_score(KNeighborsClassifier(n_neighbors=10), y, labels, cv=5).mean()


def timed(fn, x):
    t0 = time.perf_counter()
    y = fn(x)
    return time.perf_counter() - t0, y


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller mixture, for a smoke run")
    parser.add_argument("--no-umap", action="store_true", help="leave umap-learn out")
    parser.add_argument("--large", action="store_true",
                        help="also lay out a 200,000 x 32 mixture of 20 clusters (ours and pacmap)")
    parser.add_argument("--million", action="store_true",
                        help="also lay out a 1,000,000 x 32 mixture (ours only: time, peak memory)")
    args = parser.parse_args()
    from sklearn.datasets import load_digits

    methods = [("orvane_keldra", ours), ("pacmap", pacmap_peer)]
    if not args.no_umap:
        methods.append(("umap-learn", umap_peer))
    digits = load_digits()
    warm = digits.data[:300].astype(np.float32)
    for _, fn in methods:  # JIT compilation and first-use costs stay out of the timings
        fn(warm)

    n_mix = 10000 if args.quick else 50000
    datasets = [("digits 1797x64", digits.data.astype(np.float32), digits.target),
                (f"mixture {n_mix}x100, 20 clusters", *mixture(n_mix, 100, 20, seed=0))]
    if args.large:
        datasets.append(("mixture 200000x32, 20 clusters", *mixture(200000, 32, 20, seed=2, spread=3.0)))
    threads = int(os.environ.get("RAYON_NUM_THREADS", os.cpu_count()))
    optimiser_lines = []
    print(f"PaCMAP layouts ({machine_line()})")
    print(f"| {'data':<32} | {'method':<14} | {'time (s)':>9} | {'10-NN acc':>9} | {'ours/peer time':>14} |")
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
                optimiser_lines.append(f"{name}: optimiser {TIMING.seconds:.2f} s of {t:.2f} s, "
                                       f"{TIMING.pairs} pairs, {per_pair:.2f} ns per pair per thread")
            ratio = "" if method == "orvane_keldra" else f"{t_ours / t:.2f}x"
            print(f"| {name:<32} | {method:<14} | {t:>9.2f} | {acc:>9.3f} | {ratio:>14} |", flush=True)
        print(f"| {name:<32} | {'raw data':<14} | {'':>9} | {knn_accuracy(x, labels):>9.3f} | {'':>14} |")
    print("\n" + "\n".join(optimiser_lines))

    if args.million:
        code = """
import time, numpy as np, orvane_keldra as ok
rng = np.random.default_rng(1)
centres = rng.normal(scale=0.4, size=(20, 32))
x = (centres[rng.integers(0, 20, size=1_000_000)] + rng.normal(size=(1_000_000, 32))).astype(np.float32)
t0 = time.perf_counter(); y = ok.TwoDimEmbedding(x).calculate_2d_embedding(); print(time.perf_counter() - t0)
""" + PEAK_SUFFIX
        out, rss = peak_rss_mb_of(code)
        print(f"\nmixture 1000000x32: {float(out):.1f} s, peak RSS {rss:.0f} MB "
              f"(input {1_000_000 * 32 * 4 / 2**20:.0f} MB)")


if __name__ == "__main__":
    main()
