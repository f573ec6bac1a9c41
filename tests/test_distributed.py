"""orvane_keldra.distributed on a local two-CPU Ray cluster: typicality and similarity bit for bit
the classes' (similarity also within f32 rounding of the exact scores), and the same errors as the
single-machine classes, whatever the source and the block size."""

import logging
import re

import pytest

ray = pytest.importorskip("ray", reason="orvane_keldra.distributed needs Ray: pip install '.[ray]'")

import numpy as np  # noqa: E402
from conftest import assert_within, outcome, run_python, similarity_f64  # noqa: E402

import orvane_keldra as ok  # noqa: E402
from orvane_keldra import distributed  # noqa: E402

pytestmark = pytest.mark.usefixtures("local_ray_cluster")

N, D, K = 20_000, 64, 10


@pytest.fixture(scope="module")
def x():
    rng = np.random.default_rng(7)
    centres = rng.normal(size=(20, D)) * 4
    x = (centres[rng.integers(0, 20, size=N)] + rng.normal(size=(N, D))).astype(np.float32)
    # exact duplicates across blocks: a row must still not count itself, only its twin
    x[N - 1] = x[5]
    x[9_000] = x[5]
    return x


def _typicality(x, k):
    return np.asarray(ok.Typicality(x).calculate_typicality(k), dtype=np.float32)


@pytest.fixture(scope="module")
def typicality_ref(x):
    return _typicality(x, K)


@pytest.fixture(scope="module")
def queries(x):
    return x[::97].astype(np.float64) + 0.5


@pytest.fixture(scope="module")
def similarity_ref(x, queries):
    return similarity_f64(x, queries)


@pytest.fixture(scope="module")
def similarity_class(x, queries):
    return np.asarray(ok.Similarity(x).calculate_similarity(queries), dtype=np.float32)


def _dataset(x, column):
    ds = ray.data.from_numpy(x)
    if column != "data":
        ds = ds.map_batches(lambda b: {"id": np.arange(len(b["data"])), column: b["data"]})
    return ds.repartition(4)


def _source(kind, x, tmp_path_factory):
    """(data, column, block_rows) for one way a user holds the embeddings."""
    if kind == "array":
        return x, None, 3_000  # whole tiles of the class: 3,072 rows, the last block shorter
    if kind == "memmap":
        path = tmp_path_factory.mktemp("memmap") / "x.f64"
        m = np.memmap(path, dtype=np.float64, mode="w+", shape=x.shape)
        m[:] = x
        m.flush()
        return np.memmap(path, dtype=np.float64, mode="r", shape=x.shape), None, 4_096
    if kind == "dataset":
        return _dataset(x, "data"), None, None
    return _dataset(x, "embedding"), "embedding", 1_500  # tasks cut inside the Dataset's blocks


SOURCES = ["array", "memmap", "dataset", "dataset-sliced"]


@pytest.mark.parametrize("kind", SOURCES)
def test_typicality_equals_one_machine(kind, x, typicality_ref, tmp_path_factory):
    data, column, block_rows = _source(kind, x, tmp_path_factory)
    got = distributed.typicality(data, K, block_rows=block_rows, column=column)
    assert got.dtype == np.float32 and got.shape == (N,)
    assert np.array_equal(got, typicality_ref)


@pytest.mark.parametrize("kind", SOURCES)
def test_similarity_equals_one_machine(
    kind, x, queries, similarity_ref, similarity_class, tmp_path_factory
):
    keys, column, block_rows = _source(kind, x, tmp_path_factory)
    got = distributed.similarity(keys, queries, block_rows=block_rows, column=column)
    assert got.dtype == np.float32 and got.shape == (N,)
    assert np.array_equal(got, similarity_class)
    assert_within(got, similarity_ref)


def test_neighbour_counts_and_list_input(x):
    """Both ends of the sorted buffers (K = 1, 64), the tile pairs' heaps (K = 65, and 100 over
    many blocks), whole rows beyond them (K = 257), K capped at N - 1, and lists of lists: all
    bit for bit."""
    small = x[:1_500]
    for k in (1, 64, 65, 257):
        got = distributed.typicality(small, k, block_rows=600)
        assert np.array_equal(got, _typicality(small, k)), k
    got = distributed.typicality(x, 100, block_rows=3_000)
    assert np.array_equal(got, _typicality(x, 100))
    tiny = small[:7].tolist()
    assert np.array_equal(distributed.typicality(tiny, 50, block_rows=2), _typicality(tiny, 50))
    keys = [[0.0, 0.0], [3.0, 4.0]]
    assert list(distributed.similarity(keys, [[0.0, 0.0]])) == [-0.0, -2.0]


def test_duplicates_score_as_the_classes_score_them():
    # Triplicated rows of norm about 10, where the expansion of |a - b|^2 leaves 1e-3 after the
    # square root: tasks recompute the same distances the classes recompute, so keys that are
    # queries score exactly 0 and every K gives the classes' bits.
    rng = np.random.default_rng(12)
    base = (rng.normal(size=(700, 16)) + 2.5).astype(np.float32)
    dup = base[rng.permutation(np.repeat(np.arange(700), 3))]
    for k in (1, 10, 64, 65, 100):
        got = distributed.typicality(dup, k, block_rows=600)
        assert np.array_equal(got, _typicality(dup, k)), k
    got = distributed.similarity(dup, base[::2], block_rows=500)
    assert np.array_equal(got, ok.Similarity(dup).calculate_similarity(base[::2]))
    assert np.count_nonzero(got == 0) == 3 * 350


