"""Inputs the scores cannot take (non-finite values, rows without values, Selection's numbers),
the notes on internal failures from ordinary mistakes, strided arrays, and an import from the
source tree. The exact texts are pinned in test_module_surface.test_fixed_texts."""

import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from conftest import outcome, panic_type

import orvane_keldra as ok
from orvane_keldra import _native

ROOT = Path(__file__).resolve().parent.parent


def _forms(x):
    """The same rows as every input form the conversion reads differently."""
    f32 = x.astype(np.float32)
    return {
        "list": x.tolist(),
        "float64": x,
        "float32": f32,
        "fortran": np.asfortranarray(x),
        "fortran32": np.asfortranarray(f32),
        "reversed": x[::-1][::-1],  # a view with negative strides, same rows
        "rows of arrays": list(x),
        "rows of strided arrays": list(np.repeat(x, 2, axis=1)[:, ::2]),
    }


@pytest.mark.parametrize("form", list(_forms(np.zeros((1, 1)))))
@pytest.mark.parametrize("bad", [math.nan, math.inf, -1e300])
def test_non_finite_values_are_located_in_every_input_form(form, bad):
    x = np.arange(24, dtype=np.float64).reshape(6, 4)
    x[4, 2] = bad
    x[5, 0] = math.nan  # only the first one is named
    rows = _forms(x)[form]
    shown = "NaN" if math.isnan(bad) else ("inf" if bad > 0 else "-inf")
    calls = {
        "embeddings": lambda: ok.Typicality(rows),
        "key_embeddings": lambda: ok.Similarity(rows),
        "query_embeddings": lambda: ok.Similarity([[0.0] * 4]).calculate_similarity(rows),
    }
    for param, call in calls.items():
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value).startswith(
            f"{param} must be finite: row 4, column 2 is {shown}"
        ), info.value


def test_finite_extremes_and_unscored_inputs_are_still_accepted():
    big = float(np.finfo(np.float32).max)
    # FLT_MAX and a double just below the halfway point to the next power of two stay finite.
    rows = [[big, 0.0], [3.4028235677973362e38, 1.0], [-big, 2.0]]
    assert len(ok.Typicality(rows).calculate_typicality(1)) == 3
    # Selection's own inputs keep what the loop defines for NaN: a NaN weight counts as the floor,
    # and diversifying rows are not scored by Similarity or Typicality.
    s = ok.Selection()
    s.add_weighting_strategy([math.nan, 2.0, 0.0, math.inf], 1.0)
    s.add_diversifying_strategy([[0.0], [math.nan], [2.0], [3.0]], 1.0)
    assert s.run_selection([], 4, 2)[0] == 3
    # The layout keeps its own refusal.
    with pytest.raises(RuntimeError, match="Embeddings must be finite: row 1, column 0 is NaN"):
        ok.TwoDimEmbedding([[0.0], [math.nan], [1.0]]).calculate_2d_embedding()


def test_structural_failures_come_before_the_finite_rule():
    # The contract's failures for too few or ragged rows keep their place.
    panic = panic_type()
    with pytest.raises(panic, match="At least 2 embeddings"):
        ok.Typicality([[math.nan]])
    with pytest.raises(panic, match="incompatible shapes"):
        ok.Typicality([[math.nan, 1.0], [1.0]])
    with pytest.raises(panic, match="not compatible"):
        ok.Similarity([[1.0, 2.0]]).calculate_similarity([[math.nan]])


def test_selection_number_rules_leave_the_selection_as_it_was():
    s = ok.Selection()
    s.add_weighting_strategy([1.0, 3.0, 2.0], 1.0)
    for bad in (
        lambda: s.add_weighting_strategy([1.0, -0.5, 2.0], 1.0),
        lambda: s.add_weighting_strategy([1.0, 1.0, 1.0], math.nan),
        lambda: s.add_balancing_strategy([[1.0, 0.0]] * 3, [math.inf, 0.5], 1.0),
        lambda: s.add_balancing_strategy([[1.0, math.nan]] * 3, [0.5, 0.5], 1.0),
        lambda: s.add_diversifying_strategy([[0.0], [1.0], [2.0]], math.nan),
    ):
        with pytest.raises(ValueError):
            bad()
    assert s.run_selection([], 3, 3) == [1, 2, 0]
    # Zero weights, probabilities and targets are ordinary values.
    s.add_balancing_strategy([[1.0, 0.0], [0.0, 1.0], [0.0, 0.0]], [0.0, 1.0], 0.0)
    s.add_weighting_strategy([0.0, 0.0, 0.0], -1.0)


def test_bool_counts_follow_the_interpreter():
    t = ok.Typicality([[0.0], [1.0], [3.0]])
    # A Python bool is an int (range(True) works): the contract converts it to 1.
    assert t.calculate_typicality(True) == t.calculate_typicality(1)
    # NumPy's bool has no __index__: the interpreter's own TypeError.
    with pytest.raises(TypeError) as info:
        t.calculate_typicality(np.True_)
    assert info.value.__notes__ == ["while processing 'num_nearest_neighbors'"]


