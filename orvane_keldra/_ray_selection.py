"""The greedy selection over a Ray cluster: ``orvane_keldra.distributed.Selection``.

The samples are cut into contiguous ranges, one per Ray actor; each actor holds its range's
strategies in the native shard class (``_native._SelectionShard``, the strategies of one
machine). A step is one round of actor calls: each actor is told the last pick (its rows, encoded
once by the actor that owns the sample and put once into the object store), updates its strategies
as one process would, scores its range with the same shortcuts, and returns its best sample with
what the stopping checks say of it and that sample's encoded pick. The driver takes the best of the
bests, ties to the lowest index, as the class does. Every actor sees every pick, so the state one
machine keeps across all samples (the selected set's diversity, the weights and class rows chosen)
is the same in every actor, bit for bit, and the picks are the class's.

The driver keeps the picks' encoded rows and how each actor was built (object-store references,
memmap paths, Dataset blocks): an actor that dies is rebuilt from those, the picks are replayed into
it, and the run goes on.
"""

from __future__ import annotations

import importlib
import logging
import mmap
import os
import sys
import time
from collections.abc import Callable
from typing import Any

import numpy as np
import ray

from orvane_keldra import distributed as _d

_native: Any = importlib.import_module("orvane_keldra._native")
_Selection: Any = importlib.import_module("orvane_keldra").Selection


def _panic(message: str, note: str) -> BaseException:
    """The PanicException the class raises (reported on stderr as it reports it), with its note."""
    sys.stderr.write(f"orvane_keldra: internal failure in Selection.run_selection(): {message}\n")
    exc = _native._rebuild_panic(message)
    exc.add_note(note)
    return exc


_log = logging.getLogger("orvane_keldra")
_FLT_MAX = float(np.finfo(np.float32).max)
_INLINE_PICK = 32 << 10


class _Source:
    """Where an actor reads rows of one input: an object-store block per shard, a memmap it opens
    itself, or the blocks of a Dataset."""

    def __init__(self, rows: _d._Rows, obj: Any):
        self.n, self.d = rows.n, rows.d
        self.memmap: tuple[str, int, str, tuple[int, ...]] | None = None
        self.blocks: _d._Stored | None = None
        self.array: np.ndarray | None = None
        if rows._parts is not None:
            self.blocks = _d._Stored(rows._parts, [i[0] for i in rows._infos])
        elif _whole_memmap(obj):
            self.memmap = (os.path.abspath(obj.filename), int(obj.offset), obj.dtype.str, obj.shape)
        else:
            self.array = rows._array

    def spec(self, select: np.ndarray | tuple[int, int]) -> tuple[Any, ...]:
        """What an actor needs to read the rows `select` (a range (lo, hi) or sorted indices)."""
        if self.memmap is not None:
            return ("memmap", self.memmap, select)
        if self.blocks is not None:
            return ("blocks", self.blocks.refs, self.blocks.firsts, self.blocks.sizes, select)
        assert self.array is not None
        part = (
            self.array[select[0] : select[1]] if isinstance(select, tuple) else self.array[select]
        )
        return ("ref", ray.put(_d._as_float32(part)))


def _whole_memmap(obj: Any) -> bool:
    return (
        isinstance(obj, np.memmap)
        and isinstance(obj.base, mmap.mmap)
        and obj.filename is not None
        and obj.ndim == 2
        and obj.flags.c_contiguous
        and obj.dtype.kind in "fiu"
    )


def _read(spec: tuple[Any, ...]) -> np.ndarray:
    """The float32 rows of a spec, read on the actor."""
    if spec[0] == "ref":
        return ray.get(spec[1])
    if spec[0] == "memmap":
        (path, offset, dtype, shape), select = spec[1], spec[2]
        whole = np.memmap(path, dtype=np.dtype(dtype), mode="r", offset=offset, shape=shape)
        part = whole[select[0] : select[1]] if isinstance(select, tuple) else whole[select]
        return _d._as_float32(part)
    refs, firsts, sizes, select = spec[1:]
    wanted = np.arange(select[0], select[1]) if isinstance(select, tuple) else select
    out = []
    for ref, first, size in zip(refs, firsts, sizes):
        mine = wanted[(wanted >= first) & (wanted < first + size)]
        if mine.size:
            out.append(_d._as_float32(ray.get(ref)[mine - first]))
    return np.concatenate(out) if out else np.empty((0, 0), dtype=np.float32)


