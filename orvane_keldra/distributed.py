"""Typicality, similarity and selection over a Ray cluster, with the native kernels of the
single-machine classes. ``Selection`` (in ``_ray_selection.py``) keeps its samples in actors, one
range each; the rest of this module are Ray tasks over blocks of rows.

The rows are cut into blocks that go into the object store once, cut as the native scan's plan
(``_native._knn_plan``) says, so that every task multiplies the GEMM shapes the class multiplies on
one machine. Typicality with few neighbors takes every pair of blocks once: a task multiplies their
square tiles pairwise and returns both blocks' k nearest distances per row; the driver merges them
per row. With more neighbors, a task scans some of the class's query blocks against every row, as
the class does (it holds the whole matrix then). Similarity
runs one task per block of keys against every block of queries. The driver combines the per-row
distances into the scores with the same sums as one machine. The results therefore equal
``Typicality(x).calculate_typicality(K)`` and ``Similarity(keys).calculate_similarity(queries)``
bit for bit, and bad input raises the same exceptions as those classes.

Each task takes one CPU and runs the native kernels on one thread (``RAYON_NUM_THREADS=1`` in its
runtime environment): Ray spreads the blocks over the cores, and threads do not multiply.
"""

from __future__ import annotations

import functools
import importlib
import importlib.util
import logging
import math
import numbers
import sys
import time
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

if importlib.util.find_spec("numpy") is None or importlib.util.find_spec("ray") is None:
    raise ImportError(
        "orvane_keldra.distributed needs Ray and NumPy: pip install 'orvane_keldra[ray]'"
    )
import numpy as np  # noqa: E402
import ray  # noqa: E402

if TYPE_CHECKING:
    from orvane_keldra._ray_selection import Selection

# The private kernels have no type stub: to type checkers they are Any.
_native: Any = importlib.import_module("orvane_keldra._native")

__all__ = ["typicality", "similarity", "Selection"]

_log = logging.getLogger("orvane_keldra")

# One CPU and one native thread per task; Ray provides the parallelism.
_TASK_OPTIONS: dict[str, Any] = {
    "num_cpus": 1,
    "runtime_env": {"env_vars": {"RAYON_NUM_THREADS": "1"}},
}
_MAX_BLOCK_BYTES = 64 << 20
# Multiply-adds per task of the tile-pair path: about a second of one core (d = 128: 24 x 24 tiles of
# 512 rows) up to _CPUS_AT_ONE_SECOND CPUs; beyond, tasks grow with the cluster so that the one driver, which
# merges every result, receives no more results a second.
_TASK_MULTIPLY_ADDS = 20_000_000_000
_CPUS_AT_ONE_SECOND = 64
_TASKS_PER_CPU = 4
# Progress: a quiet start, then at most one event per interval (seconds).
_FIRST_EVENT_S = 2.0
_BETWEEN_EVENTS_S = 1.0


def typicality(
    data: Any,
    num_nearest_neighbors: int,
    *,
    block_rows: int | None = None,
    column: str | None = None,
) -> np.ndarray:
    """Typicality of every row of `data`, computed by Ray tasks over pairs of row blocks.

    `data`: a 2-D NumPy array or memmap, a ``ray.data.Dataset`` whose column `column` holds one
    equal-length float vector per row, or anything ``Typicality`` accepts. Returns a float32 array
    of scores in row order, equal to
    ``Typicality(data).calculate_typicality(num_nearest_neighbors)`` bit for bit. `block_rows`
    sets the rows per stored block, rounded up to whole tiles of the class (default: about a second
    of one core per task, and several tasks per CPU of the cluster).
    """
    rows = _Rows.inspect(data, "embeddings", column)
    _native._check_embeddings(
        rows.n, rows.values, rows.d, rows.first_odd_row(), rows.first_non_finite()
    )
    plan = _native._knn_plan(
        rows.n, _tile_block_rows(block_rows, rows), num_nearest_neighbors=num_nearest_neighbors
    )
    k = plan["k"]
    stored = rows.put_aligned(plan["block_rows"])
    if plan["handler"] == "rows":
        return _typicality_by_rows(rows, stored, k, plan["query_rows"])
    best = np.full((rows.n, k), np.inf, dtype=np.float32)
    # Each block pair once, in the order the class takes its tile pairs: diagonal by diagonal, so
    # that the tasks in flight touch different blocks and each starts from the bounds its blocks'
    # rows got from the tasks before.
    tasks = [
        (
            functools.partial(_submit_pair, best, stored, a, b),
            functools.partial(_merge_pair, best, stored, a, b),
        )
        for a, b in plan["pairs"]
    ]
    _gather("typicality", tasks, "block pairs")
    _native._finish_smallest(best)
    scores = np.empty(rows.n, dtype=np.float32)
    _native._typicality_scores(best, scores)
    return scores


