"""Fuzzing of the whole Python surface.

Every input is drawn together with a plain-list twin holding the same values as ordinary Python
objects. The module must give the same outcome for both (bit-identical results or the same
exception type), the outcome must be one the twin's shape predicts, and every object must keep
working after a failure.
"""

import array
import math
import warnings
from dataclasses import dataclass
from decimal import Decimal
from fractions import Fraction
from typing import Any

import numpy as np
from conftest import panic_type
from hypothesis import HealthCheck, Phase, event, given, note, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from hypothesis.stateful import RuleBasedStateMachine, initialize, rule

import orvane_keldra as ok

PANIC = panic_type()


class Boom(Exception):
    """Raised by hostile inputs; must reach the caller unchanged."""


class Boomer:
    """A value whose float and index conversions fail with Boom."""

    def __float__(self):
        raise Boom("float")

    def __index__(self):
        raise Boom("index")

    def __repr__(self):
        return "Boomer()"


class Indexer:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v

    def __repr__(self):
        return f"Indexer({self.v})"


class Seq:
    """A sequence that is not a list: optional lying or failing length, optional failing iteration."""

    def __init__(self, items, length="true", fail_after=None):
        self.items, self.length, self.fail_after = list(items), length, fail_after

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        if self.length == "raise":
            raise Boom("len")
        if self.length == "lie":
            return len(self.items) + 7
        return len(self.items)

    def __iter__(self):
        for i, v in enumerate(self.items):
            if self.fail_after is not None and i == self.fail_after:
                raise Boom("iter")
            yield v
        if self.fail_after is not None:
            raise Boom("iter")

    def __repr__(self):
        return f"Seq({self.items!r}, {self.length}, {self.fail_after})"


FUZZ = settings(
    max_examples=200,
    deadline=None,
    suppress_health_check=list(HealthCheck),
    phases=[Phase.explicit, Phase.reuse, Phase.generate, Phase.shrink],
)
ALLOWED = (TypeError, OverflowError, ValueError, PANIC, Boom)


@dataclass
class Input:
    value: Any  # what the module receives
    twin: Any  # the same values as plain lists of Python scalars; None when unknown
    hostile: bool = False  # no conversion of it can succeed

    def __repr__(self):
        return f"Input({self.value!r})"


# --- scalars ---------------------------------------------------------------------------------

NUMBERS = st.one_of(
    st.floats(-100, 100, width=32),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 1e39, -1e39, 3.4028235e38, 1e-46, math.nan, -math.inf]),
    st.integers(-3, 3),
    st.integers(-(2**70), 2**70),
    st.booleans(),
    st.sampled_from(
        [
            Fraction(1, 3),
            Decimal("2.5"),
            Decimal("1e400"),
            np.float16(0.5),
            np.int8(-4),
            np.uint64(2**64 - 1),
            np.float64(np.nan),
            np.float32(3.5),
        ]
    ),
)
BAD_VALUES = st.one_of(
    st.none(),
    st.text(max_size=2),
    st.sampled_from([b"", [], [1.0], (), {}, object(), 1j, 10**400, Boomer()]),
)
GOOD_INDEX = st.one_of(
    st.integers(0, 9), st.booleans(), st.sampled_from([np.int64(2), np.uint8(1), Indexer(3)])
)
BAD_INDEX = st.one_of(
    st.integers(max_value=-1),
    st.integers(min_value=2**64, max_value=2**80),
    st.sampled_from([1.0, None, "1", Boomer(), Indexer(-1), np.float64(1.0), [1]]),
)


def value_error(v):
    """The exception converting `v` to a float must raise, or None."""
    if isinstance(v, Boomer):
        return Boom
    if isinstance(v, (str, bytes, list, tuple, dict, complex, type(None))) or type(v) is object:
        return TypeError
    if isinstance(v, int):
        try:
            float(v)
        except OverflowError:
            return OverflowError
    return None


def index_error(v):
    """The exception converting `v` to an unsigned 64-bit integer must raise, or None."""
    if isinstance(v, Boomer):
        return Boom
    if isinstance(v, (int, np.integer, Indexer)):
        i = v.v if isinstance(v, Indexer) else int(v)
        return None if 0 <= i < 2**64 else OverflowError
    return TypeError


