"""Vector-kernel levels: every level this machine offers gives the same bits (scores, layouts and
points placed into a layout), ORVANE_SIMD can
only lower the level, and build_info() says which one runs."""

import json

from conftest import run_python

import orvane_keldra as ok

RUN = """
    import hashlib, json, numpy as np, orvane_keldra as ok
    x = np.random.default_rng(5).normal(size=(3000, 40)).astype(np.float32)
    # Placing points where neighbours tie (a small lattice), and where an outlier makes every
    # other row's 8-bit code coarse and a new point lies beyond every code: the screens differ
    # most here, the neighbours they find must not.
    rng = np.random.default_rng(6)
    coarse = rng.normal(size=(1800, 24)).astype(np.float32)
    coarse[7, 3], coarse[1600, 5] = 400.0, -900.0
    hard = [rng.integers(0, 3, size=(1800, 12)).astype(np.float32), coarse]
    y = rng.normal(size=(1500, 2)).astype(np.float32)
    def digest(values):
        return hashlib.sha256(np.array(values, dtype=np.float32).tobytes()).hexdigest()
    print(json.dumps({"level": ok.build_info()["simd_level"],
                      "typicality": digest(ok.Typicality(x).calculate_typicality(7)),
                      "layout": digest(layout := ok.TwoDimEmbedding(x[:2000]).calculate_2d_embedding()),
                      "extend": digest(ok.TwoDimEmbedding(x[:2000]).extend_2d_embedding(layout, x[2000:2300])),
                      "hard": digest([ok.TwoDimEmbedding(h[:1500]).extend_2d_embedding(y, h[1500:]) for h in hard])}))
"""


def _run(level):
    proc = run_python(RUN, env={"ORVANE_SIMD": level})
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout), proc.stderr


def test_every_level_gives_the_same_bits():
    info = ok.build_info()
    levels = info["simd_levels"]
    assert levels[0] == "baseline" and info["simd_level"] in levels
    assert {"version", "platform", "compiler", "blas", "blas_core", "workers"} <= info.keys()
    results = {level: _run(level)[0] for level in levels}
    assert all(r["level"] == level for level, r in results.items())
    assert (
        len({(r["typicality"], r["layout"], r["extend"], r["hard"]) for r in results.values()}) == 1
    ), results


def test_a_level_it_cannot_take_gives_a_warning_and_the_best_level():
    best = ok.build_info()["simd_levels"][-1]
    for asked, why in (
        ("sse9", "is not one of baseline, avx2, avx512, neon"),
        ("neon" if best != "neon" else "avx2", "is not available on this machine"),
    ):
        result, stderr = _run(asked)
        assert result["level"] == best
        assert f"RuntimeWarning: ORVANE_SIMD={asked} {why}; using {best}" in stderr
