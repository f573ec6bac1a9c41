"""Greedy selection against farthest-point sampling peers, and the per-step cost of a strategy mix.

Run: python benchmarks/bench_selection.py [--quick]   (needs the `bench` extra)
"""

import argparse
import time

import numpy as np

import orvane_keldra as ok
from common import PEAK_SUFFIX, best_time, machine_line, peak_rss_mb_of, print_table

F = np.float32


def numpy_fps(x, k):
    """Farthest-point sampling from index 0 with half squared distances from one gemv per pick."""
    half = np.einsum("ij,ij->i", x, x) * F(0.5)
    min_d = np.full(len(x), np.inf, dtype=F)
    picks = [0]
    for _ in range(k - 1):
        i = picks[-1]
        np.minimum(min_d, half - x @ x[i] + half[i], out=min_d)
        min_d[picks] = -np.inf
        picks.append(int(np.argmax(min_d)))
    return picks


class NumpyMix:
    """Weighting + diversifying + balancing + subpart typicality (mean fold), one step at a time."""

    def __init__(self, weights, emb, dist, target, object_scores, mapping):
        self.weights, self.acc = weights, F(0)
        self.emb, self.half = emb, np.einsum("ij,ij->i", emb, emb) * F(0.5)
        self.min_d = np.full(len(emb), F(1e8), dtype=F)
        self.chosen = []
        self.dist, self.target, self.totals = dist, target, np.zeros(dist.shape[1], dtype=F)
        self.object_scores, self.mapping, self.typ_acc = object_scores, mapping, F(0)

    def inform(self, i):
        self.acc = F(self.acc + self.weights[i])
        row = np.maximum(self.half - self.emb @ self.emb[i] + self.half[i], F(0))
        old = self.min_d[i]
        np.minimum(self.min_d, row, out=self.min_d)
        self.min_d[i] = old
        self.chosen.append(i)
        self.totals = self.totals + self.dist[i]
        for o in self.mapping[i]:
            self.typ_acc = F(self.typ_acc + self.object_scores[o])

    def step(self, selected):
        s = F(self.min_d[self.chosen].sum()) if len(self.chosen) > 1 else F(0)
        u = self.dist + self.totals
        q = u / (u.sum(axis=1, keepdims=True) + F(1e-10))
        b = F(-1) / (np.log(q + F(1e-10)) @ self.target + F(1e-10))
        typ = (self.object_scores[self.mapping] + self.typ_acc).mean(axis=1)
        score = np.zeros(len(self.weights), dtype=F)
        for p in (self.weights + self.acc, self.min_d + s, b, typ):
            score += np.log(np.fmax(p, F(1e-8)))
        score[selected] = np.finfo(F).min
        best = int(np.argmax(score))
        self.inform(best)
        selected.append(best)


def numpy_diversifying(x, k):
    """The diversifying strategy alone as a NumPy loop: one gemv per pick, start value 1e8."""
    half = np.einsum("ij,ij->i", x, x) * F(0.5)
    min_d = np.full(len(x), F(1e8), dtype=F)
    taken = np.zeros(len(x), dtype=bool)
    picks = [0]
    for _ in range(k - 1):
        i = picks[-1]
        taken[i] = True
        old = min_d[i]
        np.minimum(min_d, np.maximum(half - x @ x[i] + half[i], F(0)), out=min_d)
        min_d[i] = old
        picks.append(int(np.argmax(np.where(taken, F(-1), min_d))))
    return picks


def clustered(rng, n, d, clusters):
    centres = rng.normal(size=(clusters, d)).astype(F) * F(4)
    x = centres[rng.integers(0, clusters, n)]
    x += rng.normal(size=(n, d)).astype(F)
    return x


