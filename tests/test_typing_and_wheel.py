"""The type stub matches the module and serves real callers; the wheel and a --target folder
install and run alone."""

import json
import os
import re
import shutil
import subprocess
import sys
import textwrap
import venv
import zipfile
from pathlib import Path

import pytest

import orvane_keldra

REPO = Path(__file__).resolve().parents[1]
STUB = REPO / "orvane_keldra" / "__init__.pyi"


def _checker_env():
    """Environment in which mypy sees the repository's stub and imports the module under test."""
    env = dict(os.environ)
    env["MYPYPATH"] = str(REPO)
    # stubtest must import the same build the rest of the suite exercises, wherever it lives
    module_dir = str(Path(orvane_keldra.__file__).resolve().parents[1])
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    return env


def _run(cmd, timeout, **kwargs):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, **kwargs)


def test_stub_matches_runtime_module(tmp_path):
    assert STUB.is_file()
    proc = _run(
        [sys.executable, "-m", "mypy.stubtest", "orvane_keldra"],
        300,
        cwd=tmp_path,
        env=_checker_env(),
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success" in proc.stdout


ACCEPTED_CALLS = """\
    import array
    import numpy as np
    import numpy.typing as npt
    import orvane_keldra as ok

    a32: npt.NDArray[np.float32] = np.zeros((6, 2), dtype=np.float32)
    a64 = np.zeros((6, 2))
    v32 = np.ones(6, dtype=np.float32)
    idx = np.arange(3)
    t: tuple[float, ...] = (1.0, 2.0)

    s1: list[float] = ok.Similarity([[0.0, 1.0], [1, 2]]).calculate_similarity(a32)
    s2: list[float] = ok.Similarity(key_embeddings=a64).calculate_similarity(query_embeddings=(t, t))
    s3: list[float] = ok.Typicality(a32).calculate_typicality(num_nearest_neighbors=2)
    s4: list[tuple[float, float]] = ok.TwoDimEmbedding([v32, v32]).calculate_2d_embedding()
    sel = ok.Selection()
    sel.add_weighting_strategy(v32, 1.0)
    sel.add_weighting_strategy(array.array("f", [1.0]), strength=1)
    sel.add_diversifying_strategy(a32, 1.0, None)
    sel.add_balancing_strategy(a64, [0.5, 0.5], 1.0)
    sel.add_subpart_typicality_strategy(a32, [idx, [0, 1]], 1.0, 2, 0.1)
    sel.add_subpart_similarity_strategy(a32, a64, [[0], [np.int64(1)]], 1.0)
    sel.add_subpart_diversifying_strategy(
        embeddings=a32, sample_to_subpart_indices=[[0]], strength=1.0,
        stopping_condition_minimum_distance=0.5)
    s5: list[int] = sel.run_selection(idx, 3, 2)
"""

# one call per line, each refused by the module at run time and so to be refused by the checker
REFUSED_CALLS = """\
    import orvane_keldra as ok
    ok.Similarity("abc")
    ok.Similarity(["ab"])
    ok.Similarity([[1.0, "x"]])
    ok.Similarity(None)
    ok.Typicality([[0.0]]).calculate_typicality(2.0)
    ok.TwoDimEmbedding([[0.0]]).calculate_2d_embedding(1)
    ok.Selection().add_weighting_strategy([1.0], strength=None)
    ok.Selection().add_diversifying_strategy([[0.0]], 1.0, stopping_condition_minimum_dist=1.0)
    ok.Selection().run_selection([0.5], 3, 1)
    ok.Selection().add_subpart_diversifying_strategy([[0.0]], [[0.5]], 1.0)
    wrong: list[int] = ok.Similarity([[0.0]]).calculate_similarity([[0.0]])
"""


def test_stub_accepts_lists_and_arrays_and_refuses_wrong_types(tmp_path):
    (tmp_path / "accepted.py").write_text(textwrap.dedent(ACCEPTED_CALLS))
    (tmp_path / "refused.py").write_text(textwrap.dedent(REFUSED_CALLS))
    base = [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache")]

    proc = _run(base + ["--strict", "accepted.py"], 600, cwd=tmp_path, env=_checker_env())
    assert proc.returncode == 0, proc.stdout + proc.stderr

    proc = _run(base + ["refused.py"], 600, cwd=tmp_path, env=_checker_env())
    flagged = {int(m) for m in re.findall(r"^refused\.py:(\d+): error:", proc.stdout, re.M)}
    expected = set(range(2, len(REFUSED_CALLS.splitlines()) + 1))
    assert flagged == expected, proc.stdout


# Runs in each installed environment and, for comparison, against the module under test.
# One call per class, with values known in advance; --json prints the results and where the
# package and OpenBLAS came from.
SMOKE = REPO / "tools" / "wheel_smoke.py"
RESULT_KEYS = ("similarity", "typicality", "layout", "selection")


def _reference_results(tmp_path):
    # one worker thread makes the layout reproducible for the comparisons
    proc = _run(
        [sys.executable, str(SMOKE), "--json"],
        300,
        cwd=tmp_path,
        env=_checker_env() | {"RAYON_NUM_THREADS": "1"},
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


@pytest.fixture(scope="session")
def build_dir(tmp_path_factory):
    """A private build directory shared by the install tests: the in-tree one may be in use."""
    return tmp_path_factory.mktemp("build")


INSTALLED_STUB_USE = """\
    import orvane_keldra as ok
    reveal_type(ok.Similarity([[0.0]]).calculate_similarity([[1.0]]))
    ok.Similarity("abc")
"""


@pytest.mark.slow  # builds the wheel from source (a minute or two); part of the normal run
def test_wheel_installs_alone_and_computes(tmp_path, build_dir):
    wheelhouse = tmp_path / "wheelhouse"
    proc = _run(
        ["bash", str(REPO / "tools" / "wheel.sh"), str(wheelhouse)],
        1800,
        env=dict(
            os.environ,
            PYTHON=sys.executable,
            ORVANE_WHEEL_ARCHS="x86_64",
            ORVANE_WHEEL_BUILD_DIR=str(build_dir / "wheel"),
        ),
    )
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-4000:]
    wheels = list(wheelhouse.iterdir())
    assert len(wheels) == 1, wheels
    # glibc 2.17 and nothing newer: the oldest tag auditwheel knows for x86_64
    assert re.fullmatch(
        r"orvane_keldra-[^-]+-cp311-abi3-(manylinux2014_x86_64\.)?manylinux_2_17_x86_64\.whl",
        wheels[0].name,
    )
    # OpenBLAS is not grafted into the wheel: it comes from the scipy-openblas32 dependency
    with zipfile.ZipFile(wheels[0]) as zf:
        payload = {n for n in zf.namelist() if ".dist-info/" not in n and not n.endswith("/")}
    assert payload == {
        "orvane_keldra/__init__.py",
        "orvane_keldra/__init__.pyi",
        "orvane_keldra/py.typed",
        "orvane_keldra/_native.abi3.so",
        "orvane_keldra/distributed.py",
        "orvane_keldra/_ray_selection.py",
    }

    env_dir = tmp_path / "venv"
    venv.EnvBuilder(with_pip=True).create(env_dir)
    py = str(env_dir / "bin" / "python")
    proc = _run([py, "-m", "pip", "install", "-q", str(wheels[0])], 900)
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-4000:]

    # -I keeps PYTHONPATH and the working directory from supplying some other build
    run_env = dict(os.environ, RAYON_NUM_THREADS="1")
    proc = _run([py, "-I", str(SMOKE), "--json"], 300, cwd=tmp_path, env=run_env)
    assert proc.returncode == 0, proc.stderr
    installed = json.loads(proc.stdout)
    assert installed["file"] == "__init__.py"
    assert Path(installed["dir"]).is_relative_to(env_dir.resolve())
    assert len(installed["openblas"]) == 1
    assert Path(installed["openblas"][0]).is_relative_to(env_dir.resolve())
    site = Path(installed["dir"])
    assert (site / "__init__.pyi").read_bytes() == STUB.read_bytes()
    assert (site / "py.typed").is_file()

    # mypy, given only the wheel's environment, must find the installed stub on its own
    (tmp_path / "use.py").write_text(textwrap.dedent(INSTALLED_STUB_USE))
    checker_env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    proc = _run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--python-executable",
            py,
            "--cache-dir",
            str(tmp_path / "cache"),
            "use.py",
        ],
        600,
        cwd=tmp_path,
        env=checker_env,
    )
    assert re.search(
        r'Revealed type is "(builtins\.)?list\[(builtins\.)?float\]"', proc.stdout
    ), proc.stdout
    assert re.search(r"^use\.py:3: error:", proc.stdout, re.M), proc.stdout

    reference = _reference_results(tmp_path)
    for key in RESULT_KEYS:
        assert installed[key] == reference[key], key
    assert len(installed["layout"]) == 6 and len(installed["selection"]) == 4
    assert installed["selection"][0] == 2


