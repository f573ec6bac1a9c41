"""One call per class against an installed wheel, with values known in advance; run with -I so
that nothing but the installed package can answer. With --json it prints its results and where
the package and OpenBLAS were loaded from (the wheel's test compares them with the source build's)."""

import json
import math
import os
import platform
import sys

import orvane_keldra as ok

# Installed, not the source tree (which holds the pyproject.toml beside the package).
package_dir = os.path.dirname(os.path.abspath(ok.__file__))
assert not os.path.exists(os.path.join(package_dir, "..", "pyproject.toml")), ok.__file__
s = ok.Similarity([[0.0, 0.0], [3.0, 4.0]]).calculate_similarity([[0.0, 0.0]])
assert s == [0.0, -2.0], s
t = ok.Typicality([[0.0], [1.0], [3.0]]).calculate_typicality(1)
expected = [math.exp(-0.75), math.exp(-0.75), math.exp(-1.5)]
assert all(abs(a - b) < 1e-6 for a, b in zip(t, expected)), t
rows = [
    [0.0, 0.0, 1.0],
    [1.0, 0.5, 0.0],
    [3.0, 1.0, 2.0],
    [0.5, 2.0, 1.5],
    [2.5, 2.5, 0.0],
    [1.0, 1.0, 1.0],
]
layout = ok.TwoDimEmbedding(rows).calculate_2d_embedding()
assert len(layout) == 6 and all(math.isfinite(v) for p in layout for v in p), layout
sel = ok.Selection()
sel.add_weighting_strategy([0.1, 0.5, 0.2, 0.9, 0.3, 0.4], 1.0)
sel.add_diversifying_strategy(rows, 1.0)
chosen = sel.run_selection([2], 6, 4)
assert len(chosen) == 4 and chosen[0] == 2 and len(set(chosen)) == 4, chosen
if "--json" in sys.argv:
    with open("/proc/self/maps") as maps:
        openblas = sorted({line.split()[-1] for line in maps if "libscipy_openblas" in line})
    results = {"similarity": s, "typicality": t, "layout": layout, "selection": chosen}
    where = {"file": os.path.basename(ok.__file__), "dir": package_dir}
    print(json.dumps(results | where | {"openblas": openblas}))
else:
    print(f"wheel smoke test passed on {platform.machine()} ({package_dir})")
