"""Curating scikit-learn's handwritten digits with orvane_keldra.

Scores every image by typicality, scores images against a few query images by similarity,
selects a class-balanced, diverse and typical subset, and lays all images out in 2-D.
"""
import time

import numpy as np
from sklearn.datasets import load_digits

import orvane_keldra as ok


def timed(label, fn, timings):
    t0 = time.perf_counter()
    result = fn()
    timings.append((label, time.perf_counter() - t0))
    return result


def main():
    digits = load_digits()
    x = (digits.data / 16.0).astype(np.float32)
    y = digits.target
    n = len(x)
    timings = []
    print(f"digits: {n} images of {x.shape[1]} pixels, {len(set(y))} classes")

    typicality = np.array(timed("typicality (K=10)", lambda: ok.Typicality(x).calculate_typicality(10), timings))
    print(f"most typical image is a {y[typicality.argmax()]}, least typical a {y[typicality.argmin()]}; "
          f"typicality range {typicality.min():.3f} .. {typicality.max():.3f}")

    queries = x[y == 3][:5]
    similarity = np.array(timed("similarity to five 3s", lambda: ok.Similarity(x).calculate_similarity(queries), timings))
    top = np.argsort(-similarity)[:50]
    print(f"of the 50 images closest to five images of a 3, {np.sum(y[top] == 3)} are 3s")

    one_hot = np.eye(10, dtype=np.float32)[y]
    selection = ok.Selection()
    selection.add_weighting_strategy(typicality, 1.0)
    selection.add_diversifying_strategy(x, 1.0)
    selection.add_balancing_strategy(one_hot, [0.1] * 10, 2.0)
    chosen = timed("selection of 100", lambda: selection.run_selection([], n, 100), timings)
    counts = np.bincount(y[chosen], minlength=10)
    print(f"selected 100 images; per class: {counts.tolist()}")

    layout = np.array(timed("2-D layout", lambda: ok.TwoDimEmbedding(x).calculate_2d_embedding(), timings))
    print(f"2-D layout: {layout.shape[0]} points, x in [{layout[:, 0].min():.1f}, {layout[:, 0].max():.1f}], "
          f"y in [{layout[:, 1].min():.1f}, {layout[:, 1].max():.1f}]")

    print("\ntimings:")
    for label, seconds in timings:
        print(f"  {label:<24} {seconds * 1000:8.1f} ms")


if __name__ == "__main__":
    main()
