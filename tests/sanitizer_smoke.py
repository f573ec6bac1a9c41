"""Runs every class through its successful and failing paths a few times; meant to run under
LeakSanitizer (tools/sanitize.sh), where anything the module loses is reported at exit."""

import sys

import numpy as np
from conftest import expect, panic_type

import orvane_keldra as ok

PANIC = panic_type()


class Iterates(list):
    """Converted through the iterator protocol rather than the list fast path."""

    def __iter__(self):
        yield from list.__iter__(self)


def main():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(64, 12)).astype(np.float32)
    rows = x.tolist()
    bad_tail = rows[:-1] + [rows[-1][:-1] + ["x"]]
    ragged = rows[:-1] + [rows[-1][:-1]]
    n = len(rows)
    mapping = [[i, (i + 3) % n] for i in range(n)]
    classes = np.eye(4)[rng.integers(0, 4, n)].tolist()

    for _ in range(3):
        # Similarity
        sim = ok.Similarity(Iterates(Iterates(r) for r in rows))
        assert len(sim.calculate_similarity(x[:5])) == n
        assert len(ok.Similarity(x[::2, ::3]).calculate_similarity(x[:3, ::3].tolist())) == n // 2
        expect(TypeError, ok.Similarity, bad_tail)
        expect(ValueError, ok.Similarity, [])
        expect(ValueError, sim.calculate_similarity, [])
        expect(PANIC, sim.calculate_similarity, ragged)
        expect(PANIC, sim.calculate_similarity, [[1.0, 2.0]])
        expect(TypeError, sim.calculate_similarity, None)

        # Typicality
        typ = ok.Typicality(x)
        assert len(typ.calculate_typicality(5)) == n
        assert len(typ.calculate_typicality(10**6)) == n  # capped, the large-k path
        assert len(ok.Typicality(rows).calculate_typicality(70)) == n
        expect(PANIC, typ.calculate_typicality, 0)
        expect(OverflowError, typ.calculate_typicality, -3)
        expect(TypeError, typ.calculate_typicality, "5")
        expect(PANIC, ok.Typicality, ragged)
        expect(PANIC, ok.Typicality, rows[:1])
        expect(TypeError, ok.Typicality, bad_tail)

        # TwoDimEmbedding, with the logging bridge on for one call
        import logging

        logger = logging.getLogger("orvane_keldra")
        logger.setLevel(logging.DEBUG if _ == 0 else logging.WARNING)
        assert len(ok.TwoDimEmbedding(x[:30]).calculate_2d_embedding()) == 30
        expect(RuntimeError, ok.TwoDimEmbedding([[1.0]]).calculate_2d_embedding)
        expect(RuntimeError, ok.TwoDimEmbedding([[], []]).calculate_2d_embedding)
        expect(PANIC, ok.TwoDimEmbedding, [[1.0, 2.0], [3.0]])
        expect(TypeError, ok.TwoDimEmbedding, bad_tail)
        expect(TypeError, ok.TwoDimEmbedding([[0.0], [1.0]]).calculate_2d_embedding, 1)

        # Selection: every strategy, then every kind of failure on the same object
        s = ok.Selection()
        s.add_weighting_strategy(rng.random(n), 1.0)
        s.add_diversifying_strategy(rows, 1.0, 0.01)
        s.add_balancing_strategy(classes, [0.1, 0.2, 0.3, 0.4], 1.0)
        s.add_subpart_diversifying_strategy(x, mapping, 1.0, None)
        s.add_subpart_similarity_strategy(rows, rows[:7], mapping, 0.5)
        s.add_subpart_typicality_strategy(x, mapping, 0.5, 4, 0.0)
        assert len(s.run_selection([1, 1], n, 12)) == 12
        expect(TypeError, s.add_weighting_strategy, bad_tail[-1], 1.0)
        expect(ValueError, s.add_balancing_strategy, [[0.5, 0.5], [1.0]], [0.5, 0.5], 1.0)
        expect(PANIC, s.add_balancing_strategy, [], [0.5], 1.0)
        expect(PANIC, s.add_balancing_strategy, classes, [0.5, 0.5], 1.0)
        expect(ValueError, s.add_subpart_similarity_strategy, [], rows, mapping, 1.0)
        expect(ValueError, s.add_subpart_typicality_strategy, rows, [[0], [n]], 1.0, 3)
        expect(ValueError, s.add_subpart_typicality_strategy, rows, mapping, 1.0, 0)
        expect(PANIC, s.add_diversifying_strategy, ragged, 1.0)
        expect(PANIC, s.run_selection, [n + 5], n, 3)
        expect(ValueError, s.run_selection, [], n + 1, 3)
        expect(OverflowError, s.run_selection, [], n, -1)
        expect(TypeError, s.run_selection, [], n)
        expect(ValueError, ok.Selection().add_weighting_strategy, [1.0, 2.0], float("nan"))
        expect(PANIC, ok.Selection().run_selection, [], 0, 1)

        held = []

        class Reenter(list):
            def __iter__(self):
                try:
                    s.run_selection([], n, 1)
                except RuntimeError as exc:
                    held.append(str(exc))
                return list.__iter__(self)

        s.add_weighting_strategy(Reenter([1.0] * n), 1.0)
        assert held == ["Already borrowed"]
        assert len(s.run_selection([], n, 3)) == 3

    print("sanitizer smoke: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
