"""Every Python block of the README runs, so the documentation cannot rot."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


def test_readme_has_examples():
    assert len(BLOCKS) >= 4


# Blocks that start a Ray cluster say so in their id, for runs that must leave Ray out.
IDS = [
    f"block{i}" + ("-starts_ray_cluster" if "ray.init" in b else "") for i, b in enumerate(BLOCKS)
]


@pytest.mark.parametrize("index", range(len(BLOCKS)), ids=IDS)
def test_readme_block_runs(index, tmp_path, monkeypatch):
    # from outside the source tree, as a user runs them (Ray workers search the driver's directory)
    monkeypatch.chdir(tmp_path)
    exec(compile(BLOCKS[index], f"README.md block {index}", "exec"), {"__name__": "readme"})
