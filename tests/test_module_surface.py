"""Module surface: registration, signatures, argument binding, conversion and error mapping."""

import math

import numpy as np
import pytest
from conftest import panic_type

import orvane_keldra as ok
from orvane_keldra import _native


def test_module_lists_classes_in_order():
    assert ok.__all__ == ["Selection", "Typicality", "TwoDimEmbedding", "Similarity"]
    assert ok.__doc__ == ""
    for name in ok.__all__:
        assert isinstance(getattr(ok, name), type)
    assert not hasattr(ok, "PanicException")


@pytest.mark.parametrize(
    "obj, signature",
    [
        (ok.Similarity, "(key_embeddings)"),
        (ok.Typicality, "(embeddings)"),
        (ok.TwoDimEmbedding, "(embeddings)"),
        (ok.Selection, "()"),
        (ok.Similarity.calculate_similarity, "($self, query_embeddings)"),
        (ok.Typicality.calculate_typicality, "($self, num_nearest_neighbors)"),
        (ok.TwoDimEmbedding.calculate_2d_embedding, "($self)"),
        (
            ok.Selection.add_diversifying_strategy,
            "($self, embeddings, strength, stopping_condition_minimum_distance=None)",
        ),
        (
            ok.Selection.run_selection,
            "($self, preselected_indices, n_total_samples, n_samples_to_select)",
        ),
    ],
)
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature


def test_docstring_bodies():
    assert ok.Similarity.__doc__.startswith("Python wrapper for the Similarity class.\n\n")
    assert ok.Selection.run_selection.__doc__.endswith(
        "# Returns\nA list of selected sample indices"
    )
    assert "`num_nearest_neighbors` excludes self, must be positive, and is capped at N - 1." in (
        ok.Selection.add_subpart_typicality_strategy.__doc__
    )


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: ok.Similarity(),
            "Similarity.__new__() missing 1 required positional argument: 'key_embeddings'",
        ),
        (
            lambda: ok.Similarity([[1.0]], [[2.0]]),
            "Similarity.__new__() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: ok.Similarity(key_embeddings=[[1.0]], foo=1),
            "Similarity.__new__() got an unexpected keyword argument 'foo'",
        ),
        (
            lambda: ok.Similarity([[1.0]], key_embeddings=[[1.0]]),
            "Similarity.__new__() got multiple values for argument 'key_embeddings'",
        ),
        (
            lambda: ok.Selection(1),
            "Selection.__new__() takes 0 positional arguments but 1 was given",
        ),
        (
            lambda: ok.Selection().add_diversifying_strategy([[0.0]], 1.0, None, 4),
            "Selection.add_diversifying_strategy() takes from 2 to 3 positional arguments but 4 were given",
        ),
        (
            lambda: ok.Selection().add_subpart_similarity_strategy(),
            "Selection.add_subpart_similarity_strategy() missing 4 required positional arguments: "
            "'key_embeddings', 'query_embeddings', 'sample_to_subpart_indices' and 'strength'",
        ),
        (
            lambda: ok.Selection().run_selection([], 1),
            "Selection.run_selection() missing 1 required positional argument: 'n_samples_to_select'",
        ),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_form_equals_positional():
    a = ok.Similarity(key_embeddings=[[1.0, 2.0]]).calculate_similarity(
        query_embeddings=[[0.0, 0.0]]
    )
    b = ok.Similarity([[1.0, 2.0]]).calculate_similarity([[0.0, 0.0]])
    assert a == b == [-1.0]


def test_no_argument_method_uses_interpreter_check():
    with pytest.raises(TypeError, match="takes no arguments"):
        ok.TwoDimEmbedding([[0.0], [1.0]]).calculate_2d_embedding(1)


PANIC = panic_type()
SHAPE = (
    "called `Result::unwrap()` on an `Err` value: ShapeError/IncompatibleShape: incompatible shapes"
)
LAYOUT = "Error during 2D embedding calculation: PaCMap error: "


def W(param):
    """The note every conversion error carries."""
    return [f"while processing '{param}'"]


RAGGED = "every row must have the same length"
FINITE_FIX = "; remove the row or replace the value"
BEYOND = " (a value beyond the float32 range, ±3.4028235e38, becomes an infinity)"


