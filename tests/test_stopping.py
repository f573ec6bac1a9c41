"""Stopping: Ctrl-C ends every long call at its next stop check and changes nothing; failed runs are undone;
runs end instead of repeating; the pool starts under thread limits."""

import json
import textwrap

import numpy as np
import pytest
from conftest import panic_type, run_python

import orvane_keldra as ok

# The calling thread raises SIGINT itself at this stop check of the long call, with every check
# consulting the watcher: a Ctrl-C in the middle of the call on any machine, fast or slow.
SIGINT_AT_CHECK = 20

# Each case: setup, the long call on `obj`, and a check that `obj` answers as before. The check
# prints "same" when it does.
CASES = {
    "layout": (
        """
        x = np.random.default_rng(0).normal(size=(9000, 16)).astype(np.float32)
        obj = ok.TwoDimEmbedding(x)
        small = ok.TwoDimEmbedding(x[:300])
        before = small.calculate_2d_embedding()
        """,
        "obj.calculate_2d_embedding()",
        # the layout's gradient order may vary between runs, so the object answers a small layout
        # of the same kind; its result shape and finiteness are what can be compared
        """
        after = small.calculate_2d_embedding()
        good = len(after) == len(before) and np.isfinite(np.array(after)).all()
        print("same" if good else "different")
        """,
    ),
    "extend": (
        """
        rng = np.random.default_rng(0)
        x = rng.normal(size=(3000, 16)).astype(np.float32)
        obj = ok.TwoDimEmbedding(x)
        layout = obj.calculate_2d_embedding()
        new = rng.normal(size=(20000, 16)).astype(np.float32)
        before = obj.extend_2d_embedding(layout, new[:50])
        """,
        "obj.extend_2d_embedding(layout, new)",
        'print("same" if obj.extend_2d_embedding(layout, new[:50]) == before else "different")',
    ),
    "typicality": (
        """
        x = np.random.default_rng(0).normal(size=(8000, 32)).astype(np.float32)
        obj = ok.Typicality(x)
        before = obj.calculate_typicality(5)
        """,
        "obj.calculate_typicality(5)",
        'print("same" if obj.calculate_typicality(5) == before else "different")',
    ),
    "similarity": (
        """
        rng = np.random.default_rng(0)
        obj = ok.Similarity(rng.normal(size=(20000, 32)).astype(np.float32))
        queries = rng.normal(size=(4000, 32)).astype(np.float32)
        before = obj.calculate_similarity(queries)
        """,
        "obj.calculate_similarity(queries)",
        'print("same" if obj.calculate_similarity(queries) == before else "different")',
    ),
    "selection": (
        """
        rng = np.random.default_rng(0)
        x = rng.normal(size=(20000, 32)).astype(np.float32)
        w = rng.uniform(0.5, 1.0, size=20000)
        def build():
            s = ok.Selection()
            s.add_weighting_strategy(w, 1.0)
            s.add_diversifying_strategy(x, 1.0)
            return s
        obj = build()
        obj.run_selection([5], 20000, 3)
        """,
        "obj.run_selection([1, 2], 20000, 20000)",
        """
        fresh = build()
        fresh.run_selection([5], 20000, 3)
        same = all(obj.run_selection([7], 20000, 4) == fresh.run_selection([7], 20000, 4)
                   for _ in range(2))
        print("same" if same else "different")
        """,
    ),
}


def interrupt_child(setup, call, check):
    """Runs `call` in a child that raises SIGINT at a known stop check; returns the check output."""
    code = (
        textwrap.dedent(
            """
        import json, signal, sys
        import numpy as np
        # a child started with SIGINT ignored (a background job of a shell) would not raise
        signal.signal(signal.SIGINT, signal.default_int_handler)
        import orvane_keldra as ok
        """
        )
        + textwrap.dedent(setup)
        + textwrap.dedent(
            f"""
        ok._native._set_watch_timing(0.0, 2.0, 1.0, {SIGINT_AT_CHECK})
        try:
            {call}
            print(json.dumps({{"finished": True}}), flush=True)
        except KeyboardInterrupt:
            print(json.dumps({{"caught": True}}), flush=True)
        """
        )
        + textwrap.dedent(check)
    )
    proc = run_python(code, timeout=300, env={"RAYON_NUM_THREADS": "2"})
    lines = proc.stdout.splitlines()
    assert proc.returncode == 0 and lines, proc.stderr
    assert json.loads(lines[0]) == {"caught": True}, "the call finished before the signal"
    return lines[1:]


