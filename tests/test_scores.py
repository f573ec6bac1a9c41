"""Similarity and typicality: worked values, a NumPy reference, duplicates, failures."""

import math

import numpy as np
import pytest
from conftest import panic_type, run_python

import orvane_keldra as ok


def reference_typicality(x, k):
    x = np.asarray(x, dtype=np.float64)
    d2 = ((x[:, None, :] - x[None, :, :]) ** 2).sum(-1) / 2.0
    np.fill_diagonal(d2, np.inf)
    r = np.sqrt(np.sort(d2, axis=1)[:, :k])
    if r.mean() == 0:  # every neighbour a duplicate
        return np.ones(len(x))
    return np.exp(-r / r.mean()).mean(axis=1)


def neighbour_typicality(x, k, chunk=512):
    """reference_typicality in row chunks, for sets too large for one N x N x D array."""
    x = np.asarray(x, dtype=np.float64)
    sq = (x**2).sum(1)
    r = np.empty((len(x), k))
    for start in range(0, len(x), chunk):
        d2 = (
            sq[start : start + chunk, None] + sq[None, :] - 2 * x[start : start + chunk] @ x.T
        ) / 2
        d2[np.arange(len(d2)), np.arange(start, start + len(d2))] = np.inf
        r[start : start + chunk] = np.sqrt(
            np.maximum(np.sort(np.partition(d2, k, axis=1)[:, :k], axis=1), 0)
        )
    return np.exp(-r / r.mean()).mean(axis=1)


def reference_similarity(keys, queries):
    d = np.sqrt(
        ((np.asarray(keys)[:, None, :] - np.asarray(queries)[None, :, :]) ** 2).sum(-1)
    ).min(1)
    return -d / d.mean() if d.mean() != 0 else -d


def test_similarity_worked_values():
    scores = ok.Similarity([[0, 0], [3, 4]]).calculate_similarity([[0, 0]])
    assert scores == [-0.0, -2.0] and math.copysign(1, scores[0]) == -1
    assert ok.Similarity([[1, 0]]).calculate_similarity([[0, 0], [1, 0], [5, 5]]) == [-0.0]
    assert ok.Similarity([[2.0, 7.0]]).calculate_similarity([[0.5, 0.5]]) == [-1.0]
    # all keys on queries: no division by zero
    assert ok.Similarity([[1, 1], [2, 2]]).calculate_similarity([[2, 2], [1, 1]]) == [-0.0, -0.0]
    # a NaN key would be at distance 0 from everything, and score as if on a query
    with pytest.raises(ValueError, match="key_embeddings must be finite: row 0, column 0 is NaN"):
        ok.Similarity([[math.nan, 0.0], [3.0, 4.0]])


def test_similarity_matches_reference(rng):
    keys = rng.normal(size=(700, 24)).astype(np.float32)
    queries = rng.normal(size=(90, 24)).astype(np.float32)
    got = np.array(ok.Similarity(keys).calculate_similarity(queries))
    np.testing.assert_allclose(got, reference_similarity(keys, queries), rtol=2e-4, atol=2e-5)


def test_keys_meet_the_query_dimension_only_when_scored():
    keys = ok.Similarity([[1.0, 2.0, 3.0]])
    with pytest.raises(panic_type()):
        keys.calculate_similarity([[1.0, 2.0]])
    assert keys.calculate_similarity([[1.0, 2.0, 4.0]]) == [-1.0]


def test_typicality_worked_values():
    assert ok.Typicality([[0.0], [1.0], [3.0]]).calculate_typicality(1) == pytest.approx(
        [math.exp(-0.75), math.exp(-0.75), math.exp(-1.5)], rel=1e-6
    )
    two = ok.Typicality([[0.0, 1.0], [2.0, 5.0]])
    assert two.calculate_typicality(5) == pytest.approx([math.exp(-1)] * 2, rel=1e-6)
    # duplicates: an embedding whose nearest neighbour is an exact duplicate scores 1
    dup = ok.Typicality([[0.0], [0.0], [10.0], [25.0]]).calculate_typicality(1)
    assert dup[0] == dup[1] == 1.0
    # all rows identical: every neighbour is a duplicate, so every row scores 1 (not 0/0)
    for row in ([1.0, 1.0], [0.1, 0.2, 0.3], [0.3, 0.7]):
        assert ok.Typicality([row] * 5).calculate_typicality(2) == [1.0] * 5, row
    t = ok.Typicality(np.arange(12, dtype=np.float32).reshape(6, 2) ** 2)
    assert t.calculate_typicality(5) == t.calculate_typicality(500)


def duplicated_rows(rng, n, d, copies):
    """n distinct rows of norm about 10 (where the expansion of |a - b|^2 loses most), each
    `copies` times, shuffled; and each row's group."""
    base = (rng.normal(size=(n, d)) + 2.5).astype(np.float32)
    group = rng.permutation(np.repeat(np.arange(n), copies))
    return base[group], group


def test_keys_that_are_queries_score_exactly_zero(rng):
    keys, _ = duplicated_rows(rng, 600, 20, 1)
    queries = keys[::3]
    got = np.array(ok.Similarity(keys).calculate_similarity(queries))
    assert np.all(got[::3] == 0.0) and np.all(np.signbit(got[::3]))
    # the others keep the expansion's distances: within f32 rounding of the float64 scores
    np.testing.assert_allclose(got, reference_similarity(keys, queries), rtol=2e-4, atol=2e-5)
    assert ok.Similarity(queries).calculate_similarity(queries) == [-0.0] * len(queries)


