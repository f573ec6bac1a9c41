import numpy as np
import pytest
from conftest import panic_type

import orvane_keldra as ok

LINE = [[0.0, 0.0], [1.0, 0.0], [3.0, 0.0]]
ROWS = [[1.0, 0.0], [0.0, 1.0], [1.0, 0.0]]


@pytest.fixture(scope="module")
def panic():
    return panic_type()


def line_selection():
    s = ok.Selection()
    s.add_diversifying_strategy(LINE, 1.0)
    return s


# --- worked examples -------------------------------------------------------


@pytest.mark.parametrize(
    "build, args, expected",
    [
        (lambda s: None, ([], 3, 2), [0, 1]),
        (lambda s: None, ([2], 5, 4), [2, 0, 1, 3]),
        (lambda s: None, ([1, 1], 3, 3), [1, 1, 0]),
        (lambda s: None, ([2, 0, 2], 3, 2), [2, 0, 2]),
        (lambda s: s.add_weighting_strategy([1, 5, 3], 1.0), ([], 3, 3), [1, 2, 0]),
        (lambda s: s.add_weighting_strategy([1, 5, 3], 1), ([], 3, 3), [1, 2, 0]),
        (lambda s: s.add_weighting_strategy([1, 5, 3], -1.0), ([], 3, 3), [0, 2, 1]),
        (lambda s: s.add_balancing_strategy(ROWS, [0.5, 0.5], 1.0), ([], 3, 2), [0, 1]),
        (lambda s: s.add_diversifying_strategy(LINE, 1.0), ([], 3, 3), [0, 2, 1]),
        (lambda s: s.add_diversifying_strategy(LINE, 1.0, 1.5), ([0], 3, 3), [0, 2]),
        (lambda s: s.add_diversifying_strategy(LINE, 1.0, 2e4), ([], 3, 3), []),
        # Subparts with one object per sample behave like the sample-level strategy.
        (
            lambda s: s.add_subpart_diversifying_strategy(LINE, [[0], [1], [2]], 1.0, 1.5),
            ([0], 3, 3),
            [0, 2],
        ),
        # Sample 1 has no objects: it never stops the run, sample 0 always does.
        (
            lambda s: s.add_subpart_typicality_strategy([[0.0], [1.0]], [[0, 1], []], 1.0, 1, 0.9),
            ([], 2, 2),
            [],
        ),
        (
            lambda s: s.add_subpart_typicality_strategy([[0.0], [1.0]], [[0, 1], []], 1.0, 1, 0.9),
            ([0], 2, 2),
            [0, 1],
        ),
        # More requested than exist: the run ends once every index is taken.
        (lambda s: None, ([], 3, 5), [0, 1, 2]),
        (lambda s: None, ([1, 1], 3, 10), [1, 1, 0, 2]),
        (lambda s: s.add_weighting_strategy([1, 5, 3], 1.0), ([2], 3, 7), [2, 1, 0]),
    ],
)
def test_worked_examples(build, args, expected):
    s = ok.Selection()
    build(s)
    assert s.run_selection(*args) == expected


@pytest.mark.parametrize(
    "add",
    [
        lambda s, *stop: s.add_diversifying_strategy(LINE, 1.0, *stop),
        lambda s, *stop: s.add_subpart_diversifying_strategy(LINE, [[0], [1], [2]], 1.0, *stop),
    ],
)
def test_none_stopping_distance_equals_omitted(add):
    runs = []
    for stop in ((), (None,)):
        s = ok.Selection()
        add(s, *stop)
        runs.append(s.run_selection([0], 3, 3))
    s = ok.Selection()
    s.add_diversifying_strategy(LINE, 1.0, stopping_condition_minimum_distance=None)
    runs.append(s.run_selection([0], 3, 3))
    assert runs == [[0, 2, 1]] * 3


@pytest.mark.parametrize(
    "build, first, second",
    [
        # Class totals after sample 0 make sample 1 the best balancing pick.
        (lambda s: s.add_balancing_strategy(ROWS, [0.5, 0.5], 1.0), [0], [1]),
        # Accumulated weights: after sample 0, ln(2)+ln(4) < ln(6)+ln(2).
        (
            lambda s: (
                s.add_weighting_strategy([1, 5, 3], 1.0),
                s.add_weighting_strategy([2, 0, 0], 1.0),
            ),
            [0],
            [1],
        ),
    ],
)
def test_state_carries_over_between_runs(build, first, second):
    s = ok.Selection()
    build(s)
    assert s.run_selection([], 3, 1) == first
    assert s.run_selection([], 3, 1) == second


