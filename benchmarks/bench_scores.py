"""Typicality and similarity against faiss and scikit-learn, same process, same thread count.

Run: python benchmarks/bench_scores.py   (needs the `bench` extra)
"""

import argparse
import os

import numpy as np

import orvane_keldra as ok
from common import PEAK_SUFFIX, best_time, machine_line, peak_rss_mb_of, print_table


def typicality_from_knn(d2, k):
    """Typicality from squared distances of the k nearest neighbours (self excluded)."""
    r = np.sqrt(np.maximum(d2, 0) / 2)
    return np.exp(-r / r.mean()).mean(axis=1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for a smoke run")
    args = parser.parse_args()
    import faiss
    from sklearn.neighbors import NearestNeighbors

    threads = int(os.environ.get("RAYON_NUM_THREADS", os.cpu_count()))
    faiss.omp_set_num_threads(threads)
    rng = np.random.default_rng(0)
    n, d, k = (4000, 384, 10) if args.quick else (20000, 384, 10)
    x = rng.normal(size=(n, d)).astype(np.float32)
    rows = []

    t_ours, ours = best_time(lambda: ok.Typicality(x).calculate_typicality(k))

    def faiss_typ():
        index = faiss.IndexFlatL2(d)
        index.add(x)
        dist, _ = index.search(x, k + 1)
        return typicality_from_knn(dist[:, 1:], k)

    t_faiss, theirs = best_time(faiss_typ)
    assert np.allclose(ours, theirs, rtol=1e-3, atol=1e-5), "typicality disagrees with faiss"

    def sk_typ():
        nn = NearestNeighbors(n_neighbors=k + 1, algorithm="brute", n_jobs=threads).fit(x)
        dist, _ = nn.kneighbors(x)
        return typicality_from_knn(dist[:, 1:] ** 2, k)

    t_sk, _ = best_time(sk_typ, repeat=1)
    rows.append((f"Typicality N={n} D={d} K={k}", t_ours, "faiss IndexFlatL2", t_faiss))
    rows.append((f"Typicality N={n} D={d} K={k}", t_ours, "sklearn brute kNN", t_sk))

    # A larger, lower-dimensional set: one run each, the peer alone takes minutes on two cores.
    nl, dl = (20000, 128) if args.quick else (100000, 128)
    xl = rng.normal(size=(nl, dl)).astype(np.float32)
    t_ours, ours = best_time(lambda: ok.Typicality(xl).calculate_typicality(k), repeat=1)

    def faiss_large():
        index = faiss.IndexFlatL2(dl)
        index.add(xl)
        dist, _ = index.search(xl, k + 1)
        return typicality_from_knn(dist[:, 1:], k)

    t_faiss, theirs = best_time(faiss_large, repeat=1)
    assert np.allclose(ours, theirs, rtol=1e-3, atol=1e-5), "typicality disagrees with faiss"
    rows.append((f"Typicality N={nl} D={dl} K={k}", t_ours, "faiss IndexFlatL2", t_faiss))

    # Neighbour counts around the end of the sorted buffers (64), and triplicated rows, whose
    # distances 0 are recomputed from the coordinates.
    nm, dm = (4000, 32) if args.quick else (20000, 32)
    xm = rng.normal(size=(nm, dm)).astype(np.float32)
    trip = np.repeat(xm[: nm // 3], 3, axis=0)
    for data, name, km in [(xm, "", 64), (xm, "", 65), (xm, "", 100), (xm, "", 200)] + [
        (trip, " triplicated", 10)
    ]:
        t_ours, ours = best_time(lambda: ok.Typicality(data).calculate_typicality(km), repeat=2)

        def faiss_k(data=data, km=km):
            index = faiss.IndexFlatL2(dm)
            index.add(data)
            dist, _ = index.search(data, km + 1)
            return typicality_from_knn(dist[:, 1:], km)

        t_faiss, _ = best_time(faiss_k, repeat=2)
        case = f"Typicality N={len(data)} D={dm} K={km}{name}"
        rows.append((case, t_ours, "faiss IndexFlatL2", t_faiss))

    nk, nq = (n, n // 10)
    keys, queries = x, rng.normal(size=(nq, d)).astype(np.float32)
    t_ours, ours = best_time(lambda: ok.Similarity(keys).calculate_similarity(queries))

    def faiss_sim():
        index = faiss.IndexFlatL2(d)
        index.add(queries)
        dist, _ = index.search(keys, 1)
        dd = np.sqrt(np.maximum(dist[:, 0], 0))
        return -dd / dd.mean()

    t_faiss, theirs = best_time(faiss_sim)
    assert np.allclose(ours, theirs, rtol=1e-3, atol=1e-5), "similarity disagrees with faiss"
    rows.append((f"Similarity keys={nk} queries={nq} D={d}", t_ours, "faiss IndexFlatL2", t_faiss))

    big = 20000 if args.quick else 100000
    xb = rng.normal(size=(big, 384)).astype(np.float32)
    as_lists = xb.tolist()
    t_arr, _ = best_time(lambda: ok.Typicality(xb), repeat=3)
    t_list, _ = best_time(lambda: ok.Typicality(as_lists), repeat=1)
    t_copy, _ = best_time(lambda: xb.copy(), repeat=3)
    rows.append(
        (f"Typicality() from {big}x384 float32 array", t_arr, "numpy copy of the array", t_copy)
    )
    rows.append((f"Typicality() from {big}x384 lists of lists", t_list, "from the array", t_arr))
    print_table(f"Scores ({machine_line()})", rows)

    mem_n = 20000 if args.quick else 100000
    code = (
        f"""
import time, numpy as np, orvane_keldra as ok
x = np.random.default_rng(1).normal(size=({mem_n}, 128)).astype(np.float32)
t = ok.Typicality(x)
t0 = time.perf_counter(); t.calculate_typicality(10); print(time.perf_counter() - t0)
"""
        + PEAK_SUFFIX
    )
    out, rss = peak_rss_mb_of(code)
    data_mb = mem_n * 128 * 4 / 2**20
    print(
        f"\nTypicality N={mem_n} D=128 K=10: {float(out):.3f} s, peak RSS {rss:.0f} MB "
        f"(input {data_mb:.0f} MB; an N x N float32 matrix would be {mem_n * mem_n * 4 / 2**30:.1f} GB)"
    )


if __name__ == "__main__":
    main()
