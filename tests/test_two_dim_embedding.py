"""TwoDimEmbedding from Python: construction rules, errors, finiteness, logging and quality."""

import logging
import math

import numpy as np
import pytest

import orvane_keldra as ok

PREFIX = "Error during 2D embedding calculation: PaCMap error: "


def layout(x):
    return np.array(ok.TwoDimEmbedding(x).calculate_2d_embedding())


@pytest.mark.parametrize("rows", [[], [[1.0, 2.0]], [[], []]])
def test_pipeline_errors_leave_the_object_usable(rows):
    emb = ok.TwoDimEmbedding(rows)
    with pytest.raises(RuntimeError) as first:
        emb.calculate_2d_embedding()
    assert str(first.value).startswith(PREFIX)
    with pytest.raises(RuntimeError) as again:  # and it fails the same way
        emb.calculate_2d_embedding()
    assert str(again.value) == str(first.value)


def test_construction_uses_the_first_row_length():
    try:
        ok.TwoDimEmbedding([[1, 2, 3], [4, 5]])
    except BaseException as e:  # noqa: BLE001 - PanicException
        assert type(e).__name__ == "PanicException"
    else:
        pytest.fail("a short row must fail")
    a = ok.TwoDimEmbedding([[1, 2], [3, 4, 5], [0, 9]]).calculate_2d_embedding()
    b = ok.TwoDimEmbedding([[1, 2], [3, 4], [0, 9]]).calculate_2d_embedding()
    assert np.allclose(a, b, atol=1e-4)


@pytest.mark.parametrize("n", [2, 3, 5, 7, 13, 14, 40])
def test_small_inputs_give_finite_points(rng, n):
    x = rng.normal(size=(n, 5)).astype(np.float32)
    y = ok.TwoDimEmbedding(x).calculate_2d_embedding()
    assert len(y) == n
    assert all(isinstance(p, tuple) and len(p) == 2 for p in y)
    assert np.isfinite(np.array(y)).all()


@pytest.mark.parametrize(
    "x",
    [
        np.zeros((20, 4), dtype=np.float32),  # largest element 0
        -np.abs(np.random.default_rng(2).normal(size=(30, 3))).astype(np.float32),  # max <= 0
        np.full((25, 6), 3.5, dtype=np.float32),  # all equal, nonzero
        np.repeat(np.eye(3, dtype=np.float32), 10, axis=0),  # heavy duplicates
    ],
)
def test_degenerate_inputs_give_finite_layouts(x):
    assert np.isfinite(layout(x)).all()


def test_two_calls_agree_and_input_is_not_modified(rng):
    x = rng.normal(size=(500, 12)).astype(np.float32)
    before = x.copy()
    emb = ok.TwoDimEmbedding(x)
    a = np.array(emb.calculate_2d_embedding())
    b = np.array(emb.calculate_2d_embedding())
    scale = np.abs(a).max()
    assert np.abs(a - b).max() <= 1e-3 * scale
    assert np.array_equal(x, before)


def test_layout_separates_clusters(rng):
    centers = rng.normal(size=(4, 20)) * 8
    labels = np.repeat(np.arange(4), 150)
    x = (centers[labels] + rng.normal(size=(600, 20))).astype(np.float32)
    y = layout(x)
    # each point's nearest layout neighbour carries the same label
    d = ((y[:, None, :] - y[None, :, :]) ** 2).sum(-1)
    np.fill_diagonal(d, np.inf)
    assert (labels[d.argmin(1)] == labels).mean() > 0.97


def test_log_events_reach_python_logging(caplog, rng):
    x = rng.normal(size=(60, 4)).astype(np.float32)
    with caplog.at_level(logging.DEBUG, logger="orvane_keldra"):
        ok.TwoDimEmbedding(x).calculate_2d_embedding()
    messages = [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "orvane_keldra"]
    assert messages[:3] == [
        ("DEBUG", "x is normalized"),
        ("INFO", "Finding pairs"),
        ("DEBUG", "Pair shapes: neighbors [600, 2], MN [300, 2], FP [1200, 2]"),
    ]
    assert messages[3][1].startswith("Initial Loss: ")
    iterations = [m for _, m in messages if m.startswith("Iteration: ")]
    assert len(iterations) == 45
    assert iterations[0].startswith("Iteration:   10, Loss: ")
    assert iterations[-1].startswith("Iteration:  450, Loss: ")
    assert all(math.isfinite(float(m.rsplit(" ", 1)[1])) for m in iterations)
    assert messages[-1][1].startswith("Elapsed time: ")


def test_disabled_logging_emits_nothing(caplog, rng):
    x = rng.normal(size=(30, 3)).astype(np.float32)
    with caplog.at_level(logging.WARNING, logger="orvane_keldra"):
        ok.TwoDimEmbedding(x).calculate_2d_embedding()
    assert [r for r in caplog.records if r.name == "orvane_keldra"] == []


def test_approximate_neighbour_path_runs(rng):
    # 8000 samples and more take the HNSW index.
    centers = rng.normal(size=(5, 16)) * 6
    labels = rng.integers(0, 5, size=8000)
    x = (centers[labels] + rng.normal(size=(8000, 16))).astype(np.float32)
    y = layout(x)
    assert y.shape == (8000, 2) and np.isfinite(y).all()
    from sklearn.neighbors import KNeighborsClassifier

    knn = KNeighborsClassifier(n_neighbors=10).fit(y[:6000], labels[:6000])
    assert knn.score(y[6000:], labels[6000:]) > 0.95