def is_sequence(x):
    return not isinstance(x, dict) and hasattr(type(x), "__getitem__")


def predict_list(x, item_error):
    """Number of items, or the exception type, for a list-like argument given as a twin."""
    if isinstance(x, str) or not is_sequence(x):
        return TypeError
    n = 0
    for v in x:
        err = item_error(v)
        if err:
            return err
        n += 1
    return n


def predict_rows(x, item_error=value_error):
    """Row lengths, or the exception type, for a rows argument given as a twin."""
    if isinstance(x, str) or not is_sequence(x):
        return TypeError
    lengths = []
    for row in x:
        got = predict_list(row, item_error)
        if not isinstance(got, int):
            return got
        lengths.append(got)
    return lengths


# --- rendering a twin into the many forms the module accepts -----------------------------------

ROW_DTYPES = [np.float64, np.float32, np.float16, ">f8", "<f4", np.int64, np.uint8]
MATRIX_DTYPES = [np.float64, np.float32, np.float16, ">f8", ">f4", np.longdouble]


def quiet_array(values, dtype):
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        try:
            return np.asarray(values, dtype=dtype)
        except Exception:  # noqa: BLE001 - values NumPy refuses stay plain lists
            return None


def unaligned(a):
    raw = bytearray(a.nbytes + 1)
    b = np.frombuffer(raw, dtype=a.dtype, offset=1, count=a.size).reshape(a.shape)
    b[...] = a
    return b


@st.composite
def render_row(draw, row):
    """(value, twin) for one row of scalars."""
    kind = draw(
        st.sampled_from(["list", "list", "tuple", "seq", "array", "array.array", "memoryview"])
    )
    if kind == "tuple":
        return tuple(row), row
    if kind == "seq":
        return Seq(row, draw(st.sampled_from(["true", "lie", "raise"]))), row
    if kind in ("array", "memoryview", "array.array"):
        dtype = draw(st.sampled_from(ROW_DTYPES)) if kind == "array" else np.float64
        a = quiet_array(row, dtype)
        if a is None or a.ndim != 1:
            return row, row
        if kind == "array.array":
            packed = array.array(draw(st.sampled_from("fd")), a.tolist())
            return packed, packed.tolist()
        if kind == "memoryview":
            return memoryview(a), a.tolist()
        if draw(st.booleans()) and len(a):
            a = np.repeat(a, 2)[::2]  # same values, stride of two items
        return a, a.tolist()
    return list(row), row


@st.composite
def render_matrix(draw, rows, d):
    """A NumPy form of a rectangular twin, or None when the values do not fit an array."""
    a = quiet_array(rows, draw(st.sampled_from(MATRIX_DTYPES)))
    if a is None or a.shape != (len(rows), d):
        return None
    layout = draw(
        st.sampled_from(
            [
                "C",
                "F",
                "reversed",
                "col-step",
                "row-step",
                "broadcast",
                "unaligned",
                "readonly",
                "memoryview",
                "transposed-twice",
            ]
        )
    )
    if layout == "F":
        a = np.asfortranarray(a)
    elif layout == "reversed":
        a = a[::-1]
    elif layout == "col-step":
        a = np.repeat(a, 2, axis=1)[:, ::2]
    elif layout == "row-step":
        a = np.repeat(a, 2, axis=0)[::2]
    elif layout == "broadcast" and len(a):
        a = np.broadcast_to(a[:1], a.shape)
    elif layout == "unaligned":
        a = unaligned(a)
    elif layout == "readonly":
        a = a.copy()
        a.setflags(write=False)
    elif layout == "transposed-twice":
        a = np.ascontiguousarray(a.T).T
    note(f"matrix {a.dtype} {a.shape} {layout} strides={a.strides}")
    twin = a.tolist()
    if layout == "memoryview" and a.dtype in (np.float32, np.float64):
        return Input(memoryview(a), twin)
    return Input(a, twin)


