"""The C++ cases of the core, one pytest item each."""

import os
import subprocess

import pytest

BINARY = os.environ.get("ORVANE_NATIVE_TESTS", "")


def _cases():
    if not os.path.exists(BINARY):
        return ["(ORVANE_NATIVE_TESTS is unset or missing: run the suite with tools/test.sh)"]
    out = subprocess.run([BINARY, "--list"], capture_output=True, text=True, check=True).stdout
    return out.splitlines()


@pytest.mark.parametrize("case", _cases())
def test_core_case(case):
    assert os.path.exists(BINARY), case
    proc = subprocess.run([BINARY, "--exact", case], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0 and "1 passed, 0 failed" in proc.stdout, proc.stdout + proc.stderr
