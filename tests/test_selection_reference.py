"""The selection loop against a small NumPy float32 model of it, on random data."""

import numpy as np
import pytest

import orvane_keldra as ok

F = np.float32
FLOOR = F(1e-8)
EPS = F(1e-10)


class Reference:
    """Weighting + diversifying + balancing, the same order of f32 operations as the engine."""

    def __init__(self, weights, w_strength, emb, d_strength, dist, target, b_strength):
        self.weights, self.w_strength, self.acc = weights, F(w_strength), F(0)
        self.emb, self.d_strength = emb, F(d_strength)
        self.half = (np.einsum("ij,ij->i", emb, emb) * F(0.5)).astype(F)
        self.min_d = np.full(len(emb), F(1e8), dtype=F)
        self.chosen = []
        self.dist, self.target, self.b_strength = dist, target, F(b_strength)
        self.totals = np.zeros(dist.shape[1], dtype=F)

    def diversity(self):
        if len(self.chosen) < 2:
            return F(0)
        s = F(-0.0)
        for i in self.chosen:
            s = F(s + self.min_d[i])
        return s

    def inform(self, i):
        self.acc = F(self.acc + self.weights[i])
        row = np.maximum((self.half - self.emb @ self.emb[i]) + self.half[i], F(0))
        old = self.min_d[i]
        self.min_d = np.minimum(self.min_d, row)
        self.min_d[i] = old
        self.chosen.append(i)
        self.totals = (self.totals + self.dist[i]).astype(F)

    def scores(self):
        u = self.dist + self.totals
        r = np.zeros(len(u), dtype=F)
        for k in range(u.shape[1]):
            r = r + u[:, k]
        s = np.log(u / (r + EPS)[:, None] + EPS) @ self.target
        potentials = [
            (self.weights + self.acc, self.w_strength),
            (self.min_d + self.diversity(), self.d_strength),
            (F(-1) / (s + EPS), self.b_strength),
        ]
        score = np.zeros(len(self.weights), dtype=F)
        for p, w in potentials:
            score = score + w * np.log(np.fmax(p, FLOOR))
        return score

    def run(self, preselected, n_select):
        selected = list(preselected)
        for i in preselected:
            self.inform(i)
        while len(selected) < n_select:
            score = self.scores()
            score[selected] = np.finfo(F).min
            best = int(np.argmax(score))
            self.inform(best)
            selected.append(best)
        return selected


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_selection_matches_numpy_reference(seed):
    rng = np.random.default_rng(seed)
    n, d, m = 300, 12, 5
    weights = rng.uniform(0.1, 2.0, n).astype(F)
    emb = rng.normal(size=(n, d)).astype(F)
    dist = rng.dirichlet(np.ones(m), n).astype(F)
    target = rng.dirichlet(np.ones(m)).astype(F)
    strengths = rng.uniform(0.5, 2.0, 3).astype(F)
    preselected = [int(i) for i in rng.choice(n, 3, replace=False)]

    sel = ok.Selection()
    sel.add_weighting_strategy(weights.tolist(), float(strengths[0]))
    sel.add_diversifying_strategy(emb.tolist(), float(strengths[1]))
    sel.add_balancing_strategy(dist.tolist(), target.tolist(), float(strengths[2]))
    ref = Reference(weights, strengths[0], emb, strengths[1], dist, target, strengths[2])

    # Two runs: the second starts from the state the first left.
    assert sel.run_selection(preselected, n, 40) == ref.run(preselected, 40)
    assert sel.run_selection([], n, 25) == ref.run([], 25)


def test_subpart_similarity_favours_samples_near_the_queries():
    # Samples are pairs of objects; the queries sit next to sample 75's objects. Similarity scores
    # are never positive, so taken as they are they would floor every potential and leave the
    # picks in index order.
    rng = np.random.default_rng(0)
    objs = rng.normal(size=(200, 8))
    mapping = [[2 * i, 2 * i + 1] for i in range(100)]
    s = ok.Selection()
    s.add_subpart_similarity_strategy(objs, objs[[150, 151]] + 0.01, mapping, 1.0)
    picks = s.run_selection([], 100, 5)
    assert picks[0] == 75
    # After it, samples by their best object's exp(score), the sum of the chosen ones added to
    # each (a constant, so the order is that of the best object's score).
    sim = np.array(ok.Similarity(objs).calculate_similarity(objs[[150, 151]] + 0.01))
    best = np.exp(sim.astype(np.float64)).reshape(100, 2).max(axis=1)
    assert picks == list(np.argsort(-best, kind="stable")[:5])


def test_weighting_keeps_the_order_of_weights_as_the_selected_sum_grows():
    # By the end the selected weight is about 4,500 times the largest: ln(S + w) in f32 would tie
    # weights 5e-4 apart. Weights closer than ~2e-5 of the largest may still swap while S is
    # below 64 times the largest weight.
    w = np.random.default_rng(0).uniform(0, 1, 50_000).astype(F)
    s = ok.Selection()
    s.add_weighting_strategy(w, 1.0)
    picks = s.run_selection([], len(w), 5_000)
    top = np.argsort(-w.astype(np.float64), kind="stable")[:5_000]
    assert set(picks) == set(top.tolist())
    chosen = w[picks].astype(np.float64)
    assert np.all(np.diff(chosen) <= 2e-5 * chosen[1:])
