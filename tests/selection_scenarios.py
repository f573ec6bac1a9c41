"""The shortcuts of a selection step (bounded distance updates, shared balancing potentials, blocks
skipped by their score bounds, with object scores among them, scores screened before they are
computed exactly) against the plain full pass: scenarios that test_worker_counts.py runs for 1,
2 and 3 workers."""

SCENARIOS = r"""
import json
import numpy as np
import orvane_keldra as ok

F = np.float32
rng = np.random.default_rng(3)
n, d = 20000, 40  # several blocks of a step
centres = rng.normal(size=(15, d)) * 6
emb = (centres[rng.integers(0, 15, n)] + rng.normal(size=(n, d))).astype(F)
emb[7] = emb[8]                       # duplicates
emb[11, 2] = np.nan                   # a row that is not finite
blob = rng.normal(size=(n, d)).astype(F)
weights = rng.uniform(0.1, 2.0, n).astype(F)
weights[13] = np.nan
one_hot = np.eye(10, dtype=F)[rng.integers(0, 10, n)]
dirichlet = rng.dirichlet(np.ones(10), n).astype(F)
dirichlet[:3000] = rng.dirichlet(np.full(10, 0.05), 3000)  # shares far below 1e-8 among them
target = rng.dirichlet(np.ones(10)).astype(F)
objects = rng.normal(size=(600, d)).astype(F)
mapping = rng.integers(0, 600, size=(n, 2)).tolist()
# Weights one ulp apart: their logarithms nearly tie, and once the selected weight is added many
# tie exactly (the lowest index must win).
close = F(1.5) + rng.permutation(n).astype(F) * F(2**-23)
spikes = np.ones(n, dtype=F)
spikes[[400, 21]] = np.inf            # then every weighting potential is infinite
# Class 0's share near 1/e with the whole target on class 0: potentials near 1, their logarithms
# near 0, so the bounds on each potential decide which samples are scored exactly.
share = F(np.exp(-1)) + rng.integers(-3000, 3000, n).astype(F) * F(2**-25)
near_one = np.stack([share, (1 - share) * F(0.5), (1 - share) * F(0.5)], axis=1).astype(F)
# One to four objects per sample, some none; the same object in many samples.
ragged = [list(rng.integers(0, 50, size=i % 5)) for i in range(n)]

def diversifying(sel, full):
    sel.add_diversifying_strategy(emb, 1.0, 12.0)  # stops once picks get this close

def blob_and_weights(sel, full):
    sel.add_weighting_strategy(weights, 0.5)
    sel.add_diversifying_strategy(blob, 1.0)
    sel.add_balancing_strategy(one_hot, target, 2.0)

def mix(labels):
    def build(sel, full):
        sel.add_weighting_strategy(weights, 1.0)
        sel.add_diversifying_strategy(emb, 1.0)
        sel.add_balancing_strategy(labels, target, 2.0)
        sel.add_subpart_diversifying_strategy(objects, mapping, 0.5)
        sel.add_subpart_typicality_strategy(objects, mapping, 1.0, 5)
    return build

def object_scores(sel, full):
    sel.add_weighting_strategy(weights, 1.0)
    sel.add_diversifying_strategy(emb, 1.0)
    sel.add_balancing_strategy(one_hot, target, 2.0)
    sel.add_subpart_typicality_strategy(objects, ragged, 1.0, 5)
    sel.add_subpart_similarity_strategy(objects[:50], objects[50:80], ragged, -0.5)

def ties(spiked):
    def build(sel, full):
        sel.add_weighting_strategy(close, 1.0)
        sel.add_balancing_strategy(one_hot, target, 1.0)
        sel.add_weighting_strategy(spikes if spiked else np.ones(n, dtype=F), 1.0)
    return build

def potentials_near_one(sel, full):
    sel.add_weighting_strategy(np.ones(n, dtype=F), 0.0)  # screened, adding nothing
    sel.add_balancing_strategy(near_one, np.array([1, 0, 0], dtype=F), 1.0)

def weights_past_their_sum(sel, full):
    # With 200 preselected, the selected weight is over 64 times the largest: the terms are taken
    # relative to it, and screened beside the distances.
    sel.add_weighting_strategy(weights, 1.0)
    sel.add_diversifying_strategy(emb, 1.0)

out = {}
for name, build, pre in [("diversifying", diversifying, [5, 9, 5]),
                         ("blob", blob_and_weights, [5, 9, 5]),
                         ("one-hot mix", mix(one_hot), [5, 9, 5]),
                         ("dirichlet mix", mix(dirichlet), [5, 9, 5]),
                         ("object scores", object_scores, [5, 9, 5]),
                         ("ties", ties(False), [5, 9, 5]), ("infinities", ties(True), [5, 9, 5]),
                         ("near one", potentials_near_one, [5, 9, 5]),
                         ("relative weights", weights_past_their_sum, list(range(100, 300)))]:
    for full in (False, True):
        sel = ok.Selection()
        sel._set_full_pass(full)
        build(sel, full)
        # Preselection, then a second run from the state the first left.
        out[f"{name} full={full}"] = [sel.run_selection(pre, n, len(pre) + 57),
                                      sel.run_selection([], n, 40)]
print(json.dumps(out))
"""