def diversifying_rows(rng, quick):
    """Diversifying alone on clustered data and on one blob, against the NumPy gemv loop; our picks
    are checked against our own plain full pass (every distance, every block of every step)."""
    scale = 20 if quick else 1
    rows = []
    for name, x, k in [
        ("50 clusters", clustered(rng, 1_000_000 // scale, 128, 50), 2000 // scale),
        ("one blob", rng.normal(size=(200_000 // scale, 128)).astype(F), 1000 // scale),
    ]:

        def ours(full=False):
            sel = ok.Selection()
            sel._set_full_pass(full)
            sel.add_diversifying_strategy(x, 1.0)
            return sel.run_selection([], len(x), k)

        t_ours, picks = best_time(ours, repeat=1)
        t_np, np_picks = best_time(lambda: numpy_diversifying(x, k), repeat=1)
        same = picks == ours(full=True)
        # Late in a run the selected-set sum absorbs small differences in f32; the first picks
        # are the same farthest points as NumPy's.
        first = picks[:20] == np_picks[:20]
        rows.append(
            (
                f"{name}, {k} picks of {len(x)}x128 (picks = full pass: {same}; "
                f"first 20 = NumPy: {first})",
                t_ours / k,
                "NumPy gemv loop",
                t_np / k,
            )
        )
    print_table("Diversifying only, seconds per pick (building the strategy included)", rows)


def mix_rows(rng, quick):
    """Four kinds with one-hot labels, and weighting + Dirichlet balancing, per step."""
    n = 50_000 if quick else 1_000_000
    k = 50 if quick else 200
    x = clustered(rng, n, 128, 50)
    weights = rng.uniform(0.1, 2.0, n).astype(F)
    one_hot = np.eye(10, dtype=F)[rng.integers(0, 10, n)]
    dirichlet = rng.dirichlet(np.ones(10), n).astype(F)
    target = rng.dirichlet(np.ones(10)).astype(F)
    objects = rng.normal(size=(20000, 64)).astype(F)
    mapping = rng.integers(0, len(objects), size=(n, 3))
    object_scores = np.array(ok.Typicality(objects).calculate_typicality(10), dtype=F)

    def four_kinds(full):
        sel = ok.Selection()
        sel._set_full_pass(full)
        sel.add_weighting_strategy(weights, 1.0)
        sel.add_diversifying_strategy(x, 1.0)
        sel.add_balancing_strategy(one_hot, target, 1.0)
        sel.add_subpart_typicality_strategy(objects, mapping.tolist(), 1.0, 10)
        return sel

    sel = four_kinds(False)
    t0 = time.perf_counter()
    ours = sel.run_selection([], n, k)
    t_ours = (time.perf_counter() - t0) / k
    same = ours == four_kinds(True).run_selection([], n, k)
    mix = NumpyMix(weights, x, one_hot, target, object_scores, mapping)
    selected, np_steps = [], min(k, 30)
    t0 = time.perf_counter()
    for _ in range(np_steps):
        mix.step(selected)
    t_np = (time.perf_counter() - t0) / np_steps
    rows = [
        (
            f"4 kinds, one-hot, N={n} (picks = full pass: {same}; first 10 = NumPy: "
            f"{ours[:10] == selected[:10]})",
            t_ours,
            "NumPy loop of the step",
            t_np,
        )
    ]

    sel = ok.Selection()
    sel.add_weighting_strategy(weights, 1.0)
    sel.add_balancing_strategy(dirichlet, target, 1.0)
    t0 = time.perf_counter()
    sel.run_selection([], n, k // 4)
    t_ours = (time.perf_counter() - t0) / (k // 4)
    acc, totals = F(0), np.zeros(10, dtype=F)
    t0 = time.perf_counter()
    picked = []
    for _ in range(np_steps):
        u = dirichlet + totals
        q = u / (u.sum(axis=1, keepdims=True) + F(1e-10))
        b = F(-1) / (np.log(q + F(1e-10)) @ target + F(1e-10))
        score = np.log(np.fmax(weights + acc, F(1e-8))) + np.log(np.fmax(b, F(1e-8)))
        score[picked] = np.finfo(F).min
        i = int(np.argmax(score))
        picked.append(i)
        acc, totals = F(acc + weights[i]), totals + dirichlet[i]
    t_np = (time.perf_counter() - t0) / np_steps
    rows.append((f"weighting + Dirichlet balancing, N={n}", t_ours, "NumPy loop of the step", t_np))
    print_table("Strategy mixes, seconds per step", rows)


LARGE = """
import time, numpy as np, orvane_keldra as ok
rng = np.random.default_rng(1)
n, d, k = {n}, {d}, {k}
# 50 clusters, built in place in float32 so that the input is the only large array.
x = (rng.normal(size=(50, d)) * 4).astype(np.float32)[rng.integers(0, 50, n)]
for i in range(0, n, 65536):
    x[i:i + 65536] += rng.standard_normal(size=x[i:i + 65536].shape, dtype=np.float32)
sel = ok.Selection()
t0 = time.perf_counter()
sel.add_diversifying_strategy(x, 1.0)
t1 = time.perf_counter()
sel.run_selection([], n, k)
print(f"{{t1 - t0:.2f}} {{time.perf_counter() - t1:.2f}}")
"""


def large_rows(quick):
    """Long runs: time and peak memory, each in its own interpreter."""
    scale = 20 if quick else 1
    print("\nLong diversifying runs (50 clusters, own process; the peak includes the input array)")
    print("| case | build (s) | run (s) | peak RSS (MB) | matrix (MB) |")
    print("|---|---|---|---|---|")
    for n, d, k in [
        (1_000_000 // scale, 128, 10_000 // scale),
        (1_000_000 // scale, 768, 1000 // scale),
    ]:
        out, peak = peak_rss_mb_of(LARGE.format(n=n, d=d, k=k) + PEAK_SUFFIX)
        build, run = out.split()
        print(f"| {k} picks of {n}x{d} | {build} | {run} | {peak:.0f} | {n * d * 4 / 2**20:.0f} |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for a smoke run")
    parser.add_argument("--only", choices=["fps", "diversifying", "mix", "large"], default=None)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    print(machine_line())
    if args.only in (None, "diversifying"):
        diversifying_rows(rng, args.quick)
    if args.only in (None, "mix"):
        mix_rows(rng, args.quick)
    if args.only in (None, "large"):
        large_rows(args.quick)
    if args.only in (None, "fps"):
        fps_rows(rng, args.quick)


def fps_rows(rng, quick):
    import fpsample

    n, d, k = (20000, 128, 200) if quick else (100000, 128, 1000)
    x = rng.normal(size=(n, d)).astype(F)

    def ours_fps():
        sel = ok.Selection()
        sel.add_diversifying_strategy(x, 1.0)
        return sel.run_selection([], n, k)

    t_ours, ours = best_time(ours_fps, repeat=1)
    t_fps, theirs = best_time(lambda: fpsample.fps_sampling(x, k, start_idx=0), repeat=1)
    t_np, np_picks = best_time(lambda: numpy_fps(x, k), repeat=1)
    # Far into the run the selected-set sum absorbs small distance differences in f32, so only
    # the first picks are expected to be the exact farthest points.
    first = 20
    assert (
        ours[:first] == [int(i) for i in theirs[:first]] == np_picks[:first]
    ), "first picks differ"
    case = f"FPS {k} of {n}x{d}"
    print_table(
        f"Farthest-point selection (first {first} picks agree)",
        [
            (case, t_ours, "fpsample.fps_sampling", t_fps),
            (case, t_ours, "NumPy gemv loop", t_np),
        ],
    )

    # The mix: 3 objects per sample drawn from a shared pool of object embeddings.
    n_objects, d_obj, classes = (5000, 64, 10) if quick else (20000, 64, 10)
    weights = rng.uniform(0.1, 2.0, n).astype(F)
    dist = rng.dirichlet(np.ones(classes), n).astype(F)
    target = rng.dirichlet(np.ones(classes)).astype(F)
    objects = rng.normal(size=(n_objects, d_obj)).astype(F)
    mapping = rng.integers(0, n_objects, size=(n, 3))

    t0 = time.perf_counter()
    sel = ok.Selection()
    sel.add_weighting_strategy(weights, 1.0)
    sel.add_diversifying_strategy(x, 1.0)
    sel.add_balancing_strategy(dist, target, 1.0)
    sel.add_subpart_typicality_strategy(objects, mapping.tolist(), 1.0, 10)
    t_build = time.perf_counter() - t0
    t0 = time.perf_counter()
    ours = sel.run_selection([], n, k)
    t_ours_step = (time.perf_counter() - t0) / k

    object_scores = np.array(ok.Typicality(objects).calculate_typicality(10), dtype=F)
    mix = NumpyMix(weights, x, dist, target, object_scores, mapping)
    np_steps = min(k, 100)
    selected = []
    t0 = time.perf_counter()
    for _ in range(np_steps):
        mix.step(selected)
    t_np_step = (time.perf_counter() - t0) / np_steps
    agree = ours[:10] == selected[:10]
    print_table(
        f"Strategy mix, seconds per step (ours over {k} steps, NumPy over {np_steps}; "
        f"strategies built in {t_build:.2f} s; first 10 picks agree: {agree})",
        [(f"4 strategies, N={n}", t_ours_step, "NumPy vectorised loop", t_np_step)],
    )


if __name__ == "__main__":
    main()
