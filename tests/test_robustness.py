"""Hardening: no leaks on repeated and failing calls, many Python threads, fork, exhausted memory,
and inputs at the edges of scale."""

import gc
import math
import multiprocessing as mp
import sys
import threading

import numpy as np
import pytest
from conftest import expect, panic_type, run_python

import orvane_keldra as ok

PANIC = panic_type()


def rss_mb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    raise AssertionError("no VmRSS line")


class Items:
    """A sequence that converts through Python-level iteration (the slow, interruptible path)."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for item in self.items:  # bytecode per item: the interpreter may switch threads here
            yield item


# --- leaks -----------------------------------------------------------------------------------

RNG = np.random.default_rng(7)
X = RNG.normal(size=(48, 64)).astype(np.float32)
ROWS = X.tolist()
# Fails only at the very last value, after everything before it was converted.
BAD_TAIL = ROWS[:-1] + [ROWS[-1][:-1] + ["x"]]
RAGGED = ROWS[:-1] + [ROWS[-1][:-1]]


def similarity_ops():
    sim = ok.Similarity(X)
    return [
        lambda: ok.Similarity(ROWS).calculate_similarity(X[:8]),
        lambda: sim.calculate_similarity(ROWS[:8]),
        lambda: expect(TypeError, ok.Similarity, BAD_TAIL),
        lambda: expect(TypeError, sim.calculate_similarity, BAD_TAIL),
        lambda: expect(ValueError, sim.calculate_similarity, []),
        lambda: expect(PANIC, sim.calculate_similarity, RAGGED),
        lambda: expect(PANIC, sim.calculate_similarity, [[1.0, 2.0]]),
        lambda: expect(TypeError, sim.calculate_similarity, [[1.0]], [[2.0]]),
    ]


def typicality_ops():
    typ = ok.Typicality(X)
    return [
        lambda: ok.Typicality(ROWS).calculate_typicality(5),
        lambda: typ.calculate_typicality(100),
        lambda: expect(TypeError, ok.Typicality, BAD_TAIL),
        lambda: expect(PANIC, ok.Typicality, RAGGED),
        lambda: expect(PANIC, ok.Typicality, ROWS[:1]),
        lambda: expect(PANIC, typ.calculate_typicality, 0),
        lambda: expect(OverflowError, typ.calculate_typicality, -1),
        lambda: expect(TypeError, typ.calculate_typicality, 1.5),
    ]


def two_dim_ops():
    small = X[:12, :6]
    emb = ok.TwoDimEmbedding(small)
    return [
        lambda: emb.calculate_2d_embedding(),
        lambda: ok.TwoDimEmbedding(small.tolist()),
        lambda: expect(TypeError, ok.TwoDimEmbedding, BAD_TAIL),
        lambda: expect(PANIC, ok.TwoDimEmbedding, [[1.0, 2.0, 3.0], [4.0, 5.0]]),
        lambda: expect(RuntimeError, ok.TwoDimEmbedding([[1.0]]).calculate_2d_embedding),
        lambda: expect(RuntimeError, ok.TwoDimEmbedding([[], []]).calculate_2d_embedding),
    ]


def selection_ops():
    n = len(ROWS)
    weights = RNG.random(n).tolist()
    classes = np.eye(3)[RNG.integers(0, 3, n)].tolist()
    mapping = [[i, (i + 1) % n] for i in range(n)]

    def full_run():
        s = ok.Selection()
        s.add_weighting_strategy(weights, 1.0)
        s.add_diversifying_strategy(ROWS, 1.0, 0.01)
        s.add_balancing_strategy(classes, [0.2, 0.3, 0.5], 1.0)
        s.add_subpart_diversifying_strategy(ROWS, mapping, 1.0)
        s.add_subpart_similarity_strategy(ROWS, ROWS[:4], mapping, 1.0)
        s.add_subpart_typicality_strategy(ROWS, mapping, 1.0, 3, 0.0)
        return s.run_selection([0], n, 6)

    s = ok.Selection()
    s.add_weighting_strategy(weights, 1.0)
    return [
        full_run,
        lambda: expect(TypeError, s.add_diversifying_strategy, BAD_TAIL, 1.0),
        lambda: expect(ValueError, s.add_balancing_strategy, [[0.5, 0.5], [1.0]], [0.5, 0.5], 1.0),
        lambda: expect(PANIC, s.add_balancing_strategy, classes, [0.5, 0.5], 1.0),
        lambda: expect(ValueError, s.add_subpart_typicality_strategy, ROWS, [[0], [n]], 1.0, 3),
        lambda: expect(PANIC, s.add_diversifying_strategy, RAGGED, 1.0),
        lambda: expect(PANIC, s.run_selection, [n], n, 3),
        lambda: expect(ValueError, s.run_selection, [], n + 1, 3),
        lambda: expect(OverflowError, s.run_selection, [-1], n, 3),
        lambda: s.run_selection([], n, 3),
    ]


@pytest.mark.parametrize(
    "ops, rounds",
    [(similarity_ops, 15000), (typicality_ops, 10000), (two_dim_ops, 500), (selection_ops, 2500)],
    ids=["Similarity", "Typicality", "TwoDimEmbedding", "Selection"],
)
def test_repeated_calls_do_not_grow_memory(ops, rounds, capfd):
    calls = ops()
    for _ in range(max(rounds // 10, 20)):  # warm-up: pool, allocator arenas, interned objects
        for op in calls:
            op()
    capfd.readouterr()  # drop the panic reports written so far
    gc.collect()
    before = rss_mb()
    for r in range(rounds):
        for op in calls:
            op()
        if r % 200 == 0:
            capfd.readouterr()
    gc.collect()
    after = rss_mb()
    print(f"\n{len(calls) * rounds} calls: VmRSS {before:.1f} MB -> {after:.1f} MB")
    assert after - before < 10.0, (before, after)


# --- threads ---------------------------------------------------------------------------------

N_THREADS = 8


def run_threads(target, n=N_THREADS):
    """Runs target(i) on n threads started together; returns their results, re-raising failures."""
    results, errors = [None] * n, []
    barrier = threading.Barrier(n)

    def body(i):
        try:
            barrier.wait()
            results[i] = target(i)
        except BaseException as exc:  # noqa: BLE001 - reported below, PanicException included
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    if errors:
        raise errors[0]
    return results


@pytest.fixture
def fast_switching():
    # Switch threads as often as possible so that conversions written in Python interleave.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_threads_share_scoring_objects(rng, fast_switching):
    keys = rng.normal(size=(400, 24)).astype(np.float32)
    queries = rng.normal(size=(60, 24)).astype(np.float32)
    layout_input = rng.normal(size=(80, 6)).astype(np.float32)
    sim, typ, emb = ok.Similarity(keys), ok.Typicality(keys), ok.TwoDimEmbedding(layout_input)
    want_sim = sim.calculate_similarity(queries)
    want_typ = {k: typ.calculate_typicality(k) for k in (1, 7, 30)}
    want_emb = np.array(emb.calculate_2d_embedding())
    rounds = 12

    def shared(i):
        for r in range(rounds):
            q = Items(Items(row) for row in queries.tolist()) if (i + r) % 2 else queries
            assert sim.calculate_similarity(q) == want_sim
            k = (1, 7, 30)[(i + r) % 3]
            assert typ.calculate_typicality(k) == want_typ[k]
            if r % 4 == 0:
                got = np.array(emb.calculate_2d_embedding())
                assert np.abs(got - want_emb).max() <= 1e-3 * np.abs(want_emb).max()
        return rounds

    def separate(i):
        for r in range(rounds):
            rows = keys if (i + r) % 2 else Items(keys.tolist())
            assert ok.Similarity(rows).calculate_similarity(queries) == want_sim
            assert ok.Typicality(rows).calculate_typicality(7) == want_typ[7]
        got = np.array(ok.TwoDimEmbedding(layout_input.tolist()).calculate_2d_embedding())
        assert np.abs(got - want_emb).max() <= 1e-3 * np.abs(want_emb).max()
        return rounds

    assert run_threads(shared) == [rounds] * N_THREADS
    assert run_threads(separate) == [rounds] * N_THREADS
    print(f"\n{N_THREADS} threads x {rounds} rounds, shared then separate objects")


def test_threads_with_python_logging_during_layouts(rng, fast_switching):
    # Log records are handed to Python in the middle of a layout, where another thread can run.
    import logging

    logger = logging.getLogger("orvane_keldra")
    records = []
    handler = logging.Handler()
    handler.emit = records.append
    logger.addHandler(handler)
    old_level = logger.level
    logger.setLevel(logging.DEBUG)
    try:
        x = rng.normal(size=(40, 5)).astype(np.float32)
        keys = rng.normal(size=(300, 8)).astype(np.float32)
        want_typ = ok.Typicality(keys).calculate_typicality(5)
        typ = ok.Typicality(keys)

        def work(i):
            for _ in range(4):
                if i % 2:
                    assert len(ok.TwoDimEmbedding(x).calculate_2d_embedding()) == 40
                else:
                    assert typ.calculate_typicality(5) == want_typ
            return True

        assert all(run_threads(work))
    finally:
        logger.removeHandler(handler)
        logger.setLevel(old_level)
    assert any(r.getMessage() == "Finding pairs" for r in records)


def test_threads_on_separate_selections_agree(rng):
    n = 3000
    emb = rng.normal(size=(n, 16)).astype(np.float32)
    weights = rng.random(n).astype(np.float32)

    def run(_):
        s = ok.Selection()
        s.add_weighting_strategy(weights, 1.0)
        s.add_diversifying_strategy(emb, 2.0)
        return s.run_selection([0], n, 25)

    want = run(None)
    assert run_threads(run) == [want] * N_THREADS


def test_shared_selection_across_threads_only_refuses_or_answers(fast_switching):
    # No strategies, so every answer is the same; a call that meets another mid-conversion
    # must be refused with "Already borrowed", never crash or corrupt anything.
    import time

    class Slow(Items):
        def __iter__(self):
            for item in self.items:
                time.sleep(0)  # lets the other threads run while this call holds the Selection
                yield item

    s = ok.Selection()
    pre = list(range(20, 0, -2))
    want = s.run_selection(pre, 50, 15)
    refused = []

    def work(i):
        answers = 0
        for _ in range(200):
            try:
                assert s.run_selection(Slow(pre), 50, 15) == want
                answers += 1
            except RuntimeError as exc:
                assert str(exc) == "Already borrowed"
                refused.append(i)
        return answers

    answers = sum(run_threads(work))
    assert answers + len(refused) == N_THREADS * 200
    assert answers > 0 and refused
    assert s.run_selection(pre, 50, 15) == want
    print(f"\n{answers} answered, {len(refused)} refused")


def test_reentrant_selection_call_is_refused():
    s = ok.Selection()
    s.add_weighting_strategy([1.0, 2.0, 3.0], 1.0)
    inner = []

    class Weights(list):
        def __iter__(self):
            for call in (
                lambda: s.run_selection([], 3, 1),
                lambda: s.add_weighting_strategy([1.0, 1.0, 1.0], 1.0),
            ):
                try:
                    call()
                except RuntimeError as exc:
                    inner.append(str(exc))
            return super().__iter__()

    s.add_weighting_strategy(Weights([3.0, 2.0, 1.0]), 1.0)
    assert inner == ["Already borrowed", "Already borrowed"]
    # Both weightings count now: 1*3 < 2*2 > 3*1.
    assert s.run_selection([], 3, 1) == [1]


# --- fork ------------------------------------------------------------------------------------


def _child_work(queue, payload):
    keys, queries, rows, weights = payload
    try:
        out = {
            "similarity": ok.Similarity(keys).calculate_similarity(queries),
            "typicality": ok.Typicality(keys).calculate_typicality(6),
            "layout": len(ok.TwoDimEmbedding(rows).calculate_2d_embedding()),
        }
        s = ok.Selection()
        s.add_weighting_strategy(weights, 1.0)
        s.add_diversifying_strategy(keys, 1.0)
        out["selection"] = s.run_selection([], len(keys), 10)
        # A grandchild forked from a child whose pool has run as well.
        ctx = mp.get_context("fork")
        q = ctx.Queue()
        p = ctx.Process(target=lambda: q.put(ok.Typicality(keys).calculate_typicality(6)))
        p.start()
        out["grandchild"] = q.get(timeout=120) == out["typicality"]
        p.join(timeout=60)
        out["grandchild_exit"] = p.exitcode
        queue.put(out)
    except BaseException as exc:  # noqa: BLE001 - reported to the parent
        queue.put(repr(exc))
        raise


def test_forked_children_compute_every_class(rng):
    keys = rng.normal(size=(3000, 16)).astype(np.float32)
    queries = rng.normal(size=(50, 16)).astype(np.float32)
    rows = rng.normal(size=(60, 5)).astype(np.float32)
    weights = rng.random(3000).astype(np.float32)

    def parent_values():
        s = ok.Selection()
        s.add_weighting_strategy(weights, 1.0)
        s.add_diversifying_strategy(keys, 1.0)
        return {
            "similarity": ok.Similarity(keys).calculate_similarity(queries),
            "typicality": ok.Typicality(keys).calculate_typicality(6),
            "layout": len(ok.TwoDimEmbedding(rows).calculate_2d_embedding()),
            "selection": s.run_selection([], len(keys), 10),
            "grandchild": True,
            "grandchild_exit": 0,
        }

    want = parent_values()  # the pool has run in this process now
    ctx = mp.get_context("fork")
    for _ in range(2):
        q = ctx.Queue()
        p = ctx.Process(target=_child_work, args=(q, (keys, queries, rows, weights)))
        p.start()
        got = q.get(timeout=240)
        p.join(timeout=60)
        if p.is_alive():
            p.kill()
            raise AssertionError("forked child did not exit")
        assert p.exitcode == 0, got
        assert got == want
    assert parent_values() == want


# --- exhausted memory ------------------------------------------------------------------------


def test_requests_beyond_the_address_space_raise_memory_error():
    code = """
        import resource
        import numpy as np, orvane_keldra as ok

        def vm_size():
            for line in open("/proc/self/status"):
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

        x = np.random.default_rng(3).normal(size=(40000, 4))
        typ = ok.Typicality(x)
        small = typ.calculate_typicality(3)
        limit = vm_size() + 1536 * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

        def must_fail(label, fn):
            try:
                fn()
            except MemoryError as e:  # the message says what could not be had
                print("memory-error" if str(e) else "empty-message", label, flush=True)
            else:
                print("no-error", label, flush=True)

        # N x K neighbour distances: 40000 x 39999 floats, about 6 GB
        must_fail("typicality", lambda: typ.calculate_typicality(10**9))
        # one flag per sample for 10**12 samples
        must_fail("selection", lambda: ok.Selection().run_selection([], 10**12, 1))
        # 4 GB of rows from an array that takes 4 kB: the converted copy cannot fit
        wide = np.broadcast_to(np.ones(1000, dtype=np.float32), (10**6, 1000))
        must_fail("conversion", lambda: ok.Typicality(wide))
        assert typ.calculate_typicality(3) == small
        assert ok.Selection().run_selection([], 3, 2) == [0, 1]
        print("survived", flush=True)

        # The layout's index: room for the preprocessed copy, not for the index's rows and links
        # (two 2 MiB blocks). A layout of missing neighbors must never come back as a result.
        layout = ok.TwoDimEmbedding(np.random.default_rng(0).normal(size=(10_000, 16)).astype(np.float32))
        limit = vm_size() + (3 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            layout.calculate_2d_embedding()
            print("layout returned", flush=True)
        except MemoryError as e:
            print(e, flush=True)
    """
    proc = run_python(
        code, env={"RAYON_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1"}, timeout=300
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    lines = proc.stdout.split()
    assert proc.stdout.count("memory-error") == 3, proc.stdout
    assert "survived" in lines, proc.stdout
    assert "nearest-neighbor index of 10000 x 16 embeddings" in proc.stdout, proc.stdout


# --- scale edges -----------------------------------------------------------------------------


def test_selection_over_a_million_samples(rng):
    n = 1_000_000
    weights = (rng.random(n) * 0.5).astype(np.float32)
    planted = rng.choice(n, size=20, replace=False)
    weights[planted] = np.arange(20, 0, -1, dtype=np.float32)  # far apart: no rounding ties
    s = ok.Selection()
    s.add_weighting_strategy(weights, 1.0)
    got = s.run_selection([], n, 20)
    assert got == planted.tolist()
    # Preselected samples count towards the total and are never chosen again.
    s = ok.Selection()
    s.add_weighting_strategy(weights.tolist(), 1.0)
    got = s.run_selection([int(planted[0]), 3], n, 12)
    assert got == [int(planted[0]), 3] + planted[1:11].tolist()


def test_dimension_4096_against_float64_reference(rng):
    keys = rng.normal(size=(300, 4096)).astype(np.float32)
    queries = rng.normal(size=(120, 4096)).astype(np.float32) + 0.05
    k64, q64 = keys.astype(np.float64), queries.astype(np.float64)

    def sq_dist(a, b):
        return np.maximum((a * a).sum(1)[:, None] + (b * b).sum(1)[None, :] - 2 * a @ b.T, 0)

    nearest = np.sqrt(sq_dist(k64, q64).min(1))
    want = -nearest / nearest.mean()
    got = np.array(ok.Similarity(keys).calculate_similarity(queries))
    np.testing.assert_allclose(got, want, rtol=1e-4, atol=1e-6)

    d2 = sq_dist(k64, k64)
    np.fill_diagonal(d2, np.inf)
    r = np.sqrt(np.sort(d2, axis=1)[:, :10])
    want = np.exp(-r / r.mean()).mean(1)
    got = np.array(ok.Typicality(keys).calculate_typicality(10))
    np.testing.assert_allclose(got, want, rtol=1e-4, atol=1e-6)


def test_typicality_with_two_embeddings():
    for k in (1, 2, 10**6):
        got = ok.Typicality(np.random.default_rng(k).normal(size=(2, 16))).calculate_typicality(k)
        assert got == [pytest.approx(math.exp(-1), rel=1e-6)] * 2


def test_typicality_over_fifty_thousand_embeddings(rng):
    n, d, k = 50_000, 16, 10
    x = rng.normal(size=(n, d)).astype(np.float32)
    scores = np.array(ok.Typicality(x).calculate_typicality(k))
    assert scores.shape == (n,) and np.isfinite(scores).all()
    assert ((scores > 0) & (scores <= 1)).all()

    # Brute force for a sample of rows: their k nearest distances in float64.
    x64 = x.astype(np.float64)
    sample = rng.choice(n, size=200, replace=False)
    d2 = (x64[sample] ** 2).sum(1)[:, None] + (x64**2).sum(1)[None, :] - 2 * x64[sample] @ x64.T
    d2[np.arange(len(sample)), sample] = np.inf
    r = np.sqrt(np.sort(np.partition(d2, k, axis=1)[:, :k], axis=1))  # up to the constant 1/sqrt(2)

    # The scale (the mean neighbour distance of all rows) follows from one row's score; with it,
    # every other sampled score is predicted.
    def score(row, mu):
        return np.exp(-row / mu).mean()

    lo, hi = 1e-6, 1e6
    for _ in range(200):
        mid = math.sqrt(lo * hi)
        lo, hi = (mid, hi) if score(r[0], mid) < scores[sample[0]] else (lo, mid)
    mu = math.sqrt(lo * hi)
    predicted = np.array([score(row, mu) for row in r])
    np.testing.assert_allclose(scores[sample], predicted, rtol=2e-4)
    # ... and that scale is the mean neighbour distance, as estimated from the sample.
    assert mu == pytest.approx(r.mean(), rel=0.05)