@pytest.mark.slow  # builds from source (incremental after the wheel test); part of the normal run
def test_target_folder_works_from_pythonpath_alone(tmp_path, build_dir):
    target = tmp_path / "target"
    proc = _run(
        [
            sys.executable,
            "-m",
            "pip",
            "install",
            "-q",
            "--target",
            str(target),
            "--config-settings=build-dir=" + str(build_dir),
            str(REPO),
        ],
        1800,
    )
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-4000:]

    # an interpreter with nothing installed, started in an unrelated folder
    bare = tmp_path / "bare"
    venv.EnvBuilder(with_pip=False).create(bare)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()

    def run(*folders):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(map(str, folders)), RAYON_NUM_THREADS="1")
        proc = _run(
            [str(bare / "bin" / "python"), str(SMOKE), "--json"],
            300,
            cwd=elsewhere,
            env=env,
        )
        assert proc.returncode == 0, proc.stderr
        return json.loads(proc.stdout)

    side_by_side = run(target)
    assert Path(side_by_side["dir"]) == (target / "orvane_keldra").resolve()
    lib = Path("scipy_openblas32", "lib", "libscipy_openblas.so")
    assert side_by_side["openblas"] == [str((target / lib).resolve())]

    # the dependency in a folder of its own, as when it was installed elsewhere
    apart = tmp_path / "apart"
    apart.mkdir()
    shutil.move(target / "scipy_openblas32", apart / "scipy_openblas32")
    separate = run(target, apart)
    assert separate["openblas"] == [str((apart / lib).resolve())]

    reference = _reference_results(tmp_path)
    for key in RESULT_KEYS:
        assert side_by_side[key] == separate[key] == reference[key], key