def _selection_of(weights, strength=1.0):
    s = ok.Selection()
    s.add_weighting_strategy(weights, strength)
    return s


# Every fixed text of an input rule, once: the call, the exception class, the exact text and the
# argument a conversion names in its note. HACKING.md says which layer raises each.
FIXED_TEXTS = [
    (lambda: ok.Similarity("abc"), TypeError, "Can't extract `str` to `Vec`", W("key_embeddings")),
    (lambda: ok.Similarity(["ab"]), TypeError, "Can't extract `str` to `Vec`", W("key_embeddings")),
    (
        lambda: ok.Similarity(5),
        TypeError,
        "'int' object is not an instance of 'Sequence'",
        W("key_embeddings"),
    ),
    (
        lambda: ok.Similarity(None),
        TypeError,
        "'None' is not an instance of 'Sequence'",
        W("key_embeddings"),
    ),
    (lambda: ok.Similarity([]), ValueError, "Empty list of key_embeddings is not supported", None),
    (
        lambda: ok.Similarity([[0.0, 0.0]]).calculate_similarity([]),
        ValueError,
        "Empty list of query_embeddings is not supported",
        None,
    ),
    (
        lambda: ok.Similarity([[1.0]]).calculate_similarity([[1.0, 2.0], [3.0]]),
        PANIC,
        SHAPE + " (3 values for 2 x 2)",
        [f"row 1 of query_embeddings has 1 values but row 0 has 2: {RAGGED}"],
    ),
    (
        lambda: ok.Typicality([[1.0, 2.0], [3.0], [4.0, 5.0, 6.0]]),
        PANIC,
        SHAPE + " (row 1 has 1 values, row 0 has 2)",
        [f"row 1 of embeddings has 1 values but row 0 has 2: {RAGGED}"],
    ),
    (
        lambda: ok.Similarity([[1.0, 2.0, 3.0]]).calculate_similarity([[1.0, 2.0]]),
        PANIC,
        "ndarray: inputs 1 × 2 and 3 × 1 are not compatible for matrix multiplication",
        [
            "a row of key_embeddings has 3 values but the rows of query_embeddings have 2: every key and query must have the same length"
        ],
    ),
    (
        lambda: ok.Typicality([[0.0]]),
        PANIC,
        "At least 2 embeddings are required",
        ["Typicality compares each embedding with its neighbours: give at least two rows"],
    ),
    (
        lambda: ok.Typicality([[0.0], [1.0]]).calculate_typicality(0),
        PANIC,
        "assertion `left != right` failed: num_nearest_neighbors (K) has to be positive\n"
        "  left: 0\n right: 0",
        ["num_nearest_neighbors must be at least 1"],
    ),
    (
        lambda: ok.TwoDimEmbedding([[1, 2, 3], [4, 5]]),
        PANIC,
        "index out of bounds: the len is 2 but the index is 2",
        [f"row 1 of embeddings has 2 values but row 0 has 3: {RAGGED}"],
    ),
    (
        lambda: ok.TwoDimEmbedding([[1.0, 2.0]]).calculate_2d_embedding(),
        RuntimeError,
        LAYOUT + "Sample size must be larger than one",
        None,
    ),
    (
        lambda: ok.TwoDimEmbedding([[], []]).calculate_2d_embedding(),
        RuntimeError,
        LAYOUT + "Failed to compute min or max of X: the array is empty",
        None,
    ),
    (
        lambda: ok.Selection().add_balancing_strategy([[0.5, 0.5], [1.0]], [0.5, 0.5], 1.0),
        ValueError,
        "`class_distributions` is not a 2D matrix, uneven length of rows",
        None,
    ),
    (
        lambda: ok.Selection().add_balancing_strategy([], [0.5, 0.5], 1.0),
        PANIC,
        "index out of bounds: the len is 0 but the index is 0",
        ["class_distributions is empty: give one row of class probabilities per sample"],
    ),
    (
        lambda: ok.Selection().add_balancing_strategy([[1, 0, 0]] * 3, [0.5, 0.5], 1.0),
        PANIC,
        "called `Result::unwrap()` on an `Err` value: DimensionMismatch(3, 2)",
        [
            "target has 2 entries but class_distributions has 3 columns: give one target value per class"
        ],
    ),
    (
        lambda: ok.Selection().add_subpart_typicality_strategy([[0.0, 1.0]], [[0]], 1.0, 3),
        ValueError,
        "At least two embeddings are required",
        None,
    ),
    (
        lambda: ok.Selection().add_subpart_typicality_strategy([[0.0], [1.0]], [[0]], 1.0, 0),
        ValueError,
        "num_nearest_neighbors must be positive",
        None,
    ),
    (
        lambda: ok.Selection().add_subpart_typicality_strategy([[0.0], [1.0, 2.0]], [[0]], 1.0, 1),
        ValueError,
        "Embeddings must have equal dimensions",
        None,
    ),
    (
        lambda: ok.Selection().add_subpart_diversifying_strategy([[0.0], [1.0]], [[0], [2]], 1.0),
        ValueError,
        "Object index is out of bounds",
        None,
    ),
    (
        lambda: _selection_of([1.0, 2.0]).run_selection([], 3, 1),
        ValueError,
        "The weighting strategy has 2 samples but n_total_samples is 3",
        None,
    ),
    (
        lambda: _selection_of([1.0, 2.0, 3.0]).run_selection([5], 3, 2),
        PANIC,
        "The index of the selected_sample (5) is bigger than the number of samples (3)",
        [
            "preselected_indices holds 5 but n_total_samples is 3: every index must be below n_total_samples"
        ],
    ),
    (
        lambda: ok.Selection().run_selection([], 0, 1),
        PANIC,
        "called `Option::unwrap()` on a `None` value",
        ["n_total_samples is 0: there is no sample to select"],
    ),
    (
        lambda: _selection_of([1.0, 1.0], strength=math.inf).run_selection([], 2, 1),
        PANIC,
        "called `Option::unwrap()` on a `None` value",
        [
            "a combined score was NaN, so two candidates could not be compared: look for an "
            "infinite strength or a strategy whose potentials are infinite"
        ],
    ),
    # Scored rows must be finite: NaN, infinities and doubles beyond float32 (which become inf).
    (
        lambda: ok.Similarity([[0.0, 1.0], [2.0, math.nan]]),
        ValueError,
        "key_embeddings must be finite: row 1, column 1 is NaN" + FINITE_FIX,
        None,
    ),
    (
        lambda: ok.Similarity([[0.0], [1.0]]).calculate_similarity(np.array([[0.0], [-1e300]])),
        ValueError,
        "query_embeddings must be finite: row 1, column 0 is -inf" + BEYOND + FINITE_FIX,
        None,
    ),
    (
        lambda: ok.Typicality([[0.0, 1.0], [1.0, 2.0], [math.inf, 0.0]]),
        ValueError,
        "embeddings must be finite: row 2, column 0 is inf" + BEYOND + FINITE_FIX,
        None,
    ),
    (
        lambda: ok.Selection().add_subpart_similarity_strategy(
            [[0.0], [1.0]], [[math.nan]], [[0], [1]], 1.0
        ),
        ValueError,
        "query_embeddings must be finite: row 0, column 0 is NaN" + FINITE_FIX,
        None,
    ),
    (
        lambda: ok.Selection().add_subpart_typicality_strategy(
            [[0.0], [math.nan]], [[0], [1]], 1.0, 1
        ),
        ValueError,
        "embeddings must be finite: row 1, column 0 is NaN" + FINITE_FIX,
        None,
    ),
    (
        lambda: ok.Similarity([[], []]),
        ValueError,
        "key_embeddings has rows of length 0: every embedding needs at least one value",
        None,
    ),
    (
        lambda: ok.Typicality([[], [], []]),
        ValueError,
        "embeddings has rows of length 0: every embedding needs at least one value",
        None,
    ),
    (
        lambda: ok.Selection().add_diversifying_strategy([[], []], 1.0),
        ValueError,
        "embeddings has rows of length 0: every embedding needs at least one value",
        None,
    ),
    (
        lambda: ok.Selection().add_diversifying_strategy([[1.0, 2.0], [3.0]], 1.0),
        PANIC,
        SHAPE + " (3 values for 2 x 2)",
        [f"row 1 of embeddings has 1 values but row 0 has 2: {RAGGED}"],
    ),
    (
        lambda: _selection_of([1.0, -2.0]),
        ValueError,
        "weights must be >= 0: entry 1 is -2; a weight says how much a sample is wanted, 0 for "
        "not at all",
        None,
    ),
    (
        lambda: ok.Selection().add_balancing_strategy([[0.5, 0.5]], [0.5, math.nan], 1.0),
        ValueError,
        "target must hold finite values >= 0: entry 1 is NaN; give the wanted share of each class",
        None,
    ),
    (
        lambda: ok.Selection().add_balancing_strategy([[0.5, 0.5]], [-0.5, 1.5], 1.0),
        ValueError,
        "target must hold finite values >= 0: entry 0 is -0.5; give the wanted share of each class",
        None,
    ),
    (
        lambda: ok.Selection().add_balancing_strategy([[1.0, 0.0], [0.5, -0.5]], [0.5, 0.5], 1.0),
        ValueError,
        "class_distributions must hold finite probabilities >= 0: row 1, column 1 is -0.5",
        None,
    ),
    (
        lambda: _selection_of([1.0], strength=math.nan),
        ValueError,
        "strength must be a number, not NaN",
        None,
    ),
]


