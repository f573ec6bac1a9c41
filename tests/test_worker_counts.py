"""Every result is a function of the input alone: the same bits for 1, 2 and 3 workers, and on
repeated calls. One process per worker count computes everything compared here (and the C++
cases that print digests run once per count)."""

import json
import os
import subprocess

import pytest
from conftest import run_python
from selection_scenarios import SCENARIOS

SCORES = """
import json, numpy as np, orvane_keldra as ok
x = np.random.default_rng(3).normal(size=(3000, 40)).astype(np.float32)
x[::7] = x[3]                                   # duplicates, recomputed from their coordinates
g = np.stack(np.meshgrid(np.arange(17), np.arange(17), np.arange(16), indexing="ij"), -1)
grid = np.random.default_rng(4).permutation(g.reshape(-1, 3)).astype(np.float32)
print(json.dumps({
    "typicality": [ok.Typicality(x).calculate_typicality(k) for k in (10, 100, 300)],
    "similarity": ok.Similarity(x[:500]).calculate_similarity(x[2500:]),
    "grid": [ok.Typicality(grid).calculate_typicality(k) for k in (6, 200)],
}))
"""

LAYOUTS = """
import hashlib, json, numpy as np, orvane_keldra as ok
def digest(emb):
    return hashlib.sha256(np.array(emb.calculate_2d_embedding(), dtype=np.float32).tobytes()).hexdigest()
out = {}
rng = np.random.default_rng(3)
x = (rng.normal(size=(12, 16)) * 3)[rng.integers(0, 12, size=3000)] + rng.normal(size=(3000, 16))
emb = ok.TwoDimEmbedding(x.astype(np.float32))
out["exact neighbours"] = [digest(emb), digest(emb)]
layout = emb.calculate_2d_embedding()
new = x[:300] + rng.normal(size=(300, 16)) * 0.5
out["extended"] = [hashlib.sha256(
    np.array(emb.extend_2d_embedding(layout, new), dtype=np.float32).tobytes()).hexdigest()]
rng = np.random.default_rng(4)
for n, calls in ((8000, 2), (30000, 1)):  # both take the approximate index
    x = (rng.normal(size=(15, 16)) * 3)[rng.integers(0, 15, size=n)] + rng.normal(size=(n, 16))
    emb = ok.TwoDimEmbedding(x.astype(np.float32))
    out[f"index {n}"] = [digest(emb) for _ in range(calls)]
print(json.dumps(out))
"""

# C++ cases (by name, or by part of it) and the digest line each prints.
NATIVE = {
    ("optimiser on fixed pairs",): "layout digest",
    ("--exact", "pacmap wave graph: same links on every build"): "graph digest",
}


def run_json(code, workers):
    proc = run_python(code, env={"RAYON_NUM_THREADS": workers}, timeout=600)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


@pytest.fixture(scope="module")
def runs():
    return {
        workers: {
            "scores": run_json(SCORES, workers),
            "layouts": run_json(LAYOUTS, workers),
            "selection": run_json(SCENARIOS, workers),
        }
        for workers in ("1", "2", "3")
    }


def test_results_do_not_depend_on_the_worker_count(runs):
    assert runs["1"] == runs["2"] == runs["3"]


def test_native_digests_do_not_depend_on_the_worker_count():
    binary = os.environ.get("ORVANE_NATIVE_TESTS")
    assert binary, "ORVANE_NATIVE_TESTS is unset: run the suite with tools/test.sh"
    digests = []
    for workers in ("1", "2", "3"):
        env = dict(os.environ, RAYON_NUM_THREADS=workers)
        lines = []
        for args, prefix in NATIVE.items():
            proc = subprocess.run(
                [binary, *args], capture_output=True, text=True, env=env, timeout=300
            )
            assert proc.returncode == 0 and "1 passed, 0 failed" in proc.stdout, proc.stdout
            lines += [line for line in proc.stdout.splitlines() if line.startswith(prefix)]
        assert len(lines) == len(NATIVE), lines
        digests.append(lines)
    assert digests[0] == digests[1] == digests[2]


def test_layouts_repeat_across_calls_and_keep_their_bits(runs):
    layouts = runs["1"]["layouts"]
    for calls in layouts.values():
        assert len(set(calls)) == 1
    # The layouts are part of every caller's results: work on speed must leave the bits as they
    # are. Exact neighbours at 3,000 rows, the approximate index at 8,000 and 30,000.
    assert layouts["exact neighbours"][0] == (
        "5c77cf52e0a9dd513294d95a2b75230bd08df7c3f0f224fa7be47671f5c6efa7"
    )
    assert layouts["index 8000"][0] == (
        "bbccc11620880e2e3fa6e85595bb1a9a53cf22acd9951b9218d09233a749b42c"
    )
    assert layouts["index 30000"][0] == (
        "59b0f2117fd66bd9b5385909c0e78a792cce0548e8bc8a818f75418eca634d8a"
    )


def test_selection_shortcuts_pick_what_the_full_pass_picks(runs):
    picks = runs["1"]["selection"]
    for name in picks:
        if "full=False" in name:
            assert picks[name] == picks[name.replace("False", "True")], name
    # The stopping distance ended the first scenario's runs early.
    assert len(picks["diversifying full=False"][0]) < 60
