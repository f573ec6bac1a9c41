"""Every Python block of the README runs, so the documentation cannot rot."""
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


def test_readme_has_examples():
    assert len(BLOCKS) >= 4


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_block_runs(index, tmp_path, monkeypatch):
    # from outside the source tree, as a user runs them (Ray workers search the driver's directory)
    monkeypatch.chdir(tmp_path)
    exec(compile(BLOCKS[index], f"README.md block {index}", "exec"), {"__name__": "readme"})