@pytest.mark.parametrize(
    "call, exc, text, notes",
    FIXED_TEXTS,
    ids=[f"{i}-{t[2][:32]}" for i, t in enumerate(FIXED_TEXTS)],
)
def test_fixed_texts(call, exc, text, notes):
    with pytest.raises(BaseException) as info:  # noqa: PT011 - the class is checked exactly below
        call()
    assert type(info.value) is exc
    assert info.value.args == (text,)
    assert getattr(info.value, "__notes__", None) == notes


@pytest.mark.parametrize("value", [[[1.0, None]], [[1.0, "x"]]])
def test_interpreter_conversion_errors_carry_the_parameter_note(value):
    with pytest.raises(TypeError) as info:
        ok.Similarity(value)
    assert info.value.__notes__ == ["while processing 'key_embeddings'"]


def test_unsigned_conversion():
    t = ok.Typicality([[0.0], [1.0], [3.0]])
    with pytest.raises(OverflowError) as info:
        t.calculate_typicality(-1)
    assert info.value.__notes__ == ["while processing 'num_nearest_neighbors'"]
    with pytest.raises(OverflowError):
        t.calculate_typicality(2**64)
    with pytest.raises(TypeError):
        t.calculate_typicality(2.0)
    assert t.calculate_typicality(True) == t.calculate_typicality(1)
    assert t.calculate_typicality(np.int64(1)) == t.calculate_typicality(1)