@pytest.mark.parametrize("kind", CASES)
def test_sigint_stops_the_call_and_changes_nothing(kind):
    assert interrupt_child(*CASES[kind]) == ["same"]


def test_logging_handler_exception_stops_the_layout():
    import logging

    class Interrupting(logging.Handler):
        def emit(self, record):
            if record.getMessage().startswith("Iteration:"):
                raise KeyboardInterrupt

    logger = logging.getLogger("orvane_keldra")
    handler = Interrupting()
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    x = np.random.default_rng(0).normal(size=(300, 8)).astype(np.float32)
    obj = ok.TwoDimEmbedding(x)
    try:
        with pytest.raises(KeyboardInterrupt):
            obj.calculate_2d_embedding()
    finally:
        logger.removeHandler(handler)
        logger.setLevel(logging.NOTSET)
    assert len(obj.calculate_2d_embedding()) == 300


def test_failed_run_leaves_strategies_as_before():
    panic = panic_type()

    # The weights overflow once sample 0 is informed: 0 x ln(inf) is a NaN score.
    s = ok.Selection()
    s.add_weighting_strategy([3e38, 3e38, 1.0], 0.0)
    with pytest.raises(panic):
        s.run_selection([0], 3, 2)
    assert s.run_selection([], 3, 1) == [0]

    # The same failure after a diversifying strategy has taken in the preselected sample: its
    # minima are restored too, so the weights alone decide the next pick, as on a fresh object.
    x = np.random.default_rng(3).normal(size=(6, 8)).astype(np.float32)

    def build():
        sel = ok.Selection()
        sel.add_weighting_strategy([3e38, 3e38, 1, 1, 1, 1], 0.0)
        sel.add_diversifying_strategy(x, 1.0)
        sel.add_weighting_strategy([1, 1, 1, 2, 1, 1], 1.0)
        return sel

    s = build()
    with pytest.raises(panic):
        s.run_selection([0], 6, 3)
    assert s.run_selection([], 6, 1) == build().run_selection([], 6, 1) == [3]


def test_run_ends_when_only_minus_infinity_is_left():
    # Every remaining candidate scores minus infinity, below the exclusion value; the run must
    # return rather than pick an excluded sample again (in a child: a repeat never ends).
    code = """
        import orvane_keldra as ok
        s = ok.Selection()
        s.add_weighting_strategy([1.0, float("inf"), 2.0], -1.0)
        print(s.run_selection([], 3, 2**63 - 1))
        print(ok.Selection().run_selection([1], 3, 10))
    """
    proc = run_python(code, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:2] == ["[0, 2]", "[1, 0, 2]"]


def test_pool_starts_with_the_threads_it_can_get():
    # 5000 threads asked for; a 3 GiB address space refuses most of their stacks.
    code = """
        import resource
        LIMIT
        import numpy as np
        import orvane_keldra as ok
        x = np.random.default_rng(0).normal(size=(3000, 16)).astype(np.float32)
        t = ok.Typicality(x).calculate_typicality(7)
        s = ok.Selection()
        s.add_diversifying_strategy(x, 1.0)
        print(repr((t, s.run_selection([0], 3000, 20))))
        threads = [l for l in open("/proc/self/status") if l.startswith("Threads:")]
        print(int(threads[0].split()[1]))
    """
    reference = run_python(code.replace("LIMIT", ""), env={"RAYON_NUM_THREADS": "1"})
    limited = run_python(
        code.replace("LIMIT", "resource.setrlimit(resource.RLIMIT_AS, (3 << 30,) * 2)"),
        env={"RAYON_NUM_THREADS": "5000", "OPENBLAS_NUM_THREADS": "1"},
        timeout=120,
    )
    assert reference.returncode == 0, reference.stderr
    assert limited.returncode == 0, limited.stderr
    result, threads = limited.stdout.splitlines()
    assert 1 < int(threads) < 2500
    assert result == reference.stdout.splitlines()[0]