def _submit_pair(best: np.ndarray, stored: _Stored, a: int, b: int) -> Any:
    # Each row's current k-th distance: the task keeps only what beats it.
    bound = np.concatenate(
        [
            best[stored.firsts[p] : stored.firsts[p] + stored.sizes[p], -1]
            for p in ((a,) if a == b else (a, b))
        ]
    )
    return _tile_pair_task.options(**_TASK_OPTIONS).remote(
        stored.refs[a], stored.firsts[a], stored.refs[b], stored.firsts[b], bound, best.shape[1]
    )


def _merge_pair(best: np.ndarray, stored: _Stored, a: int, b: int, partial: np.ndarray) -> None:
    lo, n = stored.firsts[a], stored.sizes[a]
    _native._merge_sorted(best[lo : lo + n], partial[:n])
    if b != a:
        lo = stored.firsts[b]
        _native._merge_sorted(best[lo : lo + stored.sizes[b]], partial[n:])


def _typicality_by_rows(rows: _Rows, stored: _Stored, k: int, query_rows: int) -> np.ndarray:
    """Many neighbors: a task takes some of the class's query blocks and scans them against every
    row, one GEMM per query block as the class does, so it holds the whole matrix."""
    cpus = max(1, int(ray.cluster_resources().get("CPU", 1)))
    blocks = -(-rows.n // query_rows)
    size = -(-blocks // (_TASKS_PER_CPU * cpus)) * query_rows
    r = np.empty((rows.n, k), dtype=np.float32)
    tasks = [
        (
            # The refs travel inside a list, so that the task fetches and stacks them itself.
            functools.partial(
                _typicality_task.options(**_TASK_OPTIONS).remote,
                lo,
                min(lo + size, rows.n),
                k,
                stored.refs,
            ),
            _into(r, lo, min(lo + size, rows.n)),
        )
        for lo in range(0, rows.n, size)
    ]
    _gather("typicality", tasks)
    scores = np.empty(rows.n, dtype=np.float32)
    _native._typicality_scores(r, scores)
    return scores


def similarity(
    keys: Any, queries: Any, *, block_rows: int | None = None, column: str | None = None
) -> np.ndarray:
    """Similarity of every key to its nearest query, computed by Ray tasks over blocks of keys.

    `keys`: as `data` of :func:`typicality`; `queries`: anything ``Similarity`` accepts (or the
    same kinds as `keys`). Returns a float32 array of scores in key order, equal to
    ``Similarity(keys).calculate_similarity(queries)`` bit for bit.
    """
    key_rows = _Rows.inspect(keys, "key_embeddings", column)
    _native._check_keys(key_rows.n, key_rows.values, key_rows.first_non_finite())
    query_rows = _Rows.inspect(queries, "query_embeddings", column)
    _native._check_queries(
        query_rows.n,
        query_rows.values,
        query_rows.d,
        key_rows.first_length_other_than(query_rows.d),
        query_rows.first_odd_row(),
        query_rows.first_non_finite(),
    )
    plan = _native._knn_plan(key_rows.n, _block_rows(block_rows, key_rows))
    size = plan["block_rows"]
    stored = key_rows.put_aligned(size)
    # Query blocks only bound the memory of a task: as large as that allows, in whole tiles.
    tile = plan["column_rows"]
    query_refs = query_rows.put_aligned(max(1, _max_block_rows(query_rows.d) // tile) * tile).refs
    dist = np.empty(key_rows.n, dtype=np.float32)
    tasks = [
        (
            functools.partial(
                _similarity_task.options(**_TASK_OPTIONS).remote, stored.refs[b], lo, hi, query_refs
            ),
            _into(dist, stored.firsts[b] + lo, stored.firsts[b] + hi),
        )
        for b, lo, hi in stored.slices(size)
    ]
    _gather("similarity", tasks)
    scores = np.empty(key_rows.n, dtype=np.float32)
    _native._similarity_scores(dist, scores)
    return scores


@ray.remote
def _tile_pair_task(
    a: np.ndarray, a_first: int, b: np.ndarray, b_first: int, bound: np.ndarray, k: int
) -> np.ndarray:
    # Buffers that start full of the bound: merged with the driver's, the same values come out.
    best = np.repeat(bound[:, None], k, axis=1)
    _native._tile_pairs(a, a_first, b, b_first, best)
    return best


@ray.remote
def _typicality_task(lo: int, hi: int, k: int, refs: list[Any]) -> np.ndarray:
    stored = np.concatenate(ray.get(refs))
    best = np.empty((hi - lo, k), dtype=np.float32)
    _native._smallest_by_rows(stored[lo:hi], lo, stored, best)
    _native._finish_smallest(best)
    return best


@ray.remote
def _similarity_task(own: np.ndarray, lo: int, hi: int, query_refs: list[Any]) -> np.ndarray:
    keys = own[lo:hi]
    nearest = np.full(hi - lo, np.inf, dtype=np.float32)
    for ref in query_refs:
        stored = ray.get(ref)
        _native._merge_nearest(keys, stored, nearest)
        del stored
    _native._finish_nearest(nearest)
    return nearest


@ray.remote(num_cpus=1)
def _restack(lo: int, hi: int, firsts: list[int], *parts: np.ndarray) -> np.ndarray:
    """Rows [lo, hi) from the parts that hold them (part i starts at row firsts[i])."""
    return np.concatenate([p[max(lo - f, 0) : hi - f] for f, p in zip(firsts, parts)])


@ray.remote(num_cpus=1)
def _prepare_part(block: Any, param: str, column: str) -> tuple[Any, tuple[Any, ...]]:
    """One Dataset block as a float32 matrix, and (n, values, d, row lengths if ragged, error,
    first non-finite value as (row, column, value))."""
    try:
        from ray.data.block import BlockAccessor

        accessor = BlockAccessor.for_block(block)
        # A block left empty by a filter has no columns at all: it holds no rows, not an error.
        if accessor.num_rows() == 0:
            return None, (0, 0, 0, None, None, None)
        part = accessor.to_numpy(column)
        if isinstance(part, np.ndarray) and part.ndim == 2 and part.dtype.kind in "fiub":
            n, d = part.shape
            block = _as_float32(part)
            return block, (n, n * d, d, None, None, _native._first_non_finite(block))
        values, n, d, lengths, bad = _native._rows(part, param)
        if lengths is not None:
            return None, (n, len(values) // 4, d, np.asarray(lengths, dtype=np.int64), None, bad)
        block = np.frombuffer(values, dtype=np.float32).reshape(n, d)
        return block, (n, n * d, d, None, None, bad)
    except Exception as exc:  # raised on the driver, as a conversion error of the single machine
        return None, (0, 0, 0, None, exc, None)


class _Stored:
    """Blocks in the object store: refs and the global index of each block's first row."""

    def __init__(self, refs: list[Any], sizes: list[int]):
        self.refs = refs
        self.sizes = sizes
        self.firsts = (
            [int(f) for f in np.concatenate([[0], np.cumsum(sizes)[:-1]])] if sizes else []
        )

    def slices(self, size: int) -> list[tuple[int, int, int]]:
        """(block, lo, hi): the rows of each task, `size` at most, never across blocks."""
        return [
            (b, lo, min(lo + size, n)) for b, n in enumerate(self.sizes) for lo in range(0, n, size)
        ]


class _Rows:
    """Embeddings as given (array, memmap, Dataset or anything the classes accept), inspected
    without copying them, and put into the object store in blocks on request."""

    def __init__(self, n: int, values: int, d: int):
        self.n, self.values, self.d = n, values, d
        self._array: np.ndarray | None = None
        self._lengths: list[int] | None = None  # ragged rows from the conversion
        self._parts: list[Any] | None = None  # prepared Dataset blocks
        self._infos: list[tuple[Any, ...]] = []
        self._non_finite: tuple[int, int, float] | None = None  # from the conversion

    @classmethod
    def inspect(cls, obj: Any, param: str, column: str | None) -> "_Rows":
        if _is_dataset(obj):
            return cls._from_dataset(obj, param, column)
        if isinstance(obj, np.ndarray) and obj.ndim == 2 and obj.dtype.kind in "fiub":
            rows = cls(obj.shape[0], obj.shape[0] * obj.shape[1], obj.shape[1])
            rows._array = obj
            return rows
        # Anything else goes through the classes' own conversion, errors included.
        values, n, d, lengths, bad = _native._rows(obj, param)
        rows = cls(n, len(values) // 4, d)
        rows._lengths = lengths
        rows._non_finite = bad
        if rows.values == n * d:
            rows._array = np.frombuffer(values, dtype=np.float32).reshape(n, d)
        return rows

    @classmethod
    def _from_dataset(cls, ds: Any, param: str, column: str | None) -> "_Rows":
        names = list(ds.columns() or [])
        if not names:  # no schema to report: the Dataset holds no rows
            rows = cls(0, 0, 0)
            rows._parts = []
            return rows
        if column is None:
            if len(names) != 1:
                raise ValueError(
                    f"the Dataset has columns {names}: name the one holding the embeddings with column="
                )
            column = names[0]
        elif column not in names:
            raise ValueError(f"the Dataset has no column {column!r}; its columns are {names}")
        prepared: list[Any] = [
            _prepare_part.options(num_returns=2).remote(ref, param, column)
            for bundle in ds.iter_internal_ref_bundles()
            for ref in bundle.block_refs
        ]
        infos = ray.get([p[1] for p in prepared])
        for info in infos:
            if info[4] is not None:
                raise info[4]
        rows = cls(
            sum(i[0] for i in infos),
            sum(i[1] for i in infos),
            next((i[2] for i in infos if i[0] > 0), 0),
        )
        rows._parts = [p[0] for p, i in zip(prepared, infos) if i[0] > 0]
        rows._infos = [i for i in infos if i[0] > 0]
        return rows

    def first_non_finite(self) -> tuple[int, int, float] | None:
        """(row, column, value) of the first value that is not finite in float32."""
        if self._parts is not None:
            first = 0
            for info in self._infos:
                if info[5] is not None:
                    return first + info[5][0], info[5][1], info[5][2]
                first += info[0]
            return None
        if self._array is None or self._non_finite is not None or self._lengths is not None:
            return self._non_finite
        # Arrays are read in blocks as the tasks will read them: float32, as the classes convert.
        step = _max_block_rows(self.d)
        for lo in range(0, self.n, step):
            bad = _native._first_non_finite(_as_float32(self._array[lo : lo + step]))
            if bad is not None:
                return lo + bad[0], bad[1], bad[2]
        return None

    def first_odd_row(self) -> tuple[int, int] | None:
        """(index, length) of the first row whose length is not the first row's."""
        if self._lengths is not None:
            return next(((i, int(n)) for i, n in enumerate(self._lengths) if n != self.d), None)
        first = 0
        for n, _, part_d, lengths, _, _ in self._infos:
            if lengths is not None:
                odd = np.flatnonzero(lengths != self.d)
                if odd.size:
                    return first + int(odd[0]), int(lengths[odd[0]])
            elif part_d != self.d:
                return first, int(part_d)
            first += n
        return None

    def first_length_other_than(self, d: int) -> int | None:
        """Length of the first row whose length is not `d` (the keys' check against queries)."""
        if self._lengths is not None:
            return next((int(n) for n in self._lengths if n != d), None)
        for n, _, part_d, lengths, _, _ in self._infos:
            if lengths is not None:
                odd = lengths[lengths != d]
                if odd.size:
                    return int(odd[0])
            elif part_d != d:
                return int(part_d)
        return self.d if self.d != d and self.n > 0 else None

    def put(self, size: int) -> _Stored:
        if self._parts is not None:  # Dataset blocks are already in the object store
            return _Stored(self._parts, [i[0] for i in self._infos])
        _ensure_ray()
        assert self._array is not None
        refs, sizes = [], []
        for lo in range(0, self.n, size):
            block = _as_float32(self._array[lo : lo + size])
            refs.append(ray.put(block))
            sizes.append(block.shape[0])
            del block
        return _Stored(refs, sizes)

    def put_aligned(self, size: int) -> _Stored:
        """Blocks of `size` rows from row 0 (the last may be shorter), Dataset blocks cut anew."""
        if self._parts is None:
            return self.put(size)
        parts = _Stored(self._parts, [i[0] for i in self._infos])
        refs, sizes = [], []
        for lo in range(0, self.n, size):
            hi = min(lo + size, self.n)
            held = [
                p
                for p in range(len(parts.refs))
                if parts.firsts[p] < hi and parts.firsts[p] + parts.sizes[p] > lo
            ]
            refs.append(
                _restack.remote(
                    lo, hi, [parts.firsts[p] for p in held], *[parts.refs[p] for p in held]
                )
            )
            sizes.append(hi - lo)
        return _Stored(refs, sizes)


def _as_float32(block: np.ndarray) -> np.ndarray:
    """The float32 values the classes' conversion gives: other types go through float64, as a
    Python float does."""
    block = np.asarray(block)  # a plain array, also for memmap slices
    if block.dtype == np.float32:
        return np.ascontiguousarray(block)
    return block.astype(np.float64, copy=False).astype(np.float32, order="C")


def _is_dataset(obj: Any) -> bool:
    data = sys.modules.get("ray.data")
    return data is not None and isinstance(obj, data.Dataset)


def _ensure_ray() -> None:
    if not ray.is_initialized():
        ray.init(include_dashboard=False, logging_level=logging.WARNING)


def _block_rows(block_rows: int | None, rows: _Rows) -> int:
    """Rows per block of keys: about four tasks per CPU (the plan rounds it to whole tiles)."""
    if block_rows is not None:
        if (
            not isinstance(block_rows, numbers.Integral)
            or isinstance(block_rows, bool)
            or block_rows < 1
        ):
            raise ValueError(f"block_rows must be a positive integer, not {block_rows!r}")
        return int(block_rows)
    _ensure_ray()
    cpus = max(1, int(ray.cluster_resources().get("CPU", 1)))
    per_task = -(-rows.n // (_TASKS_PER_CPU * cpus))
    return max(1, min(per_task, _max_block_rows(rows.d)))


def _tile_block_rows(block_rows: int | None, rows: _Rows) -> int:
    """Rows per stored block of typicality (the plan rounds it to whole tiles of its scan)."""
    if block_rows is not None:
        return _block_rows(block_rows, rows)
    _ensure_ray()
    cpus = max(1, int(ray.cluster_resources().get("CPU", 1)))
    # A pair of blocks of `side` rows is about side^2 d multiply-adds.
    work = _TASK_MULTIPLY_ADDS * max(1, cpus // _CPUS_AT_ONE_SECOND)
    side = max(1, math.isqrt(work // max(rows.d, 1)))
    # At least _TASKS_PER_CPU block pairs per CPU, so that the cores stay busy to the end.
    blocks = 1
    while blocks * (blocks + 1) // 2 < _TASKS_PER_CPU * cpus:
        blocks += 1
    return max(1, min(side, -(-rows.n // blocks), _max_block_rows(rows.d)))


def _max_block_rows(d: int) -> int:
    return max(1, _MAX_BLOCK_BYTES // (4 * max(d, 1)))


def _into(out: np.ndarray, lo: int, hi: int) -> Callable[[np.ndarray], None]:
    def accept(result: np.ndarray) -> None:
        out[lo:hi] = result

    return accept


def _gather(
    name: str,
    tasks: Sequence[tuple[Callable[[], Any], Callable[[Any], None]]],
    unit: str = "blocks",
) -> None:
    """Submits the tasks, keeping about one per CPU of the cluster in flight, hands each result
    to its task's `accept` as it arrives and logs progress. On Ctrl-C (or any failure) it submits
    nothing more and re-raises; the few tasks in flight finish on their own. They are not
    cancelled: cancelling a task that completes at the same moment aborts the driver (Ray 2.60
    fails an internal check when the late reply arrives)."""
    window = max(1, int(ray.cluster_resources().get("CPU", 1)))
    waiting = list(reversed(tasks))
    pending: dict[Any, Callable[[Any], None]] = {}
    total, done = len(tasks), 0
    start = last = time.monotonic()
    reported = False
    while waiting or pending:
        while waiting and len(pending) < window:
            submit, accept = waiting.pop()
            pending[submit()] = accept
        ready, _ = ray.wait(list(pending), num_returns=1, timeout=0.25)
        for ref in ready:
            pending.pop(ref)(ray.get(ref))
            done += 1
        now = time.monotonic()
        if now - start >= _FIRST_EVENT_S and now - last >= _BETWEEN_EVENTS_S:
            last = now
            reported = True
            _log.info("%s", _progress(name, done, total, unit, now - start))
    if reported:  # the last event, as the classes log it: a progress bar closes on it
        _log.info("%s", _progress(name, done, total, unit, time.monotonic() - start))


def _progress(name: str, done: int, total: int, unit: str, elapsed: float) -> str:
    text = f"{name}: {done:,} of {total:,} {unit} ({100 * done // total}%)"
    text += f", {elapsed:,.0f} s elapsed"
    if 0 < done < total:
        text += f", about {elapsed / done * (total - done):,.0f} s left"
    return text


def __getattr__(name: str) -> Any:
    # The selection's module builds on the helpers above, and its actors import it alone.
    if name == "Selection":
        from orvane_keldra._ray_selection import Selection

        return Selection
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