def test_accepted_sequence_forms_and_float_narrowing():
    base = ok.Similarity([[1.0, 2.0]]).calculate_similarity([[0.0, 0.0], [3.0, 3.0]])
    for keys in ([[1, 2]], [(1.0, 2.0)], ((1.0, 2.0),), [np.array([1.0, 2.0])]):
        assert ok.Similarity(keys).calculate_similarity([[0.0, 0.0], [3.0, 3.0]]) == base
    # 1e39 is beyond float32: it becomes +inf, which the selection takes as the largest weight.
    assert _selection_of([1.0, 1e39, 2.0]).run_selection([], 3, 1) == [1]


def test_array_fast_path_is_bit_identical_to_sequence_path(rng):
    x64 = rng.normal(size=(300, 17)) * 1e3
    for arr in (x64, x64.astype(np.float32), np.asfortranarray(x64), x64[:, ::2]):
        assert ok.Typicality(arr).calculate_typicality(5) == ok.Typicality(
            arr.tolist()
        ).calculate_typicality(5)
    # Rounding edges: just below, at and above the f32 overflow threshold, and an underflow,
    # compared as the converted float32 bits.
    edge = np.array(
        [
            [3.4028235677973362e38, 1.0],
            [3.4028235677973366e38, 1.0],
            [3.40282357e38 * 1.0000001, 2.0],
            [1e-46, 3.0],
            [-1.5, 0.25],
        ]
    )
    for arr in (edge, np.asfortranarray(edge), edge[::-1], edge[:, ::-1]):
        assert _native._rows(arr, "x")[0] == _native._rows(arr.tolist(), "x")[0]
    assert np.frombuffer(_native._rows(edge, "x")[0], np.float32)[:6:2].tolist() == [
        float(np.finfo(np.float32).max),
        math.inf,
        math.inf,
    ]
    w = np.abs(rng.normal(size=50))[::-2]  # a strided view too
    s1, s2 = ok.Selection(), ok.Selection()
    s1.add_weighting_strategy(w, 1.0)
    s2.add_weighting_strategy(w.tolist(), 1.0)
    assert s1.run_selection([], 25, 10) == s2.run_selection([], 25, 10)


