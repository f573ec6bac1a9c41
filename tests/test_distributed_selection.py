"""orvane_keldra.distributed.Selection on a local two-CPU Ray cluster: the class's picks for every
kind, mixes, preselection, stopping and repeated runs, with 2 and 3 shards and every kind of source;
the class's errors before any actor exists; a lost actor and a Ctrl-C in the middle of a run."""

import logging
import os
import re
import signal

import pytest

ray = pytest.importorskip("ray", reason="orvane_keldra.distributed needs Ray: pip install '.[ray]'")

import numpy as np  # noqa: E402
from conftest import outcome  # noqa: E402

import orvane_keldra as ok  # noqa: E402
from orvane_keldra import distributed  # noqa: E402

pytestmark = pytest.mark.usefixtures("local_ray_cluster")

N, D, M = 9_000, 12, 4_000


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    rng = np.random.default_rng(11)
    centres = rng.normal(size=(25, D)) * 4
    x = (centres[rng.integers(0, 25, N)] + rng.normal(size=(N, D))).astype(np.float32)
    x[N - 1] = x[3]  # a duplicate in another shard
    objects = rng.normal(size=(M, D)).astype(np.float32)
    # 0 to 3 objects a sample, shared by neighbouring samples (and so across shard boundaries)
    mapping = [[(i // 2 + 7 * k) % M for k in range(i % 4)] for i in range(N)]
    path = tmp_path_factory.mktemp("memmap") / "x.f64"
    mm = np.memmap(path, dtype=np.float64, mode="w+", shape=x.shape)
    mm[:] = x
    mm.flush()
    return {
        "x": x,
        "memmap": np.memmap(path, dtype=np.float64, mode="r", shape=x.shape),
        "dataset": ray.data.from_numpy(x),
        "weights": rng.integers(0, 6, N).astype(np.float32) + 0.5,
        "classes": (np.eye(3)[rng.integers(0, 3, N)] * 0.8 + 0.1).tolist(),
        "objects": objects,
        "mapping": mapping,
    }


def _adds(data, kinds, rows_of="x"):
    """The strategies of `kinds`, as calls that apply to either class."""
    x = data[rows_of]
    objects, mapping = data["objects"], data["mapping"]
    calls = {
        "weighting": lambda s: s.add_weighting_strategy(data["weights"], 1.0),
        "diversifying": lambda s: s.add_diversifying_strategy(x, 2.0, 0.2),
        "balancing": lambda s: s.add_balancing_strategy(data["classes"], [0.2, 0.3, 0.5], 0.5),
        "subpart_diversifying": lambda s: s.add_subpart_diversifying_strategy(
            objects, mapping, 1.0, 0.05
        ),
        "subpart_similarity": lambda s: s.add_subpart_similarity_strategy(
            objects, objects[:4] + 0.25, mapping, 0.5
        ),
        "subpart_typicality": lambda s: s.add_subpart_typicality_strategy(
            objects.tolist(), mapping, 0.25, 6, 0.12
        ),
    }
    return [calls[k] for k in kinds]


def _both(data, kinds, shards, rows_of="x"):
    # The class takes the rows as an array; the distributed one from `rows_of`.
    one, many = ok.Selection(), distributed.Selection(shards=shards, column=None)
    for add_one, add_many in zip(_adds(data, kinds), _adds(data, kinds, rows_of)):
        add_one(one)
        add_many(many)
    return one, many


ALL = [
    "weighting",
    "diversifying",
    "balancing",
    "subpart_diversifying",
    "subpart_similarity",
    "subpart_typicality",
]
# Preselection with a repeat and an index in the last shard, an ordinary run on top of the first
# run's state, and a run that returns its preselection at once.
RUNS = [([4, 4, N - 2], 60), ([], 40), ([17, 5], 1)]


@pytest.mark.parametrize(
    "kinds, shards, rows_of",
    [
        (["weighting"], 2, "x"),
        (["diversifying"], 3, "memmap"),
        (["balancing"], 2, "x"),
        (["subpart_diversifying"], 3, "x"),
        (["subpart_similarity"], 2, "x"),
        (["subpart_typicality"], 2, "x"),
        (["weighting", "diversifying"], 2, "dataset"),
        (ALL, 2, "x"),
        (ALL, 3, "x"),
    ],
)
def test_picks_equal_the_class(data, kinds, shards, rows_of):
    one, many = _both(data, kinds, shards, rows_of)
    for pre, count in RUNS:
        expected = one.run_selection(pre, N, count)
        assert many.run_selection(pre, N, count) == expected
    # A strategy added after runs starts fresh in both.
    _adds(data, ["weighting"])[0](one)
    _adds(data, ["weighting"])[0](many)
    assert many.run_selection([], N, 25) == one.run_selection([], N, 25)


def test_stopping_conditions_end_runs_where_the_class_ends_them(data):
    for kinds, stop in [
        (["diversifying"], lambda s: s.add_diversifying_strategy(data["x"], 1.0, 5.0)),
        (["weighting"], lambda s: s.add_subpart_typicality_strategy(
            data["objects"], data["mapping"], 1.0, 6, 0.4)),
    ]:  # fmt: skip
        one, many = _both(data, kinds, 2)
        stop(one)
        stop(many)
        expected = one.run_selection([], N, 2_000)
        assert 1 < len(expected) < 2_000  # the stop fired
        assert many.run_selection([], N, 2_000) == expected


def test_bad_input_fails_as_the_class_fails_before_any_actor(data, capfd):
    x = data["x"]
    ragged = [[1.0, 2.0], [3.0], [4.0, 5.0, 6.0]]
    cases = [
        lambda s: s.add_weighting_strategy([1.0, -2.0], 1.0),
        lambda s: s.add_weighting_strategy([1.0, "a"], 1.0),
        lambda s: s.add_diversifying_strategy(ragged, 1.0),
        lambda s: s.add_diversifying_strategy(x, float("nan")),
        lambda s: s.add_balancing_strategy([[0.5, 0.5], [1.0]], [0.5, 0.5], 1.0),
        lambda s: s.add_subpart_diversifying_strategy(x[:5], [[0], [9]], 1.0),
        lambda s: s.add_subpart_similarity_strategy([], x[:2], [[0]], 1.0),
        lambda s: s.add_subpart_similarity_strategy(x[:4], [[1.0]], [[0]], 1.0),
        lambda s: s.add_subpart_typicality_strategy(x[:5], [[0]], 1.0, 0),
        lambda s: s.add_subpart_typicality_strategy(ragged, [[0]], 1.0, 1),
        lambda s: s.add_subpart_typicality_strategy(
            np.where(np.arange(10)[:, None] == 3, np.inf, x[:10]), [[0]], 1.0, 2
        ),
        lambda s: (s.add_weighting_strategy([1.0, 2.0], 1.0), s.run_selection([], 3, 2)),
        lambda s: (s.add_weighting_strategy([1.0, 2.0], 1.0), s.run_selection([2], 2, 2)),
        lambda s: s.run_selection([], 0, 1),
        lambda s: s.run_selection([-1], 5, 1),
    ]
    for case in cases:
        s = distributed.Selection(shards=2)
        assert outcome(lambda: case(s)) == outcome(lambda: case(ok.Selection())), case
        assert s._actors == []
    capfd.readouterr()


def test_a_lost_actor_is_rebuilt_and_the_picks_stay_the_same(data):
    one, many = _both(data, ["weighting", "diversifying", "subpart_diversifying"], 2)
    assert many.run_selection([3], N, 20) == one.run_selection([3], N, 20)
    victim = many._pids()[1]

    def kill(step):
        if step == 7:
            os.kill(victim, signal.SIGKILL)

    many._on_step = kill
    assert many.run_selection([8], N, 40) == one.run_selection([8], N, 40)
    assert victim not in many._pids()


def test_ctrl_c_leaves_the_selection_as_it_was_and_progress_is_logged(data, monkeypatch, caplog):
    one, many = _both(data, ["weighting", "diversifying"], 2)

    def interrupt(step):
        if step == 5:
            raise KeyboardInterrupt

    many._on_step = interrupt
    with pytest.raises(KeyboardInterrupt):
        many.run_selection([], N, 30)
    many._on_step = None
    monkeypatch.setattr(distributed, "_FIRST_EVENT_S", 0.0)
    monkeypatch.setattr(distributed, "_BETWEEN_EVENTS_S", 0.0)
    with caplog.at_level(logging.INFO, logger="orvane_keldra"):
        assert many.run_selection([], N, 30) == one.run_selection([], N, 30)
    events = [r.getMessage() for r in caplog.records if r.name == "orvane_keldra"]
    done = [int(re.match(r"selection: (\d+) of 30 samples", e).group(1)) for e in events]
    assert done == sorted(done) and done[-1] == 30, events
