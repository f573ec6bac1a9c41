"""Progress events of long score and selection calls on the logger "orvane_keldra"."""

import logging
import re

import numpy as np
import pytest

import orvane_keldra as ok

EVENT = re.compile(
    r"typicality: ([\d,]+) of ([\d,]+) rows \((\d+)%\), ([\d,]+) s elapsed(, about [\d,]+ s left)?$"
)


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage())


class SilentLogger(logging.Logger):
    """Stands in for the module's logger with nothing listening; counts what is asked of it."""

    def __init__(self):
        super().__init__("orvane_keldra")
        self.asked = 0
        self.told = 0

    def isEnabledFor(self, level):
        self.asked += 1
        return False

    def _log(self, *args, **kwargs):
        self.told += 1


@pytest.fixture
def listening():
    logger = logging.getLogger("orvane_keldra")
    handler = Records()
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    yield handler.messages
    logger.removeHandler(handler)
    logger.setLevel(logging.NOTSET)


@pytest.fixture
def eager_progress():
    """Every stop check consults the watcher, and events may come from the first one on: the
    call below reports mid-way however fast this machine is."""
    before = ok._native._set_watch_timing(0.0, 0.0, 0.0, 0)
    yield
    ok._native._set_watch_timing(*before)


def test_long_call_reports_increasing_counts_ending_at_the_total(listening, eager_progress):
    # 16 tiles: 136 tile pairs, so the calling thread checks between many tasks.
    long_typicality = ok.Typicality(
        np.random.default_rng(0).normal(size=(8000, 32)).astype(np.float32)
    )
    listening_result = long_typicality.calculate_typicality(10)
    events = [EVENT.match(m) for m in listening]
    assert len(events) >= 2 and all(events), listening
    done = [int(e.group(1).replace(",", "")) for e in events]
    assert all(e.group(2) == "8,000" for e in events)
    assert done == sorted(done) and done[0] < 8000 and done[-1] == 8000
    assert events[-1].group(3) == "100"

    # Nobody listening: asked once, nothing logged, the same bits.
    manager = logging.Logger.manager
    real = manager.loggerDict["orvane_keldra"]
    silent = SilentLogger()
    manager.loggerDict["orvane_keldra"] = silent
    try:
        quiet_result = long_typicality.calculate_typicality(10)
    finally:
        manager.loggerDict["orvane_keldra"] = real
    assert silent.asked == 1 and silent.told == 0
    assert np.array_equal(
        np.array(quiet_result, dtype=np.float32).view(np.uint32),
        np.array(listening_result, dtype=np.float32).view(np.uint32),
    )


def test_short_calls_say_nothing(listening):
    x = np.random.default_rng(1).normal(size=(500, 16)).astype(np.float32)
    ok.Typicality(x).calculate_typicality(5)
    ok.Similarity(x).calculate_similarity(x[:10])
    s = ok.Selection()
    s.add_diversifying_strategy(x, 1.0)
    s.run_selection([], 500, 50)
    assert listening == []


LAYOUT_EVENT = re.compile(
    r"(layout [\w -]+): ([\d,]+) of ([\d,]+) (rows|points|lists|iterations) \(\d+%\), [\d,]+ s elapsed"
)


def test_a_layout_reports_each_stage_in_order(listening, eager_progress):
    # 8,000 rows take the approximate index: every stage of a large layout runs.
    x = np.random.default_rng(2).normal(size=(8000, 4)).astype(np.float32)
    ok.TwoDimEmbedding(x).calculate_2d_embedding()
    stages = {}
    for message in listening:
        m = LAYOUT_EVENT.match(message)
        if m is None:
            assert message == "Finding pairs", message
            continue
        total = int(m.group(3).replace(",", ""))
        stages.setdefault(m.group(1), []).append((int(m.group(2).replace(",", "")), total))
    assert list(stages) == [
        "layout mid-near pairs",
        "layout index",
        "layout neighbours",
        "layout neighbour ranking",
        "layout far pairs",
        "layout pair lists",
        "layout optimisation",
    ]
    totals = {"layout optimisation": 450, "layout pair lists": 3 * 8000}
    for name, counts in stages.items():
        done = [c for c, _ in counts]
        assert done == sorted(done) and done[-1] == counts[0][1], (name, counts)
        assert counts[0][1] == totals.get(name, 8000)
    assert len(stages["layout optimisation"]) > 2