# --- input checks -------------------------------------------------------------

T_OK = [[0.0, 1.0], [2.0, 3.0]]

FAILED_ADDS = [
    # (call, exception, message, argument named in the note); a message only where it shows
    # which check comes first (test_module_surface pins each text once)
    (
        lambda s: s.add_balancing_strategy([[0.5, 0.5], [1.0]], [0.5, 0.5], 1.0),
        ValueError,
        None,
        None,
    ),
    (
        lambda s: s.add_balancing_strategy([[1, 0], [0], [1, 0, 0]], [0.5, 0.5], 1.0),
        ValueError,
        "`class_distributions` is not a 2D matrix, uneven length of rows",
        None,
    ),
    (
        lambda s: s.add_subpart_similarity_strategy([], [], [[0]], 1.0),
        ValueError,
        "Empty list of key_embeddings is not supported",
        None,
    ),
    (
        lambda s: s.add_subpart_similarity_strategy([[0.0]], [], [[0]], 1.0),
        ValueError,
        "Empty list of query_embeddings is not supported",
        None,
    ),
    (
        lambda s: s.add_subpart_typicality_strategy([[0.0, 1.0]], [[0]], 1.0, 3),
        ValueError,
        None,
        None,
    ),
    (
        lambda s: s.add_subpart_typicality_strategy([[0.0, 1.0]], [[7]], 1.0, 0),
        ValueError,
        "At least two embeddings are required",
        None,
    ),
    (
        lambda s: s.add_subpart_typicality_strategy([[0.0, 1.0], [2.0]], [[7]], 1.0, 0),
        ValueError,
        "num_nearest_neighbors must be positive",
        None,
    ),
    (
        lambda s: s.add_subpart_typicality_strategy([[0.0, 1.0], [2.0]], [[7]], 1.0, 1),
        ValueError,
        "Embeddings must have equal dimensions",
        None,
    ),
    (
        lambda s: s.add_subpart_typicality_strategy(T_OK, [[0], [5], [1]], 1.0, 1),
        ValueError,
        None,
        None,
    ),
    (
        lambda s: s.add_subpart_typicality_strategy(T_OK, [[0], [2], [1]], 1.0, 1),
        ValueError,
        "Object index is out of bounds",
        None,
    ),
    (
        lambda s: s.add_subpart_diversifying_strategy(T_OK, [[0], [2], [1]], 1.0),
        ValueError,
        "Object index is out of bounds",
        None,
    ),
    (
        lambda s: s.add_subpart_similarity_strategy(T_OK, [[0.0, 0.0]], [[0], [1], [2]], 1.0),
        ValueError,
        "Object index is out of bounds",
        None,
    ),
    (
        lambda s: s.add_balancing_strategy([], [0.5, 0.5], 1.0),
        "panic",
        None,
        None,
    ),
    (
        lambda s: s.add_balancing_strategy([[1, 0, 0]] * 3, [0.5, 0.5], 1.0),
        "panic",
        None,
        None,
    ),
    (lambda s: s.add_weighting_strategy([0, 0, 9], "x"), TypeError, None, "strength"),
    (
        lambda s: s.add_weighting_strategy("abc", "x"),
        TypeError,
        "Can't extract `str` to `Vec`",
        "weights",
    ),
    (
        lambda s: s.add_diversifying_strategy(LINE, 1.0, "far"),
        TypeError,
        None,
        "stopping_condition_minimum_distance",
    ),
    (
        lambda s: s.add_subpart_diversifying_strategy(LINE, [[0], [-1], [2]], 1.0),
        OverflowError,
        None,
        "sample_to_subpart_indices",
    ),
    (
        lambda s: s.add_subpart_typicality_strategy(LINE, [[0], [1], [2]], 1.0, 2.0),
        TypeError,
        None,
        "num_nearest_neighbors",
    ),
]


@pytest.mark.parametrize("call, exc, message, note", FAILED_ADDS)
def test_failed_add_raises_and_leaves_selection_unchanged(panic, call, exc, message, note):
    s = line_selection()
    with pytest.raises(panic if exc == "panic" else exc) as info:
        call(s)
    if message is not None:
        assert str(info.value) == message
    if note is not None:
        assert info.value.__notes__ == [f"while processing '{note}'"]
    assert s.run_selection([], 3, 3) == line_selection().run_selection([], 3, 3) == [0, 2, 1]


