"""TwoDimEmbedding.extend_2d_embedding: each new point's place depends on that point alone, new
points land among their kind, fitted rows placed again stay near their places, and bad input is
refused with a clear ValueError."""

import numpy as np
import pytest

import orvane_keldra as ok

N, D = 3000, 16


@pytest.fixture(scope="module")
def fitted():
    rng = np.random.default_rng(5)
    centres = rng.normal(size=(12, D)) * 3
    labels = rng.integers(0, 12, N + 600)
    x = (centres[labels] + rng.normal(size=(N + 600, D))).astype(np.float32)
    emb = ok.TwoDimEmbedding(x[:N])
    return emb, emb.calculate_2d_embedding(), x, labels


def test_a_place_depends_on_the_point_alone(fitted):
    emb, layout, x, _ = fitted
    new = x[N:]
    whole = np.array(emb.extend_2d_embedding(layout, new))
    for batch in (1, 7, 500):
        parts = [emb.extend_2d_embedding(layout, new[i : i + batch]) for i in range(0, 140, batch)]
        assert np.array_equal(np.concatenate(parts)[:140], whole[:140])
    order = np.random.default_rng(0).permutation(len(new))
    assert np.array_equal(np.array(emb.extend_2d_embedding(layout, new[order])), whole[order])
    twice = np.concatenate([new[:50], new[:50]])
    assert np.array_equal(
        np.array(emb.extend_2d_embedding(np.array(layout), twice.tolist())),
        np.concatenate([whole[:50], whole[:50]]),
    )


def test_new_points_land_among_their_kind_and_fitted_rows_stay(fitted):
    emb, layout, x, labels = fitted
    places = np.array(emb.extend_2d_embedding(layout, x[N:]))
    y = np.array(layout)
    d = ((places[:, None, :] - y[None, :, :]) ** 2).sum(-1)
    near = np.argsort(d, axis=1)[:, :10]
    voted = [np.bincount(labels[:N][r], minlength=12).argmax() for r in near]
    assert np.mean(voted == labels[N:]) > 0.95
    again = np.array(emb.extend_2d_embedding(layout, x[:300]))
    own = ((y[:300, None, :] - y[None, :, :]) ** 2).sum(-1)
    tenth = np.median(np.sqrt(np.sort(own, axis=1)[:, 10]))
    assert np.median(np.linalg.norm(again - y[:300], axis=1)) < tenth


def test_bad_input_is_refused_and_layout_left_alone(fitted):
    emb, layout, x, _ = fitted
    kept = list(layout)
    with_nan = np.array(layout)
    with_nan[7, 1] = np.nan
    wide = x[N : N + 3].copy()
    wide[2, 5] = np.inf
    cases = [
        (layout[:-1], x[N:], "layout has 2999 rows but the object has 3000 embeddings"),
        ([(a, b, 0.0) for a, b in layout], x[N:], "layout must have 2 columns"),
        (with_nan, x[N:], "layout must be finite: row 7, column 1 is NaN"),
        (
            layout,
            x[N:, :5],
            "new_embeddings must have 16 values per row, as the embeddings do: row 0 has 5",
        ),
        (layout, wide, "new_embeddings must be finite: row 2, column 5 is inf"),
    ]
    for lay, new, text in cases:
        with pytest.raises(ValueError, match=text.replace("(", r"\(").replace(")", r"\)")):
            emb.extend_2d_embedding(lay, new)
    assert emb.extend_2d_embedding(layout, []) == []
    assert layout == kept
    with pytest.raises(TypeError):
        emb.extend_2d_embedding(layout)