def test_notes_do_not_change_the_internal_failure(capfd):
    panic = panic_type()
    with pytest.raises(panic) as info:
        ok.Selection().add_balancing_strategy([[0.5, 0.5]] * 300, [1.0], 1.0)
    assert info.value.args == (
        "called `Result::unwrap()` on an `Err` value: DimensionMismatch(2, 1)",
    )
    assert "target has 1 entries" in info.value.__notes__[0]
    # The contract's report on stderr stays.
    assert "orvane_keldra: internal failure in Selection.add_balancing_strategy()" in (
        capfd.readouterr().err
    )
    s = ok.Selection()
    s.add_weighting_strategy([1.0] * 300, 1.0)
    with pytest.raises(panic) as info:
        s.run_selection([3, 300], 300, 5)
    assert info.value.__notes__ == [
        "preselected_indices holds 300 but n_total_samples is 300: every index must be below "
        "n_total_samples"
    ]
    assert s.run_selection([3], 300, 2) == [3, 0]  # nothing was informed by the failed run


def test_strided_arrays_convert_to_the_values_of_lists(rng):
    x = rng.normal(size=(70, 33)) * 1e3
    x[3, 5] = 1e39  # beyond float32 on both paths
    for arr in (
        np.asfortranarray(x),
        np.asfortranarray(x.astype(np.float32)),
        x[::-3, 1::2],
        x.astype(np.float32)[::2, ::-1],
        x.T,
    ):
        assert _native._rows(arr, "x")[0] == _native._rows(arr.tolist(), "x")[0]
    weights = np.abs(x[:, 0])
    a, b = ok.Selection(), ok.Selection()
    a.add_weighting_strategy(weights[::-2], 1.0)
    b.add_weighting_strategy(weights[::-2].tolist(), 1.0)
    assert a.run_selection([], 35, 35) == b.run_selection([], 35, 35)


def test_import_from_the_source_tree_says_what_shadows_the_package():
    env = {k: v for k, v in os.environ.items() if k != "PYTHONSAFEPATH"}
    proc = subprocess.run(
        [sys.executable, "-c", "import orvane_keldra"],
        cwd=ROOT,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode != 0
    assert "shadows the installed package" in proc.stderr, proc.stderr
    assert (
        "PYTHONSAFEPATH=1" in proc.stderr and "circular import" not in proc.stderr.splitlines()[-1]
    )
    ok_run = subprocess.run(
        [sys.executable, "-P", "-c", "import orvane_keldra"], cwd=ROOT, env=env, timeout=120
    )
    assert ok_run.returncode == 0


def test_strided_buffers_that_cannot_be_iterated_convert_too(rng):
    # A memoryview of a Fortran-ordered or sliced array has no usable sequence protocol
    # (multi-dimensional sub-views are not implemented): only the strided buffer path reads it.
    x = rng.normal(size=(40, 6))
    expected = ok.Typicality(x).calculate_typicality(3)
    for arr in (np.asfortranarray(x), np.hstack([x, x])[:, ::2] * 1.0, np.repeat(x, 2, 1)[:, ::2]):
        assert ok.Typicality(memoryview(arr)).calculate_typicality(3) == (
            ok.Typicality(np.ascontiguousarray(arr)).calculate_typicality(3)
        )
    assert ok.Typicality(memoryview(np.repeat(x, 2, 1)[:, ::2])).calculate_typicality(3) == expected


def test_ray_layer_refuses_what_the_classes_refuse(tmp_path):
    ray = pytest.importorskip("ray")
    from orvane_keldra import distributed

    here = os.getcwd()
    os.chdir(tmp_path)  # workers import the installed package, not the source tree
    try:
        ray.init(num_cpus=1, include_dashboard=False, logging_level="WARNING")
    finally:
        os.chdir(here)
    try:
        x = np.arange(600, dtype=np.float64).reshape(150, 4)
        x[120, 3] = math.nan
        wide = np.full((3, 2), 1e300)
        ds = ray.data.from_numpy(x.astype(np.float32)).repartition(3)
        # (input of the Ray layer, the same rows for the class)
        typicality_inputs = [(x, x), (x.tolist(), x), (np.asfortranarray(x), x), (ds, x)]
        typicality_inputs += [(wide, wide), ([[], [], []],) * 2, ([[1.0, 2.0], [3.0]],) * 2]
        for data, twin in typicality_inputs:
            expected = outcome(lambda: ok.Typicality(twin).calculate_typicality(2))
            assert expected is not None and expected[0] is not TypeError
            assert outcome(lambda: distributed.typicality(data, 2)) == expected
        good = np.ones((5, 4))
        for keys, queries in [
            (x, good),
            (good, x),
            (x.tolist(), good),
            ([[], []], [[]]),
            (good, np.ones((2, 3))),
        ]:
            expected = outcome(lambda: ok.Similarity(keys).calculate_similarity(queries))
            assert expected is not None
            assert outcome(lambda: distributed.similarity(keys, queries)) == expected
    finally:
        ray.shutdown()
