"""Greedy selection against farthest-point sampling peers, and the per-step cost of a strategy mix.

Run: python benchmarks/bench_selection.py [--quick]   (needs the `bench` extra)
"""
import argparse
import time

import numpy as np

from common import best_time, machine_line, print_table

import orvane_keldra as ok

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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for a smoke run")
    args = parser.parse_args()
    import fpsample

    rng = np.random.default_rng(0)
    n, d, k = (20000, 128, 200) if args.quick else (100000, 128, 1000)
    x = rng.normal(size=(n, d)).astype(F)
    print(machine_line())

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
    assert ours[:first] == [int(i) for i in theirs[:first]] == np_picks[:first], "first picks differ"
    case = f"FPS {k} of {n}x{d}"
    print_table(f"Farthest-point selection (first {first} picks agree)", [
        (case, t_ours, "fpsample.fps_sampling", t_fps),
        (case, t_ours, "NumPy gemv loop", t_np),
    ])

    # The mix: 3 objects per sample drawn from a shared pool of object embeddings.
    n_objects, d_obj, classes = (5000, 64, 10) if args.quick else (20000, 64, 10)
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