class _Shard:
    """One range of the samples with its strategies: the body of a Ray actor."""

    def __init__(self, first: int, count: int, n_total: int):
        self._shard = _native._SelectionShard(first, count, n_total)

    def pid(self) -> int:
        return os.getpid()

    def peak_rss_mb(self) -> int:
        """VmHWM of the actor's process (Linux), for the benchmarks."""
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) // 1024 for line in f if line.startswith("VmHWM"))

    def add(self, kind: str, args: tuple[Any, ...]) -> None:
        resolved = [_read(a) if isinstance(a, tuple) and a and a[0] in _SPECS else a for a in args]
        getattr(self._shard, "add_" + kind)(*resolved)

    def begin_run(self) -> None:
        self._shard.begin_run()

    def end_run(self, keep: bool) -> None:
        self._shard.end_run(keep)

    def encode(self, indices: list[int]) -> list[bytes]:
        return [self._shard.encode_pick(i) for i in indices]

    def inform(self, picks: list[bytes]) -> None:
        for pick in picks:
            self._shard.inform(pick)

    def step(self, pick: bytes | None) -> Any:
        if pick is not None:
            self._shard.inform(pick)
        return self._shard.best()


_ShardActor: Any = ray.remote(_Shard)
_SPECS = ("ref", "memmap", "blocks")


class _Added:
    """One strategy as each shard builds it: kind and, per shard, its arguments."""

    def __init__(self, kind: str, n: int, per_shard: Callable[[int, int], tuple[Any, ...]]):
        self.kind, self.n, self.per_shard = kind, n, per_shard
        self.args: list[tuple[Any, ...]] = []  # filled once the shards are cut