def hostile(flat=False):
    """Inputs whose conversion cannot succeed (`flat`: for a list of scalars)."""
    makers = [
        lambda: "abc",
        lambda: None,
        lambda: 5,
        lambda: 2.5,
        lambda: {0: [1.0]},
        lambda: {1.0},
        lambda: (r for r in [[1.0]]),  # an iterator, not a sequence
        lambda: Seq([[1.0], [2.0]], fail_after=1),
        lambda: Seq([[1.0]], fail_after=0),
        lambda: [Seq([1.0, 2.0], fail_after=1)],
        lambda: [[1.0], "ab"],
        lambda: [[1.0], None],
        lambda: [[1.0, Boomer()]],
        lambda: [[[1.0]]],
        lambda: np.float64(1.0),
        lambda: np.array(3.0),
        lambda: np.zeros((2, 2), dtype="U3"),
    ]
    if not flat:
        makers.append(lambda: np.array([1.0, 2.0]))  # rows would be scalars
    return st.sampled_from(makers).map(lambda make: Input(make(), None, hostile=True))


@st.composite
def rows_input(draw, min_rows=0, max_rows=6, max_cols=5, cols=None, raw=True):
    """A rows argument: mostly well formed, sometimes ragged, poisoned or hostile."""
    if draw(st.integers(0, 11)) == 0:
        return draw(hostile())
    if raw and draw(st.integers(0, 11)) == 0:
        return draw(raw_array())
    n = draw(st.integers(min_rows, max_rows))
    d = cols if cols is not None else draw(st.integers(0, max_cols))
    ragged = draw(st.integers(0, 5)) == 0
    rows = []
    for _ in range(n):
        m = draw(st.integers(0, max_cols)) if ragged else d
        rows.append(draw(st.lists(NUMBERS, min_size=m, max_size=m)))
    if rows and draw(st.integers(0, 7)) == 0:  # one bad value or row among good ones
        i = draw(st.integers(0, n - 1))
        if rows[i] and draw(st.booleans()):
            rows[i][draw(st.integers(0, len(rows[i]) - 1))] = draw(BAD_VALUES)
        else:
            rows[i] = draw(st.sampled_from([None, "ab", 7, b"\x01\x02", range(d)]))
    if not ragged and draw(st.integers(0, 2)) == 0:
        m = draw(render_matrix(rows, d))
        if m is not None:
            return m
    value, twin = [], []
    for r in rows:
        if isinstance(r, (list, tuple)):
            v, t = draw(render_row(r))
        else:
            v, t = r, list(r) if isinstance(r, (bytes, range)) else r
        value.append(v)
        twin.append(t)
    outer = draw(st.sampled_from(["list", "list", "tuple", "seq"]))
    if outer == "tuple":
        value = tuple(value)
    elif outer == "seq":
        value = Seq(value, draw(st.sampled_from(["true", "lie", "raise"])))
    return Input(value, twin)


@st.composite
def raw_array(draw):
    """Arrays of any dtype and rank up to 3; a twin only where plain lists mean the same thing."""
    dtype = draw(
        st.one_of(
            hnp.floating_dtypes(),
            hnp.integer_dtypes(),
            hnp.boolean_dtypes(),
            hnp.complex_number_dtypes(),
            hnp.unicode_string_dtypes(max_len=2),
            hnp.datetime64_dtypes(),
        )
    )
    a = draw(hnp.arrays(dtype, hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4)))
    if a.ndim >= 2 and draw(st.booleans()):
        a = a[..., ::-1]
    note(f"raw array {a.dtype} {a.shape} strides={a.strides}")
    exact = a.dtype.kind in "fiub" and a.ndim == 2
    return Input(a, a.tolist() if exact else None)


@st.composite
def floats_input(draw, size):
    """A list-of-floats argument of about `size` items."""
    if draw(st.integers(0, 9)) == 0:
        return draw(hostile(flat=True))
    n = draw(st.sampled_from([size] * 6 + [0, size + 1, max(size - 1, 0)]))
    values = draw(st.lists(NUMBERS, min_size=n, max_size=n))
    if values and draw(st.integers(0, 6)) == 0:
        values[draw(st.integers(0, n - 1))] = draw(BAD_VALUES)
    v, t = draw(render_row(values))
    return Input(v, t)


@st.composite
def float_input(draw):
    if draw(st.integers(0, 7)) == 0:
        bad = draw(BAD_VALUES)
        return Input(bad, bad)
    v = draw(NUMBERS)
    return Input(v, v)