BAD_TYPICALITY = [
    ([[1.0, 2.0]], 3),  # fewer than 2 embeddings
    (np.zeros((1, 4)), 3),
    ([[1.0, 2.0], [3.0]], 3),  # rows that do not add up to N x D
    ("not rows", 3),
    (np.zeros((3, 4)), 0),  # K = 0
    (np.zeros((3, 4)), -1),
    (np.zeros((3, 4)), 2.5),
    (np.zeros(4), 3),  # not a matrix
]

BAD_SIMILARITY = [
    (np.zeros((0, 3)), [[1.0, 2.0, 3.0]]),
    (np.zeros((4, 3)), []),
    (np.zeros((4, 3)), [[1.0, 2.0]]),  # keys longer than the queries
    ([[1.0, 2.0], [1.0, 2.0, 3.0]], [[1.0, 2.0]]),
    (np.zeros((4, 2)), [[1.0, 2.0], [3.0]]),
    (np.zeros((4, 2)), None),
]


def test_bad_input_raises_what_the_classes_raise():
    for data, k in BAD_TYPICALITY:
        expected = outcome(lambda: ok.Typicality(data).calculate_typicality(k))
        assert expected is not None
        assert outcome(lambda: distributed.typicality(data, k)) == expected, (data, k)
    for keys, queries in BAD_SIMILARITY:
        expected = outcome(lambda: ok.Similarity(keys).calculate_similarity(queries))
        assert expected is not None
        assert outcome(lambda: distributed.similarity(keys, queries)) == expected, (keys, queries)
    with pytest.raises(ValueError, match="block_rows"):
        distributed.typicality(np.zeros((3, 2)), 1, block_rows=0)
    with pytest.raises(ValueError, match="column"):
        distributed.typicality(_dataset(np.zeros((8, 2), np.float32), "embedding"), 1)


def test_importing_the_package_does_not_import_ray():
    proc = run_python("import sys, orvane_keldra; assert 'ray' not in sys.modules, 'ray imported'")
    assert proc.returncode == 0, proc.stderr


def test_ctrl_c_stops_submitting_and_progress_is_logged(monkeypatch, caplog):
    big = np.random.default_rng(3).normal(size=(20_000, 32)).astype(np.float32)
    # Every wait may log, and Ctrl-C comes inside the sixth wait: the same on any machine.
    monkeypatch.setattr(distributed, "_FIRST_EVENT_S", 0.0)
    monkeypatch.setattr(distributed, "_BETWEEN_EVENTS_S", 0.0)
    submitted = []
    real_wait = ray.wait

    def wait(refs, **kw):
        submitted.append(len(refs))
        if len(submitted) == 6:
            raise KeyboardInterrupt
        return real_wait(refs, **kw)

    monkeypatch.setattr(ray, "wait", wait)
    with caplog.at_level(logging.INFO, logger="orvane_keldra"), pytest.raises(KeyboardInterrupt):
        distributed.typicality(big, K, block_rows=1_024)
    # nothing submitted after the interrupt, never more in flight than the cluster has CPUs
    assert len(submitted) == 6 and max(submitted) <= int(ray.cluster_resources()["CPU"])
    events = [r.getMessage() for r in caplog.records if r.name == "orvane_keldra"]
    # 20 blocks of 1,024 rows, 210 pairs of them
    done = [
        int(
            re.fullmatch(
                r"typicality: (\d+) of 210 block pairs \(\d+%\), \d+ s elapsed"
                r"(, about [\d,]+ s left)?",
                e,
            ).group(1)
        )
        for e in events
    ]
    assert len(done) == 5 and done == sorted(done) and done[-1] < 210, events
    # the cluster is still usable afterwards
    assert np.array_equal(distributed.typicality(big[:600], 3), _typicality(big[:600], 3))


def test_empty_filtered_dataset_and_ragged_rows_fail_as_the_classes_do(capfd):
    empty = (
        ray.data.from_numpy(np.zeros((40, 8), np.float32))
        .map_batches(lambda b: {"embedding": b["data"]})
        .filter(lambda r: False)
    )
    ragged = [[1.0, 2.0], [3.0], [4.0, 5.0, 6.0]]  # adds up to 3 x 2
    pairs = [
        (
            lambda: distributed.typicality(empty, 3),
            lambda: ok.Typicality([]).calculate_typicality(3),
        ),
        (lambda: distributed.similarity(empty, [[0.0] * 8]), lambda: ok.Similarity([])),
        (lambda: distributed.typicality(ragged, 1), lambda: ok.Typicality(ragged)),
        (
            lambda: distributed.similarity([[1.0, 2.0]], ragged),
            lambda: ok.Similarity([[1.0, 2.0]]).calculate_similarity(ragged),
        ),
    ]
    for ours, theirs in pairs:
        expected = outcome(theirs)
        assert expected is not None and outcome(ours) == expected
    assert "Unhandled error" not in capfd.readouterr().err


def test_progress_ends_with_the_complete_event(monkeypatch, caplog):
    class Clock:  # the start, then past the quiet start, then hardly moving: one event only
        looks = 0

        def monotonic(self):
            self.looks += 1
            return 0.0 if self.looks == 1 else 3.0 + 0.001 * self.looks

    monkeypatch.setattr(distributed, "time", Clock())
    with caplog.at_level(logging.INFO, logger="orvane_keldra"):
        distributed.typicality(np.zeros((1_000, 4), np.float32), 3, block_rows=256)
    events = [r.getMessage() for r in caplog.records if r.name == "orvane_keldra"]
    # blocks of 512 rows, whole tiles: 2 blocks, 3 pairs
    assert len(events) == 2, events
    assert events[-1].startswith("typicality: 3 of 3 block pairs (100%)"), events