@pytest.mark.parametrize("k", [2, 10, 64, 100, 300])
def test_duplicates_get_identical_typicality(rng, k):
    # k = 2: a row's neighbours are its two twins, so it scores exactly 1. Beyond, the tile path's
    # sorted buffers, its heaps and the whole-row path meet the twins at distance 0; the distances
    # to other rows come from GEMM products at different places of the tiles, which may differ in
    # their last bits, so twins agree to a few ulp (2e-6; the expansion's error gave 1e-5 to 1e-3).
    x, group = duplicated_rows(rng, 130, 12, 3)
    got = np.array(ok.Typicality(x).calculate_typicality(k))
    if k == 2:
        assert np.all(got == 1.0)
    for g in range(130):
        twins = got[group == g]
        assert twins.max() - twins.min() <= 2e-6 * twins.max(), (k, g, twins)
    # a duplicate's r is 0 in float64 too, so the scores meet the exact ones
    np.testing.assert_allclose(got, reference_typicality(x, k), rtol=1e-5, atol=1e-7)


def test_tile_path_serves_up_to_256_neighbours():
    # At 20,000 rows the whole-row path (a GEMM row and nth_element per row) took about four
    # times as long as the tile pairs; their heaps serve k up to 256.
    plans = [ok._native._knn_plan(20_000, 512, num_nearest_neighbors=k) for k in (64, 65, 256, 257)]
    assert [p["handler"] for p in plans] == ["sorted", "sorted", "sorted", "rows"]


def test_typicality_failures_leave_the_object_usable():
    panic = panic_type()
    t = ok.Typicality([[0.0], [1.0], [3.0]])
    for fails in (
        lambda: t.calculate_typicality(0),
        lambda: ok.Typicality([[1.0]]),
        lambda: ok.Typicality([[1.0, 2.0], [3.0]]),
    ):
        with pytest.raises(panic):
            fails()
    assert len(t.calculate_typicality(1)) == 3


@pytest.mark.parametrize("n, d, k", [(400, 16, 10), (1500, 33, 7), (50, 300, 49), (200, 8, 150)])
def test_typicality_matches_reference(rng, n, d, k):
    x = rng.normal(size=(n, d)).astype(np.float32)
    got = np.array(ok.Typicality(x).calculate_typicality(k))
    np.testing.assert_allclose(got, reference_typicality(x, k), rtol=1e-4, atol=1e-6)


def grid_points():
    g = np.stack(np.meshgrid(np.arange(17), np.arange(17), np.arange(16), indexing="ij"), -1)
    return np.random.default_rng(4).permutation(g.reshape(-1, 3))


@pytest.mark.parametrize("k", [6, 200])
def test_typicality_over_many_tiles_is_exact(k):
    # Shuffled integer grid points: every product is exact in float32, so each row's neighbour
    # distances are known exactly, and a point's neighbours sit in other tiles of the scan
    # (k = 200: the heaps of the tile path). test_worker_counts.py runs it for 1, 2 and 3 workers.
    grid = grid_points()
    got = np.array(ok.Typicality(grid.astype(np.float32)).calculate_typicality(k))
    want = neighbour_typicality(grid.astype(np.float64), k)
    np.testing.assert_allclose(got, want, rtol=2e-6)
    if k == 6:
        # every inner point has its six neighbours at distance 1, in whatever tiles they sit
        inner = np.all((grid > 0) & (grid < [16, 16, 15]), axis=1)
        assert len(set(got[inner])) == 1
        assert got[inner][0] == pytest.approx(want[inner][0], rel=1e-6)


def test_worker_count_environment_is_honoured():
    # An invalid RAYON_NUM_THREADS falls back to RAYON_RS_NUM_CPUS; both give the same results.
    code = "import orvane_keldra as ok; print(ok.Typicality([[0.0],[1.0],[3.0],[7.0]]).calculate_typicality(2))"
    a = run_python(code, env={"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "3"})
    b = run_python(code, env={"RAYON_NUM_THREADS": "0"})
    assert a.returncode == 0 and b.returncode == 0, a.stderr + b.stderr
    assert a.stdout == b.stdout


def test_rows_of_unequal_length_are_refused_even_when_they_add_up():
    # 2 + 1 + 3 values make a 3 x 2 matrix: cutting them anew gave the scores of other rows.
    ragged = [[1.0, 2.0], [3.0], [4.0, 5.0, 6.0]]
    subparts = [[0], [1], [2]]
    calls = [
        lambda: ok.Typicality(ragged),
        lambda: ok.Similarity([[1.0, 2.0]]).calculate_similarity(ragged),
        lambda: ok.Selection().add_diversifying_strategy(ragged, 1.0),
        lambda: ok.Selection().add_subpart_diversifying_strategy(ragged, subparts, 1.0),
    ]
    for call in calls:
        with pytest.raises(panic_type()) as info:
            call()
        assert str(info.value).startswith("called `Result::unwrap()` on an `Err` value: ")
    # Keys are vectors of their own until they meet the queries.
    assert ok.Similarity(ragged) is not None