def test_unaligned_float64_buffer_converts_like_lists():
    a = np.frombuffer(bytearray(49), np.float64, offset=1, count=6).reshape(3, 2)
    a[:] = [[1.0, 2.0], [3.0, 5.0], [-1.0, 0.5]]
    q = [[0.0, 0.0]]
    assert ok.Similarity(a).calculate_similarity(q) == ok.Similarity(
        a.tolist()
    ).calculate_similarity(q)


def test_odd_arrays_take_the_generic_path():
    with pytest.raises(TypeError):
        ok.Similarity(np.array([1.0, 2.0]))  # 1-D: rows are scalars, not sequences
    ints = np.arange(6).reshape(3, 2)
    assert ok.Similarity(ints).calculate_similarity([[0, 0]]) == ok.Similarity(
        ints.tolist()
    ).calculate_similarity([[0, 0]])


def test_panic_exception_is_a_base_exception_and_interpreter_survives(capfd):
    panic = panic_type()
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert panic.__name__ == "PanicException"
    assert "BaseException" in panic.__doc__
    with pytest.raises(panic) as info:
        ok.Typicality([[0.0]])
    assert info.value.args == ("At least 2 embeddings are required",)
    assert "At least 2 embeddings are required" in capfd.readouterr().err
    caught = False
    try:
        try:
            ok.Typicality([])
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("PanicException was caught by `except Exception`")
    except BaseException:  # noqa: BLE001
        caught = True
    assert caught
    assert (
        ok.Typicality([[0.0], [1.0]]).calculate_typicality(1) == [pytest.approx(math.exp(-1))] * 2
    )


def test_failed_constructor_leaves_nothing_behind():
    with pytest.raises(ValueError):
        ok.Similarity([])
    sim = ok.Similarity([[0.0, 0.0]])
    with pytest.raises(ValueError):
        sim.calculate_similarity([])
    assert sim.calculate_similarity([[3.0, 4.0]]) == [-1.0]


def test_complex_arrays_are_refused_like_lists_of_complex_numbers():
    with pytest.raises(TypeError) as listed:
        ok.Typicality([[1j, 2.0], [3.0, 4.0]])
    for value in (
        np.array([[1j, 2.0], [3.0, 4.0]]),
        np.array([[1j, 2.0], [3.0, 4.0]], np.complex64)[:, ::-1],
    ):
        with pytest.raises(TypeError) as info:
            ok.Typicality(value)
        assert str(info.value) == str(listed.value)


def test_panic_exception_pickles_to_itself():
    import pickle

    try:
        ok.Typicality([[0.0]])
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        exc.add_note("in a worker")
        notes = exc.__notes__
        copy = pickle.loads(pickle.dumps(exc))
    assert type(copy) is panic_type()
    assert copy.args == ("At least 2 embeddings are required",)
    assert copy.__notes__ == notes and notes[-1] == "in a worker"


def test_distributed_layer_without_numpy_names_the_extra():
    from conftest import run_python

    proc = run_python("""
        import sys
        sys.modules["numpy"] = None  # as if it were not installed
        try:
            import orvane_keldra.distributed
        except ImportError as e:
            print(e)
    """)
    assert "pip install 'orvane_keldra[ray]'" in proc.stdout, proc.stdout + proc.stderr