def optional_float_input():
    return st.one_of(st.just(Input(None, None)), float_input())


@st.composite
def index_input(draw, hi=9):
    v = draw(
        st.one_of(GOOD_INDEX, BAD_INDEX) if draw(st.integers(0, 7)) == 0 else st.integers(0, hi)
    )
    return Input(v, v)


def as_int(v):
    return int(v.v if isinstance(v, Indexer) else v)


@st.composite
def index_list_input(draw, hi):
    if draw(st.integers(0, 9)) == 0:
        return draw(hostile(flat=True))
    items = draw(st.lists(st.integers(0, hi), max_size=4))
    if items and draw(st.integers(0, 5)) == 0:
        items[draw(st.integers(0, len(items) - 1))] = draw(BAD_INDEX)
    kind = draw(st.sampled_from(["list", "tuple", "seq", "array"]))
    if kind == "tuple":
        return Input(tuple(items), items)
    if kind == "seq":
        return Input(Seq(items, draw(st.sampled_from(["true", "lie", "raise"]))), items)
    if kind == "array" and all(isinstance(i, int) and 0 <= i < 2**63 for i in items):
        return Input(np.asarray(items, dtype=np.int64), items)
    return Input(items, items)


@st.composite
def mapping_input(draw, n_samples, n_objects):
    """sample_to_subpart_indices: one list of object indices per sample."""
    if draw(st.integers(0, 9)) == 0:
        return draw(hostile())
    n = draw(st.sampled_from([n_samples, n_samples, n_samples, n_samples + 1, 0]))
    hi = max(n_objects - 1, 0) + draw(st.sampled_from([0, 0, 0, 0, 3]))
    rows = [draw(st.lists(st.integers(0, hi), max_size=3)) for _ in range(n)]
    if rows and draw(st.integers(0, 6)) == 0:
        i = draw(st.integers(0, n - 1))
        rows[i] = rows[i] + [draw(BAD_INDEX)]
    value = [draw(st.sampled_from([list, tuple, Seq]))(r) for r in rows]
    return Input(value, rows)


# --- calling ---------------------------------------------------------------------------------


@st.composite
def binding(draw, n_params, n_required):
    """How to pass arguments: prefix positional, rest by keyword (shuffled); sometimes wrongly."""
    mode = draw(st.sampled_from(["ok"] * 16 + ["extra", "unknown", "missing", "twice"]))
    n_pos = draw(st.integers(0, n_params))
    omit = draw(st.booleans()) and n_required < n_params  # leave the optional trailing ones out
    order = draw(st.permutations(range(n_params)))
    return mode, n_pos, omit, order


def call(fn, names, required, args, how):
    """Calls fn with `args` bound as `how` says; returns the expected TypeError flag too."""
    mode, n_pos, omit, order = how
    names, args, n_params = list(names), list(args), len(names)
    if omit:
        # Optional parameters are trailing; drop them unless they were given a value anyway.
        keep = [i for i in range(len(names)) if i < required or args[i] is not None]
        names, args = [names[i] for i in keep], [args[i] for i in keep]
        order = [i for i in order if i < len(names)]
        n_pos = min(n_pos, len(names))
    pos = args[:n_pos]
    kw = {names[i]: args[i] for i in order if i >= n_pos}
    if mode == "extra":
        pos = args + [0] * (n_params - len(args) + 1)
        kw = {}
    elif mode == "unknown":
        kw["no_such_argument"] = 1
    elif mode == "missing" and required:
        victim = names[required - 1]
        pos = pos[: min(n_pos, required - 1)]
        kw = {k: v for k, v in kw.items() if k != victim}
    elif mode == "twice" and n_pos:
        kw[names[0]] = args[0]
    binding_fails = (
        mode in ("extra", "unknown")
        or (mode == "missing" and required)
        or (mode == "twice" and n_pos > 0)
    )
    return outcome(lambda: fn(*pos, **kw), getattr(fn, "__name__", None)), binding_fails


