"""Results that must hold at sizes where rounding and scheduling start to show."""

import numpy as np
import pytest

import orvane_keldra as ok


def cube_vertices(dim):
    codes = np.arange(2**dim, dtype=np.uint32)[:, None]
    return ((codes >> np.arange(dim, dtype=np.uint32)) & 1).astype(np.float32)


def test_typicality_mean_stays_exact_over_many_neighbour_distances():
    # Every vertex of the 14-cube has its 14 nearest neighbours at distance 1, so every score is
    # exp(-1). Its 229,376 equal distances, summed in one running f32 value, would give a mean
    # 1e-3 too large and scores off by 4e-4.
    scores = np.array(ok.Typicality(cube_vertices(14)).calculate_typicality(14))
    assert np.abs(scores - np.exp(-1.0)).max() <= 1e-5


def test_similarity_mean_stays_exact_over_ten_million_keys():
    rng = np.random.default_rng(5)
    keys = 6.5 + rng.random((10_000_000, 1), dtype=np.float32)
    scores = np.array(ok.Similarity(keys).calculate_similarity([[0.0]]), dtype=np.float64)
    dist = np.abs(keys[:, 0].astype(np.float64))
    assert np.abs(scores - (-dist / dist.mean())).max() <= 2e-5


@pytest.mark.parametrize(
    "bad, row, column, word",
    [(np.nan, 3, 1, "NaN"), (np.inf, 0, 0, "inf"), (-np.inf, 7, 2, "-inf")],
)
def test_layout_refuses_non_finite_input_and_stays_usable(bad, row, column, word):
    x = np.random.default_rng(0).normal(size=(20, 3)).astype(np.float32)
    x[row, column] = bad
    x[row + 5, column] = np.nan  # only the first offending value is named
    emb = ok.TwoDimEmbedding(x)
    expected = (
        "Error during 2D embedding calculation: PaCMap error: Embeddings must be finite: "
        f"row {row}, column {column} is {word}"
    )
    for _ in range(2):
        with pytest.raises(RuntimeError) as err:
            emb.calculate_2d_embedding()
        assert str(err.value) == expected
    assert len(ok.TwoDimEmbedding(np.nan_to_num(x)).calculate_2d_embedding()) == 20