@pytest.mark.parametrize(
    "args, note",
    [
        (([-1], 3, 1), "preselected_indices"),
        (([0], -3, 1), "n_total_samples"),
        (([0], 3, 1.0), "n_samples_to_select"),
    ],
)
def test_run_selection_conversion_errors_name_the_argument(args, note):
    with pytest.raises((OverflowError, TypeError)) as info:
        ok.Selection().run_selection(*args)
    assert info.value.__notes__ == [f"while processing '{note}'"]


# Each builder gives strategies over 2 or 3 samples whose next pick changes
# once the failing call's preselection is informed (except the subpart
# similarity and typicality kinds, whose potentials do not reveal it).
MISMATCHES = [
    (
        "weighting",
        2,
        [0],
        lambda s: (s.add_weighting_strategy([1, 0], 1.0), s.add_weighting_strategy([0, 1], 1.0)),
    ),
    ("diversifying", 3, [1], lambda s: s.add_diversifying_strategy(LINE, 1.0)),
    ("balancing", 3, [0], lambda s: s.add_balancing_strategy(ROWS, [0.5, 0.5], 1.0)),
    (
        "subpart diversifying",
        3,
        [1],
        lambda s: s.add_subpart_diversifying_strategy(LINE, [[0], [1], [2]], 1.0),
    ),
    (
        "subpart similarity",
        3,
        [0],
        lambda s: s.add_subpart_similarity_strategy(LINE, [[0.0, 0.0]], [[0], [1], [2]], 1.0),
    ),
    (
        "subpart typicality",
        3,
        [0],
        lambda s: s.add_subpart_typicality_strategy(LINE, [[0], [1], [2]], 1.0, 1, 0.3),
    ),
]


@pytest.mark.parametrize("name, n, pre, build", MISMATCHES, ids=[m[0] for m in MISMATCHES])
@pytest.mark.parametrize("delta", [1, -1])
def test_sample_count_mismatch_fails_before_informing(name, n, pre, build, delta):
    s, fresh = ok.Selection(), ok.Selection()
    build(s)
    build(fresh)
    with pytest.raises(ValueError) as info:
        s.run_selection(pre, n + delta, n)
    assert (
        str(info.value) == f"The {name} strategy has {n} samples but n_total_samples is {n + delta}"
    )
    assert s.run_selection([], n, n) == fresh.run_selection([], n, n)


@pytest.mark.parametrize("pre, n_select", [([2, 3], 3), ([2, 7], 3), ([0, 3], 1)])
def test_preselected_index_out_of_range_panics_before_informing(panic, pre, n_select):
    s = line_selection()
    with pytest.raises(panic) as info:
        s.run_selection(pre, 3, n_select)
    bad = next(i for i in pre if i >= 3)
    assert (
        str(info.value)
        == f"The index of the selected_sample ({bad}) is bigger than the number of samples (3)"
    )
    assert s.run_selection([], 3, 3) == [0, 2, 1]


def test_numpy_arrays_select_like_lists(rng):
    n = 40
    emb = rng.normal(size=(n, 5))
    objects = rng.normal(size=(2 * n, 5)).astype(np.float32)
    mapping = np.arange(2 * n).reshape(n, 2)
    inputs = dict(
        weights=rng.uniform(0.1, 2.0, size=n),
        emb=emb,
        classes=rng.dirichlet([1.0, 1.0, 1.0], size=n).astype(np.float32),
        target=np.array([0.2, 0.3, 0.5]),
        objects=objects,
        queries=objects[:4] + 0.5,
        mapping=mapping,
        pre=np.array([3, 17], dtype=np.uint64),
    )
    results = []
    for convert in (lambda a: a, lambda a: a.tolist()):
        v = {k: convert(a) for k, a in inputs.items()}
        s = ok.Selection()
        s.add_weighting_strategy(v["weights"], 1.0)
        s.add_diversifying_strategy(v["emb"], 2.0, 0.5)
        s.add_balancing_strategy(v["classes"], v["target"], 1.5)
        s.add_subpart_diversifying_strategy(v["objects"], v["mapping"], 0.5)
        s.add_subpart_similarity_strategy(v["objects"], v["queries"], v["mapping"], 1.0)
        s.add_subpart_typicality_strategy(v["objects"], v["mapping"], 1.0, 5)
        results.append((s.run_selection(v["pre"], n, 15), s.run_selection([], n, 5)))
    assert results[0] == results[1]
    assert len(results[0][0]) == 15 and results[0][0][:2] == [3, 17]