def outcome(thunk, label=None):
    """The result, or the exception, of one call; nothing else may escape."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            result = thunk()
        except ALLOWED as exc:
            result = exc
        except MemoryError as exc:  # small inputs never need that much
            raise AssertionError(f"MemoryError for a small input: {exc!r}") from exc
    if label:
        event(f"{label}: {type(result).__name__}")
    return result


def is_error(r):
    return isinstance(r, BaseException)


def same(a, b):
    """Same exception type, or bit-identical results."""
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and np.asarray(a).tobytes() == np.asarray(b).tobytes()
    return True  # same exception type, or two new objects


def check_note(exc, params):
    if isinstance(exc, (OverflowError, Boom)) or (isinstance(exc, TypeError) and params):
        notes = getattr(exc, "__notes__", [])
        assert any(n in notes for n in (f"while processing '{p}'" for p in params)), (exc, notes)


def float_list_of(result, n):
    assert type(result) is list and len(result) == n, result
    assert all(type(v) is float for v in result)


# --- the scoring classes ---------------------------------------------------------------------


def expected_rows(inp):
    """Row lengths, or the exception type its conversion must raise; None when not known."""
    if inp.hostile:
        return None
    if inp.twin is not None:
        return predict_rows(inp.twin)
    return None


def refused_for_scores(twin):
    """Whether scoring refuses these convertible rows: no columns at all, or a value that is not a
    finite f32 once narrowed."""
    if all(len(r) == 0 for r in twin):
        return True
    with np.errstate(over="ignore", invalid="ignore"):
        values = np.array([float(v) for r in twin for v in r], dtype=np.float64)
        return not np.all(np.isfinite(values.astype(np.float32)))


def check_against_twin(got, inp, make_twin_call):
    """Outcome `got` for a fuzzed input versus the same call with its plain twin."""
    if inp.hostile:
        assert is_error(got), "a hostile input was accepted"
    elif inp.twin is not None:
        twin = make_twin_call()
        assert same(got, twin), (got, twin)


def rows_of(inp):
    """Number of rows of an input the module accepted."""
    return len(inp.twin) if inp.twin is not None else len(inp.value)


@FUZZ
@given(d=st.integers(0, 5), data=st.data(), how_new=binding(1, 1), how_call=binding(1, 1))
def test_similarity(d, data, how_new, how_call):
    keys = data.draw(rows_input(cols=d) | rows_input(), "keys")
    queries = data.draw(rows_input(cols=d) | rows_input(), "queries")
    built, binding_fails = call(ok.Similarity, ["key_embeddings"], 1, [keys.value], how_new)
    if binding_fails:
        assert isinstance(built, TypeError) and not getattr(built, "__notes__", None), built
        return
    check_against_twin(built, keys, lambda: outcome(lambda: ok.Similarity(keys.twin)))
    key_lengths = expected_rows(keys)
    if isinstance(key_lengths, type):
        assert isinstance(built, key_lengths), (built, key_lengths)
    elif key_lengths == []:
        assert isinstance(built, ValueError) and "key_embeddings" in str(built)
    elif key_lengths:
        want = ValueError if refused_for_scores(keys.twin) else ok.Similarity
        assert isinstance(built, want), built
    if is_error(built):
        check_note(built, ["key_embeddings"])
        assert ok.Similarity(SIMILARITY_KEYS).calculate_similarity([[0, 0]]) == [-0.0, -2.0]
        return

    # A probe of the first key's dimension, before and after the fuzzed call.
    dim = len(keys.twin[0]) if keys.twin is not None else keys.value.shape[1]
    probe = [[1.0] * dim]
    before = outcome(lambda: built.calculate_similarity(probe))
    got, binding_fails = call(
        built.calculate_similarity, ["query_embeddings"], 1, [queries.value], how_call
    )
    if binding_fails:
        assert isinstance(got, TypeError)
    else:
        if keys.twin is not None:
            twin_keys = ok.Similarity(keys.twin)
            check_against_twin(
                got, queries, lambda: outcome(lambda: twin_keys.calculate_similarity(queries.twin))
            )
        q = expected_rows(queries)
        if isinstance(q, type):
            assert isinstance(got, q), (got, q)
        elif q == []:
            assert isinstance(got, ValueError) and "query_embeddings" in str(got)
        elif q and key_lengths and any(m != q[0] for m in q + key_lengths):
            assert isinstance(got, (PANIC, ValueError)), got
        elif q and refused_for_scores(queries.twin):
            assert isinstance(got, ValueError) and "query_embeddings" in str(got), got
        if is_error(got):
            check_note(got, ["query_embeddings"])
        else:
            float_list_of(got, rows_of(keys))
            assert not any(s > 0 for s in got), got  # relative distances, negated: never positive
    assert same(outcome(lambda: built.calculate_similarity(probe)), before)


SIMILARITY_KEYS = [[0.0, 0.0], [3.0, 4.0]]
TYPICALITY_LINE = [float(np.float32(math.exp(-0.75)))] * 2 + [float(np.float32(math.exp(-1.5)))]


@FUZZ
@given(
    rows=st.one_of(*[rows_input(min_rows=2, max_rows=7)] * 3, rows_input(max_rows=3)),
    k=index_input(hi=8),
    how=binding(1, 1),
)
def test_typicality(rows, k, how):
    built = outcome(
        lambda: ok.Typicality(embeddings=rows.value) if how[1] == 0 else ok.Typicality(rows.value),
        "Typicality",
    )
    check_against_twin(built, rows, lambda: outcome(lambda: ok.Typicality(rows.twin)))
    lengths = expected_rows(rows)
    if isinstance(lengths, type):
        assert isinstance(built, lengths), built
    elif lengths is not None:
        if len(lengths) < 2 or any(m != lengths[0] for m in lengths):
            assert isinstance(built, PANIC), built
        elif refused_for_scores(rows.twin):
            assert isinstance(built, ValueError) and "embeddings" in str(built), built
        else:
            assert isinstance(built, ok.Typicality), built
    if is_error(built):
        check_note(built, ["embeddings"])
        assert ok.Typicality([[0.0], [1.0], [3.0]]).calculate_typicality(1) == TYPICALITY_LINE
        return

    n = rows_of(rows)
    before = built.calculate_typicality(n)
    got, binding_fails = call(
        built.calculate_typicality, ["num_nearest_neighbors"], 1, [k.value], how
    )
    if binding_fails:
        assert isinstance(got, TypeError)
    else:
        if rows.twin is not None:
            assert same(got, outcome(lambda: ok.Typicality(rows.twin).calculate_typicality(k.twin)))
        err = index_error(k.twin)
        if err:
            assert isinstance(got, err), got
            check_note(got, ["num_nearest_neighbors"])
        elif as_int(k.twin) == 0:
            assert isinstance(got, PANIC) and "has to be positive" in str(got)
        else:
            float_list_of(got, n)
            assert all(0.0 <= s <= 1.0 or math.isnan(s) for s in got), got
            if as_int(k.twin) >= n - 1:
                assert same(got, before)  # K is capped at N - 1
    assert same(built.calculate_typicality(n), before)


def layout_input_finite(rows, d, failure):
    """Whether the stored matrix holds only finite f32 values; a layout refuses anything else."""
    if rows.hostile or rows.twin is None:
        return failure is None or "must be finite" not in str(failure)
    with np.errstate(over="ignore"):
        used = np.array([list(r)[:d] for r in rows.twin], dtype=np.float64).astype(np.float32)
    return bool(np.isfinite(used).all())


@settings(FUZZ, max_examples=150)
@given(
    rows=st.one_of(
        rows_input(max_rows=8, max_cols=4), rows_input(min_rows=14, max_rows=30, cols=3)
    ),
    kw=st.booleans(),
)
def test_two_dim_embedding(rows, kw):
    built = outcome(
        lambda: ok.TwoDimEmbedding(embeddings=rows.value) if kw else ok.TwoDimEmbedding(rows.value),
        "TwoDimEmbedding",
    )
    check_against_twin(built, rows, lambda: outcome(lambda: ok.TwoDimEmbedding(rows.twin)))
    lengths = expected_rows(rows)
    if isinstance(lengths, type):
        assert isinstance(built, lengths), built
    elif lengths and min(lengths) < lengths[0]:
        assert isinstance(built, PANIC) and "index out of bounds" in str(built), built
    elif lengths is not None:
        assert isinstance(built, ok.TwoDimEmbedding), built
    replaced = is_error(built)
    if replaced:
        check_note(built, ["embeddings"])
        built, n, d = ok.TwoDimEmbedding([[0.0, 1.0], [1.0, 0.0], [2.0, 2.0]]), 3, 2
    else:
        n = rows_of(rows)
        d = lengths[0] if lengths else (rows.value.shape[1] if n else 0)

    failure = None
    try:
        got = built.calculate_2d_embedding()
    except RuntimeError as exc:
        failure = exc
    event(f"calculate_2d_embedding: {type(failure).__name__ if failure else 'list'}")
    refused = n < 2 or d == 0 or (not replaced and not layout_input_finite(rows, d, failure))
    if refused:
        assert failure is not None and str(failure).startswith(
            "Error during 2D embedding calculation: PaCMap error: "
        ), failure
        try:
            built.calculate_2d_embedding()
        except RuntimeError as exc:
            assert str(exc) == str(failure)  # the object is unchanged
        else:
            raise AssertionError("a failing layout succeeded on a second call")
        return
    assert failure is None, failure
    assert type(got) is list and len(got) == n
    assert all(type(p) is tuple and len(p) == 2 and all(type(c) is float for c in p) for p in got)
    assert len(built.calculate_2d_embedding()) == n


# --- Selection: random call sequences on one object, shadowed by a twin ------------------------


class SelectionCalls(RuleBasedStateMachine):
    """Every call goes to a Selection with fuzzed inputs and to a shadow with the plain twins;
    the two must agree on every outcome, which also shows that failed calls change nothing."""

    @initialize(n=st.integers(1, 6), n_objects=st.integers(1, 6))
    def start(self, n, n_objects):
        self.n, self.n_objects = n, n_objects
        self.sel, self.shadow = ok.Selection(), ok.Selection()
        # With strengths in [0, 1e30) no score reaches minus infinity, so a selected sample,
        # scored with the lowest finite float, can never be chosen again.
        self.tame = True

    def both(self, method, names, required, inputs, how, check=None):
        got, binding_fails = call(
            getattr(self.sel, method), names, required, [i.value for i in inputs], how
        )
        if binding_fails:
            assert isinstance(got, TypeError) and not getattr(got, "__notes__", None), got
            return
        if any(i.hostile for i in inputs):
            assert is_error(got), "a hostile input was accepted"
            check_note(got, names)
            return
        mirrored, _ = call(
            getattr(self.shadow, method),
            names,
            required,
            [i.twin for i in inputs],
            ("ok",) + how[1:],
        )
        assert same(got, mirrored), (got, mirrored)
        predicted = None
        for name, i in zip(names, inputs):
            predicted = self.predict(name, i.twin)
            if predicted:
                assert isinstance(got, predicted), (got, predicted, name)
                check_note(got, [name])
                return
        if is_error(got):
            assert isinstance(got, (ValueError, PANIC)), got
        elif check:
            check(got)
        else:
            assert got is None
            strength = float(inputs[names.index("strength")].twin)
            self.tame = self.tame and 0.0 <= strength < 1e30

    @staticmethod
    def predict(name, twin):
        if name == "strength":
            return value_error(twin)
        if name.startswith("stopping_condition"):
            return None if twin is None else value_error(twin)
        if name in ("n_total_samples", "n_samples_to_select", "num_nearest_neighbors"):
            return index_error(twin)
        if name in ("weights", "target", "preselected_indices"):
            got = predict_list(twin, index_error if name == "preselected_indices" else value_error)
        else:
            got = predict_rows(
                twin, index_error if name == "sample_to_subpart_indices" else value_error
            )
        return got if isinstance(got, type) else None

    def rows(self, data, **kw):
        return data.draw(rows_input(raw=False, **kw))

    @rule(data=st.data())
    def add_weighting_strategy(self, data):
        self.both(
            "add_weighting_strategy",
            ["weights", "strength"],
            2,
            [data.draw(floats_input(self.n)), data.draw(float_input())],
            data.draw(binding(2, 2)),
        )

    @rule(data=st.data())
    def add_diversifying_strategy(self, data):
        self.both(
            "add_diversifying_strategy",
            ["embeddings", "strength", "stopping_condition_minimum_distance"],
            2,
            [
                self.rows(data, min_rows=self.n, max_rows=self.n + 1, max_cols=3),
                data.draw(float_input()),
                data.draw(optional_float_input()),
            ],
            data.draw(binding(3, 2)),
        )

    @rule(data=st.data())
    def add_balancing_strategy(self, data):
        m = data.draw(st.integers(1, 3))
        self.both(
            "add_balancing_strategy",
            ["class_distributions", "target", "strength"],
            3,
            [
                self.rows(data, min_rows=self.n, max_rows=self.n, cols=m, max_cols=3),
                data.draw(floats_input(m)),
                data.draw(float_input()),
            ],
            data.draw(binding(3, 3)),
        )

    @rule(data=st.data())
    def add_subpart_diversifying_strategy(self, data):
        self.both(
            "add_subpart_diversifying_strategy",
            [
                "embeddings",
                "sample_to_subpart_indices",
                "strength",
                "stopping_condition_minimum_distance",
            ],
            3,
            [
                self.rows(data, min_rows=self.n_objects, max_rows=self.n_objects, max_cols=3),
                data.draw(mapping_input(self.n, self.n_objects)),
                data.draw(float_input()),
                data.draw(optional_float_input()),
            ],
            data.draw(binding(4, 3)),
        )

    @rule(data=st.data())
    def add_subpart_similarity_strategy(self, data):
        d = data.draw(st.integers(1, 3))
        self.both(
            "add_subpart_similarity_strategy",
            ["key_embeddings", "query_embeddings", "sample_to_subpart_indices", "strength"],
            4,
            [
                self.rows(data, min_rows=self.n_objects, max_rows=self.n_objects, cols=d),
                self.rows(data, min_rows=1, max_rows=3, cols=d),
                data.draw(mapping_input(self.n, self.n_objects)),
                data.draw(float_input()),
            ],
            data.draw(binding(4, 4)),
        )

    @rule(data=st.data())
    def add_subpart_typicality_strategy(self, data):
        self.both(
            "add_subpart_typicality_strategy",
            [
                "embeddings",
                "sample_to_subpart_indices",
                "strength",
                "num_nearest_neighbors",
                "stopping_condition_minimum_typicality",
            ],
            4,
            [
                self.rows(data, min_rows=self.n_objects, max_rows=self.n_objects, cols=2),
                data.draw(mapping_input(self.n, self.n_objects)),
                data.draw(float_input()),
                data.draw(index_input(hi=4)),
                data.draw(optional_float_input()),
            ],
            data.draw(binding(5, 4)),
        )

    @rule(data=st.data())
    def run_selection(self, data):
        pre = data.draw(index_list_input(self.n + 1))
        total = data.draw(st.sampled_from([Input(self.n, self.n)] * 3) | index_input(hi=self.n + 1))
        count = data.draw(index_input(hi=self.n + 3))

        def check(result):
            given = [as_int(i) for i in pre.twin]
            assert type(result) is list and all(type(i) is int for i in result), result
            assert result[: len(given)] == given
            assert len(result) <= max(len(given), as_int(count.twin))
            chosen = result[len(given) :]
            assert all(i < as_int(total.twin) for i in chosen), result
            if self.tame:
                assert len(set(chosen)) == len(chosen) and not set(given) & set(chosen), result

        self.both(
            "run_selection",
            ["preselected_indices", "n_total_samples", "n_samples_to_select"],
            3,
            [pre, total, count],
            data.draw(binding(3, 3)),
            check,
        )

    @rule()
    def reentrant_call_is_refused(self):
        seen = []
        sel = self.sel

        class Reenter(list):
            def __iter__(self):
                try:
                    sel.run_selection([], 1, 1)
                except RuntimeError as exc:
                    seen.append(exc)
                return super().__iter__()

        got = outcome(lambda: self.sel.run_selection(Reenter([]), 0, 0))
        assert [str(e) for e in seen] == ["Already borrowed"]
        assert same(got, outcome(lambda: self.shadow.run_selection([], 0, 0)))

    def teardown(self):
        if hasattr(self, "sel"):
            assert same(
                outcome(lambda: self.sel.run_selection([], self.n, self.n)),
                outcome(lambda: self.shadow.run_selection([], self.n, self.n)),
            )


TestSelectionCalls = SelectionCalls.TestCase
TestSelectionCalls.settings = settings(FUZZ, max_examples=150, stateful_step_count=30)
