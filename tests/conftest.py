import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest


@pytest.fixture(scope="module")
def local_ray_cluster(tmp_path_factory):
    """A local two-CPU Ray cluster for one test module. Ray puts the driver's working directory
    first on the workers' path: outside the source tree, so that workers import the installed
    package as users' workers do."""
    import logging

    import ray

    here = os.getcwd()
    os.chdir(tmp_path_factory.mktemp("driver"))
    try:
        ray.init(num_cpus=2, include_dashboard=False, logging_level=logging.WARNING)
    finally:
        os.chdir(here)
    yield
    ray.shutdown()


def run_python(code, env=None, timeout=300):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def outcome(call):
    """(type, text, notes) of what call() raised, None when it returned."""
    try:
        call()
    except BaseException as e:  # PanicException derives from BaseException
        return type(e), str(e), getattr(e, "__notes__", None)
    return None


def expect(exc, fn, *args):
    """Fails unless fn(*args) raises `exc`: pytest.raises for lambdas and for plain scripts."""
    try:
        fn(*args)
    except exc:
        return
    raise AssertionError(f"{fn!r}{args!r:.60} did not raise {exc.__name__}")


def panic_type():
    """The module's PanicException class: it is not exported, so it is reached by catching one."""
    import orvane_keldra as ok

    try:
        ok.Typicality([[0.0]])
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        return type(exc)
    raise AssertionError("Typicality with one embedding did not fail")


@pytest.fixture
def rng():
    import numpy as np

    return np.random.default_rng(12345)


# Float64 answers and the f32 rounding bounds for comparing with them. Paths whose BLAS calls
# have different shapes round differently, so each is checked against the exact answer, never
# against the other at a fixed rtol.
U32 = 2.0**-24  # unit roundoff of float32


def _sq_distance_error(x_norm2, y_norm2, d):
    """Bound on the f32 error of |x - y|^2 = |x|^2 + |y|^2 - 2 x.y: the dot product of d terms is
    off by at most d u |x||y| <= d u (|x|^2 + |y|^2) / 2, the norms by d u each, plus a few
    roundings of the sum."""
    return (2 * d + 8) * U32 * (x_norm2 + y_norm2)


def _distance_error(dist, sq_error):
    """|sqrt(a) - sqrt(b)| <= min(sqrt(|a - b|), |a - b| / sqrt(a)) for a true square a."""
    return np.minimum(np.sqrt(sq_error), sq_error / np.maximum(dist, 1e-300))


def _score_error(t, dt, mean, d_mean):
    """Scores exp(-t / mean) (typicality) and -t / mean (similarity) have slope at most 1 in
    t / mean, whose error is (dt + t d_mean / mean) / mean; plus the f32 roundings of exp, the
    division and a mean over k terms, a few ulps of numbers at most 1 in size."""
    return (dt + t * d_mean / mean) / mean + 16 * U32 * (1 + t / mean)


def typicality_f64(x, k):
    """(scores, bound): exact typicality in float64 of float32 rows x, and per row the bound on
    the error of any f32 computation of it."""
    x = np.asarray(x, dtype=np.float32).astype(np.float64)
    n, d = x.shape
    k = min(k, n - 1)
    norm2 = np.einsum("ij,ij->i", x, x)
    t = np.empty((n, k))
    for lo in range(0, n, 1024):
        block = x[lo : lo + 1024]
        sq = norm2[lo : lo + 1024, None] + norm2[None, :] - 2 * block @ x.T
        sq[np.arange(len(block)), np.arange(lo, lo + len(block))] = np.inf
        t[lo : lo + 1024] = np.sort(np.partition(np.maximum(sq, 0), k - 1, axis=1)[:, :k], axis=1)
    t = np.sqrt(t)
    # the k smallest of perturbed values lie within the largest perturbation of the true ones
    dt = _distance_error(t, _sq_distance_error(norm2[:, None], norm2.max(), d))
    mean = t.mean()
    scores = np.exp(-t / mean).mean(axis=1)
    return scores, _score_error(t, dt, mean, dt.max()).max(axis=1)


def similarity_f64(keys, queries):
    """(scores, bound) for Similarity(keys).calculate_similarity(queries), as typicality_f64."""
    keys = np.asarray(keys, dtype=np.float32).astype(np.float64)
    queries = np.asarray(queries, dtype=np.float32).astype(np.float64)
    kn, qn = np.einsum("ij,ij->i", keys, keys), np.einsum("ij,ij->i", queries, queries)
    sq = np.maximum(kn[:, None] + qn[None, :] - 2 * keys @ queries.T, 0).min(axis=1)
    t = np.sqrt(sq)
    dt = _distance_error(t, _sq_distance_error(kn, qn.max(), keys.shape[1]))
    mean = t.mean()
    return -t / mean, _score_error(t, dt, mean, dt.max())


def assert_within(got, expected_and_bound):
    expected, bound = expected_and_bound
    err = np.abs(np.asarray(got, dtype=np.float64) - expected)
    worst = int(np.argmax(err - bound))
    assert np.all(
        err <= bound
    ), f"row {worst}: error {err[worst]:.3g} above the f32 bound {bound[worst]:.3g}"
