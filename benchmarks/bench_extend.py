"""New points placed into a fitted 2-D layout: TwoDimEmbedding.extend_2d_embedding against the
PaCMAP package's and umap-learn's transforms, and against laying all points out together.

Usage: python benchmarks/bench_extend.py [--fitted 50000] [--new 10000] [--d 32] [--spread 0.7]
                                        [--repeat 3]

Data: 20 overlapping Gaussian clusters in `--d` dimensions (centre components N(0, spread^2), unit noise);
`--spread` is chosen so that a held-out point's 10 nearest fitted embeddings vote its label about
nine times in ten. Quality: a held-out point's label voted by the 10 nearest fitted points in the
plane; "placed again": fitted rows placed as new ones, their median move against the median
distance from a layout point to its 10th nearest layout neighbour. Time: the placing call only,
every library fitted first and warmed up by a small call, then one call of each in turn, --repeat
rounds; the median of each library's calls.
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import orvane_keldra as ok  # noqa: E402
from common import machine_line, print_table  # noqa: E402


def vote(ref_points, ref_labels, points, k=10):
    """Label of each point voted by its k nearest reference points (blocks, squared distances)."""
    out = np.empty(len(points), dtype=np.int64)
    rn = (ref_points * ref_points).sum(1)
    for lo in range(0, len(points), 2048):
        p = points[lo : lo + 2048]
        d = rn[None, :] - 2.0 * p @ ref_points.T
        near = np.argpartition(d, k, axis=1)[:, :k]
        out[lo : lo + 2048] = [np.bincount(ref_labels[r], minlength=20).argmax() for r in near]
    return out


def tenth_neighbour(points, sample):
    rn = (points * points).sum(1)
    d = rn[None, :] - 2.0 * points[sample] @ points.T + rn[sample, None]
    return np.median(np.sqrt(np.maximum(np.sort(d, axis=1)[:, 10], 0.0)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--fitted", type=int, default=50_000)
    parser.add_argument("--new", type=int, default=10_000)
    parser.add_argument("--d", type=int, default=32)
    parser.add_argument("--spread", type=float, default=0.7)
    parser.add_argument("--repeat", type=int, default=3, help="rounds of timed calls (median)")
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    n, m = args.fitted, args.new
    centres = rng.normal(size=(20, args.d)) * args.spread
    labels = rng.integers(0, 20, n + m)
    x = (centres[labels] + rng.normal(size=(n + m, args.d))).astype(np.float32)
    fit, new, fit_labels, new_labels = x[:n], x[n:], labels[:n], labels[n:]
    again = rng.choice(n, size=2_000, replace=False)
    print(machine_line())
    space = np.mean(vote(fit, fit_labels, new) == new_labels)
    print(
        f"{n:,} fitted + {m:,} new points, {args.d} dimensions; 10-NN accuracy in the embedding space {space:.3f}"
    )

    rows, quality, placers = [], [], []

    ours = ok.TwoDimEmbedding(fit)
    layout = np.asarray(ours.calculate_2d_embedding())
    placers.append(
        (
            "orvane_keldra extend_2d_embedding",
            layout,
            lambda rows_: ours.extend_2d_embedding(layout, rows_),
        )
    )
    joint = np.asarray(ok.TwoDimEmbedding(x).calculate_2d_embedding())

    import pacmap

    reducer = pacmap.PaCMAP(n_components=2, random_state=0)
    p_layout = reducer.fit_transform(fit)
    placers.append(
        ("pacmap transform", p_layout, lambda rows_: reducer.transform(rows_, basis=fit))
    )

    import umap

    u = umap.UMAP(n_components=2, random_state=0)
    u_layout = u.fit_transform(fit)
    placers.append(("umap-learn transform", u_layout, u.transform))

    # Every library fitted first, then their calls in turn, round after round: a change in the
    # machine's speed during the run reaches all of them alike.
    for _, _, place in placers:
        place(new[:10])
    times = {name: [] for name, _, _ in placers}
    for _ in range(args.repeat):
        for name, _, place in placers:
            t0 = time.perf_counter()
            place(new)
            times[name].append(time.perf_counter() - t0)
    seconds = {name: float(np.median(t)) for name, t in times.items()}
    for name, fitted_layout, place in placers:
        placed = np.asarray(place(new))
        moved = np.asarray(place(fit[again]))
        quality.append(
            (
                name,
                np.mean(vote(fitted_layout, fit_labels, placed) == new_labels),
                np.median(np.linalg.norm(moved - fitted_layout[again], axis=1)),
                tenth_neighbour(fitted_layout, again),
            )
        )
        if name == "orvane_keldra extend_2d_embedding":
            quality.append(
                (
                    "orvane_keldra, all points laid out together",
                    np.mean(vote(joint[:n], fit_labels, joint[n:]) == new_labels),
                    float("nan"),
                    tenth_neighbour(joint[:n], again),
                )
            )
    t_ours = seconds["orvane_keldra extend_2d_embedding"]
    for peer in ("pacmap transform", "umap-learn transform"):
        rows.append((f"place {m:,} into {n:,} x {args.d}", t_ours, peer, seconds[peer]))

    print_table("Placing new points into a fitted layout (the placing call only)", rows)
    print(
        "\n| method | held-out 10-NN accuracy in the plane | fitted rows placed again: median move | median 10th-neighbour distance |"
    )
    print("|---|---:|---:|---:|")
    for name, acc, move, tenth in quality:
        move_text = "" if np.isnan(move) else f"{move:.4g}"
        print(f"| {name} | {acc:.3f} | {move_text} | {tenth:.4g} |")


if __name__ == "__main__":
    main()