class Selection:
    """``orvane_keldra.Selection`` over a Ray cluster: the same methods, parameters and picks.

    `shards`: how many actors hold the samples (default: one per CPU of the cluster); `column`:
    the column of ``ray.data.Dataset`` inputs. Per-sample and per-object inputs take what the
    class takes, and also NumPy arrays, memmaps (opened by the actors themselves, so the file must
    be on storage every node reads) and Datasets. ``run_selection`` returns exactly what the class
    returns for the same strategies, as long as the machines compute the same BLAS bits.
    """

    def __init__(self, *, shards: int | None = None, column: str | None = None):
        if shards is not None and (
            not isinstance(shards, int) or isinstance(shards, bool) or shards < 1
        ):
            raise ValueError(f"shards must be a positive integer, not {shards!r}")
        self._wanted_shards = shards
        self._column = column
        self._added: list[_Added] = []
        # Committed history: ("add", strategy index) and ("picks", [encoded picks]).
        self._events: list[tuple[str, Any]] = []
        self._ranges: list[tuple[int, int]] | None = None
        self._actors: list[Any] = []
        self._sent = 0  # strategies the actors hold
        self._n: int | None = None
        self._run_picks: list[bytes] | None = None  # the current run's, in order
        self._on_step: Callable[[int], None] | None = None  # tests: after each step

    # ---- the six strategies ----

    def add_weighting_strategy(self, weights: Any, strength: float) -> None:
        """As ``Selection.add_weighting_strategy``; `weights` may also be a NumPy array."""
        # The class's own conversion and rules, on the weights in this process.
        _Selection().add_weighting_strategy(weights, strength)
        w = _flat_float32(weights)
        finite = w[w <= _FLT_MAX]
        largest = float(max(0.0, finite.max())) if finite.size else 0.0
        s = float(np.float32(strength))
        self._add(
            "weighting",
            w.size,
            lambda lo, hi: (("ref", ray.put(w[lo:hi].copy())), s, largest, True),
        )

    def add_diversifying_strategy(
        self,
        embeddings: Any,
        strength: float,
        stopping_condition_minimum_distance: float | None = None,
    ) -> None:
        """As ``Selection.add_diversifying_strategy``; `embeddings` may also be an array, a
        memmap (read by the actors) or a Dataset."""
        rows = _d._Rows.inspect(embeddings, "embeddings", self._column)
        s, stop = _native._check_diversifying(
            rows.n, rows.values, rows.d, rows.first_odd_row(), strength,
            stopping_condition_minimum_distance,
        )  # fmt: skip
        source = _Source(rows, embeddings)
        self._add("diversifying", rows.n, lambda lo, hi: (source.spec((lo, hi)), s, stop))

    def add_balancing_strategy(
        self, class_distributions: Any, target: Any, strength: float
    ) -> None:
        _Selection().add_balancing_strategy(class_distributions, target, strength)
        rows = _d._Rows.inspect(class_distributions, "class_distributions", self._column)
        source = _Source(rows, class_distributions)
        t = _flat_float32(target)
        s = float(np.float32(strength))
        self._add("balancing", rows.n, lambda lo, hi: (source.spec((lo, hi)), t, s))

    def add_subpart_diversifying_strategy(
        self,
        embeddings: Any,
        sample_to_subpart_indices: Any,
        strength: float,
        stopping_condition_minimum_distance: float | None = None,
    ) -> None:
        """As ``Selection.add_subpart_diversifying_strategy``; each actor holds the objects of
        its samples."""
        rows = _d._Rows.inspect(embeddings, "embeddings", self._column)
        (offsets, objects), s, stop = _native._check_subpart_diversifying(
            rows.n, rows.values, rows.d, rows.first_odd_row(), sample_to_subpart_indices,
            strength, stopping_condition_minimum_distance,
        )  # fmt: skip
        mapping = _Mapping(offsets, objects)
        source = _Source(rows, embeddings)

        def per_shard(lo: int, hi: int) -> tuple[Any, ...]:
            ids, local_offsets, local = mapping.shard(lo, hi)
            return (source.spec(ids), local_offsets.tolist(), local.tolist(), ids.tolist(), s, stop)

        self._add("subpart_diversifying", mapping.n, per_shard)

    def add_subpart_similarity_strategy(
        self,
        key_embeddings: Any,
        query_embeddings: Any,
        sample_to_subpart_indices: Any,
        strength: float,
    ) -> None:
        """As ``Selection.add_subpart_similarity_strategy``; the object scores come from
        ``distributed.similarity`` (the class's bits)."""
        keys = _d._Rows.inspect(key_embeddings, "key_embeddings", self._column)
        queries = _d._Rows.inspect(query_embeddings, "query_embeddings", self._column)
        (offsets, objects), s = _native._check_subpart_similarity(
            keys.n, keys.values, keys.d, keys.first_non_finite(),
            queries.n, queries.values, queries.d, queries.first_odd_row(),
            queries.first_non_finite(), keys.first_length_other_than(queries.d),
            sample_to_subpart_indices, strength,
        )  # fmt: skip
        scores = _d.similarity(key_embeddings, query_embeddings, column=self._column)
        self._add_scored("subpart_similarity", scores, _Mapping(offsets, objects), (s,))

    def add_subpart_typicality_strategy(
        self,
        embeddings: Any,
        sample_to_subpart_indices: Any,
        strength: float,
        num_nearest_neighbors: int,
        stopping_condition_minimum_typicality: float | None = None,
    ) -> None:
        """As ``Selection.add_subpart_typicality_strategy``; the object scores come from
        ``distributed.typicality`` (the class's bits)."""
        rows = _d._Rows.inspect(embeddings, "embeddings", self._column)
        (offsets, objects), s, k, minimum = _native._check_subpart_typicality(
            rows.n, rows.values, rows.d, rows.first_odd_row(), rows.first_non_finite(),
            sample_to_subpart_indices, strength, num_nearest_neighbors,
            stopping_condition_minimum_typicality,
        )  # fmt: skip
        scores = _d.typicality(embeddings, k, column=self._column)
        self._add_scored("subpart_typicality", scores, _Mapping(offsets, objects), (s, minimum))

    def _add_scored(
        self, kind: str, scores: np.ndarray, mapping: _Mapping, rest: tuple[Any, ...]
    ) -> None:
        def per_shard(lo: int, hi: int) -> tuple[Any, ...]:
            ids, local_offsets, local = mapping.shard(lo, hi)
            return (("ref", ray.put(scores[ids])), local_offsets.tolist(), local.tolist(), *rest)

        self._add(kind, mapping.n, per_shard)

    def _add(self, kind: str, n: int, per_shard: Callable[[int, int], tuple[Any, ...]]) -> None:
        self._added.append(_Added(kind, n, per_shard))
        self._events.append(("add", len(self._added) - 1))

    # ---- the run ----

    def run_selection(
        self, preselected_indices: Any, n_total_samples: int, n_samples_to_select: int
    ) -> list[int]:
        """As ``Selection.run_selection``: the preselected indices as given, then the picks; the
        state the run leaves carries into the next run, as the class's does."""
        pre, n, want = _native._run_arguments(
            preselected_indices, n_total_samples, n_samples_to_select
        )
        for added in self._added:
            if added.n != n:
                raise ValueError(
                    f"The {added.kind.replace('_', ' ')} strategy has {added.n} samples but "
                    f"n_total_samples is {n}"
                )
        for i in pre:
            if i >= n:
                raise _panic(
                    f"The index of the selected_sample ({i}) is bigger than the number of samples ({n})",
                    f"preselected_indices holds {i} but n_total_samples is {n}: every index must "
                    "be below n_total_samples",
                )
        if not pre and want == 0:
            return []
        if n == 0:
            raise _panic(
                "called `Option::unwrap()` on a `None` value",
                "n_total_samples is 0: there is no sample to select",
            )
        self._sync(n)
        return self._run(pre, n, want)

    def _run(self, pre: list[int], n: int, want: int) -> list[int]:
        self._begin()
        picks: list[bytes] = []
        self._run_picks = picks
        try:
            picks.extend(self._encode(pre))
            for actor in self._actors:
                actor.inform.remote(list(picks))
            selected = list(pre)
            taken = set(pre)
            total = max(len(pre), min(want, len(pre) + n))
            start = last = time.monotonic()
            reported = False
            pending: Any = None
            steps = 0
            while len(selected) < want and len(taken) < n:
                bests = self._call_all("step", pending)
                best = None
                for b in bests:
                    if b is None:
                        continue
                    if b[2] and n > 1:
                        raise _panic(
                            "called `Option::unwrap()` on a `None` value",
                            "a combined score was NaN, so two candidates could not be compared: "
                            "look for an infinite strength or a strategy whose potentials are "
                            "infinite",
                        )
                    if best is None or b[1] > best[1] or (b[1] == best[1] and b[0] < best[0]):
                        best = b
                assert best is not None
                pending = None
                if best[3] or best[4]:  # taken (nothing left above the exclusion) or a stop
                    break
                picks.append(best[5])
                # Small picks travel inside the calls; larger ones once through the object store.
                pending = best[5] if len(best[5]) <= _INLINE_PICK else ray.put(best[5])
                selected.append(best[0])
                taken.add(best[0])
                steps += 1
                if self._on_step is not None:
                    self._on_step(steps)
                now = time.monotonic()
                if now - start >= _d._FIRST_EVENT_S and now - last >= _d._BETWEEN_EVENTS_S:
                    last, reported = now, True
                    _log.info(
                        "%s",
                        _d._progress("selection", len(selected), total, "samples", now - start),
                    )
            if pending is not None:
                self._call_all("inform", [picks[-1]])
            self._finish(picks)
            if reported:
                _log.info(
                    "%s",
                    _d._progress(
                        "selection", len(selected), total, "samples", time.monotonic() - start
                    ),
                )
            return selected
        except BaseException:
            self._abandon()
            raise
        finally:
            self._run_picks = None

    # ---- actors ----

    def _sync(self, n: int) -> bool:
        """Makes the actors on the first run and hands them the strategies added since; whether
        there are any."""
        if self._ranges is not None and n != self._n:
            # Only a selection without strategies ran on another count: its picks told nothing.
            for actor in self._actors:
                ray.kill(actor)
            self._ranges, self._actors, self._sent = None, [], 0
            first_add = next((i for i, e in enumerate(self._events) if e[0] == "add"), 0)
            self._events = [e for i, e in enumerate(self._events) if e[0] == "add" or i > first_add]
        if self._ranges is None:
            if n == 0:
                return False
            _d._ensure_ray()
            cpus = max(1, int(ray.cluster_resources().get("CPU", 1)))
            shards = min(self._wanted_shards or cpus, n)
            cuts = [n * k // shards for k in range(shards + 1)]
            self._ranges = [(cuts[k], cuts[k + 1]) for k in range(shards)]
            self._n = n
            self._actors = [self._new_actor(k) for k in range(shards)]
        for added in self._added[self._sent :]:
            added.args = [added.per_shard(lo, hi) for lo, hi in self._ranges]
            for actor, args in zip(self._actors, added.args):
                actor.add.remote(added.kind, args)
        self._sent = len(self._added)
        return True

    def _new_actor(self, k: int) -> Any:
        lo, hi = self._ranges[k]  # type: ignore[index]
        # No CPU is reserved: the actors live as long as the selection, and Ray tasks of later
        # add_* calls (the object scores) must still find CPUs. Spread, one core's work each.
        return _ShardActor.options(
            num_cpus=0,
            scheduling_strategy="SPREAD",
            runtime_env={"env_vars": {"RAYON_NUM_THREADS": "1"}},
        ).remote(lo, hi - lo, self._n)

    def _rebuild(self, k: int) -> None:
        """A new actor for shard k, told everything the dead one was told."""
        actor = self._new_actor(k)
        for event, value in self._events:
            if event == "add":
                added = self._added[value]
                if added.args:
                    actor.add.remote(added.kind, added.args[k])
            else:
                actor.inform.remote(value)
        if self._run_picks is not None:
            actor.begin_run.remote()
            actor.inform.remote(list(self._run_picks))
        self._actors[k] = actor

    def _call_all(self, method: str, arg: Any) -> list[Any]:
        """`method(arg)` on every actor; an actor that died is rebuilt and, where its replay did
        not already do it, asked again."""
        refs = [getattr(a, method).remote(arg) for a in self._actors]
        try:
            return ray.get(refs)
        except ray.exceptions.RayActorError:
            pass
        out = []
        for k, ref in enumerate(refs):
            try:
                out.append(ray.get(ref))
            except ray.exceptions.RayActorError:
                _log.warning("selection: shard %d was lost; rebuilding it from its inputs", k)
                self._rebuild(k)
                # The replay holds every pick told so far: an inform is done, a step is asked
                # again without its pick.
                if method == "inform":
                    out.append(None)
                    continue
                retry = None if method == "step" else arg
                out.append(ray.get(getattr(self._actors[k], method).remote(retry)))
        return out

    def _begin(self) -> None:
        self._run_picks = []
        for actor in self._actors:
            actor.begin_run.remote()

    def _encode(self, indices: list[int]) -> list[bytes]:
        """The encoded picks of `indices`, each from its owner."""
        assert self._ranges is not None
        cuts = [lo for lo, _ in self._ranges]
        owners = [int(np.searchsorted(cuts, i, side="right")) - 1 for i in indices]
        asked: dict[int, list[int]] = {}
        for i, k in zip(indices, owners):
            asked.setdefault(k, []).append(i)
        got: dict[int, list[bytes]] = {}
        for k, mine in asked.items():
            try:
                got[k] = ray.get(self._actors[k].encode.remote(mine))
            except ray.exceptions.RayActorError:
                self._rebuild(k)
                got[k] = ray.get(self._actors[k].encode.remote(mine))
        out = []
        for k in owners:
            out.append(got[k].pop(0))
        return out

    def _finish(self, picks: list[bytes]) -> None:
        self._run_picks = list(picks)
        self._call_all("end_run", True)
        self._events.append(("picks", list(picks)))
        self._run_picks = None

    def _abandon(self) -> None:
        self._run_picks = None
        for k, actor in enumerate(self._actors):
            try:
                ray.get(actor.end_run.remote(False))
            except ray.exceptions.RayActorError:
                self._rebuild(k)

    def _pids(self) -> list[int]:
        return ray.get([a.pid.remote() for a in self._actors])


class _Mapping:
    """sample -> objects, flat: the objects of sample i are objects[offsets[i]:offsets[i + 1]]."""

    def __init__(self, offsets: bytes, objects: bytes):
        self.offsets = np.frombuffer(offsets, dtype=np.uint64)
        self.objects = np.frombuffer(objects, dtype=np.uint64)
        self.n = self.offsets.size - 1

    def shard(self, lo: int, hi: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The objects of samples [lo, hi), ascending, and the range's mapping into them."""
        part = self.objects[self.offsets[lo] : self.offsets[hi]]
        ids, local = np.unique(part, return_inverse=True)
        return ids, self.offsets[lo : hi + 1] - self.offsets[lo], local.astype(np.uint64)


def _flat_float32(values: Any) -> np.ndarray:
    """A one-dimensional input as the classes convert it (float32 through float64)."""
    if isinstance(values, np.ndarray) and values.ndim == 1:
        return _d._as_float32(values)
    raw, n, d, _, _ = _native._rows([values], "values")
    return np.frombuffer(raw, dtype=np.float32).copy()
