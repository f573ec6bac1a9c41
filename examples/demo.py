"""Curating scikit-learn's handwritten digits with orvane_keldra.

Scores every image by typicality, checks similarity against a few query images, selects 100
images that are typical, diverse and balanced over the ten digits, lays all images out in 2-D,
places one image in ten, held out of a second layout, into that layout afterwards, and draws the
layouts with the selection and the placed images marked, next to the per-class counts.
"""

import argparse
import pathlib
import time

import numpy as np
from sklearn.datasets import load_digits

import orvane_keldra as ok


def timed(label, fn, timings):
    t0 = time.perf_counter()
    result = fn()
    timings.append((label, time.perf_counter() - t0))
    return result


def draw(path, layout, labels, chosen, counts, random_counts, held):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax, grown, bars) = plt.subplots(
        1, 3, figsize=(19, 6), gridspec_kw={"width_ratios": [2.2, 2.2, 1]}
    )
    fitted, fitted_labels, placed, placed_labels = held
    grown.scatter(fitted[:, 0], fitted[:, 1], c=fitted_labels, cmap="tab10", s=6, alpha=0.35,
                  vmin=0, vmax=9)  # fmt: skip
    grown.scatter(placed[:, 0], placed[:, 1], c=placed_labels, cmap="tab10", s=40, marker="x",
                  linewidths=1.4, vmin=0, vmax=9)  # fmt: skip
    grown.set_title(
        f"{len(placed)} held-out digits (x) placed into the layout of the other {len(fitted):,}"
    )
    grown.set_xticks([])
    grown.set_yticks([])
    points = ax.scatter(layout[:, 0], layout[:, 1], c=labels, cmap="tab10", s=6, alpha=0.55)
    ax.scatter(
        layout[chosen, 0],
        layout[chosen, 1],
        facecolors="none",
        edgecolors="black",
        s=60,
        linewidths=1.2,
        label=f"selected ({len(chosen)})",
    )
    ax.legend(
        *points.legend_elements(),
        title="digit",
        loc="upper left",
        bbox_to_anchor=(1.0, 1.0),
        fontsize=8,
        title_fontsize=9,
    )
    ax.set_title("2-D layout of 1,797 digits (PaCMAP), selection circled")
    ax.set_xticks([])
    ax.set_yticks([])
    fig.legend(*ax.get_legend_handles_labels(), loc="lower left")
    classes = np.arange(10)
    bars.bar(classes - 0.2, counts, width=0.4, label="orvane_keldra selection")
    bars.bar(classes + 0.2, random_counts, width=0.4, label="random selection", color="lightgray")
    bars.axhline(10, color="black", linestyle=":", linewidth=1, label="uniform target")
    bars.set_xticks(classes)
    bars.set_xlabel("digit")
    bars.set_ylabel("images selected")
    bars.set_title("Per-class counts of 100 selected images")
    bars.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument(
        "--out", default=str(pathlib.Path(__file__).with_name("digits_selection.png"))
    )
    args = parser.parse_args()

    digits = load_digits()
    x = (digits.data / 16.0).astype(np.float32)
    y = digits.target
    n = len(x)
    timings = []
    print(f"digits: {n} images of {x.shape[1]} pixels, {len(set(y))} classes")

    typicality = np.array(
        timed("typicality (K=10)", lambda: ok.Typicality(x).calculate_typicality(10), timings)
    )
    print(
        f"typicality: {typicality.min():.3f} .. {typicality.max():.3f}; most typical image is a "
        f"{y[typicality.argmax()]}, least typical a {y[typicality.argmin()]}"
    )

    queries = x[y == 3][:5]
    similarity = np.array(
        timed(
            "similarity to five 3s", lambda: ok.Similarity(x).calculate_similarity(queries), timings
        )
    )
    top = np.argsort(-similarity)[:50]
    print(
        f"similarity: of the 50 images closest to five images of a 3, {np.sum(y[top] == 3)} are 3s"
    )

    one_hot = np.eye(10, dtype=np.float32)[y]
    selection = ok.Selection()
    selection.add_subpart_typicality_strategy(x, [[i] for i in range(n)], 1.0, 10)
    selection.add_diversifying_strategy(x, 1.0)
    selection.add_balancing_strategy(one_hot, [0.1] * 10, 2.0)
    chosen = timed("selection of 100", lambda: selection.run_selection([], n, 100), timings)
    counts = np.bincount(y[chosen], minlength=10)
    random_counts = np.bincount(
        y[np.random.default_rng(0).choice(n, 100, replace=False)], minlength=10
    )
    print(
        f"selection: per-class counts {counts.tolist()} (random 100: {random_counts.tolist()}); "
        f"mean typicality {typicality[chosen].mean():.3f} vs {typicality.mean():.3f} overall"
    )

    layout = np.array(
        timed("2-D layout", lambda: ok.TwoDimEmbedding(x).calculate_2d_embedding(), timings)
    )
    # A layout that grows: one image in ten held out, the rest laid out, then the held-out ones
    # placed into that layout, each by its own pixels alone.
    held_out = np.arange(n) % 10 == 0
    rest = ok.TwoDimEmbedding(x[~held_out])
    rest_layout = np.array(
        timed(f"2-D layout of {np.sum(~held_out)}", rest.calculate_2d_embedding, timings)
    )
    placed = np.array(
        timed(
            f"placing {np.sum(held_out)} more",
            lambda: rest.extend_2d_embedding(rest_layout, x[held_out]),
            timings,
        )
    )
    d = ((placed[:, None, :] - rest_layout[None, :, :]) ** 2).sum(-1)
    voted = [np.bincount(y[~held_out][r], minlength=10).argmax() for r in np.argsort(d, 1)[:, :10]]
    print(
        f"layout: {np.mean(voted == y[held_out]) * 100:.0f}% of the {np.sum(held_out)} held-out "
        "images placed among their own digit (by their 10 nearest placed neighbours)"
    )
    held = (rest_layout, y[~held_out], placed, y[held_out])
    timed(
        "picture",
        lambda: draw(args.out, layout, y, chosen, counts, random_counts, held),
        timings,
    )

    print("\ntimings:")
    for label, seconds in timings:
        print(f"  {label:<24} {seconds * 1000:8.1f} ms")
    print(f"\npicture: {args.out}")


if __name__ == "__main__":
    main()
