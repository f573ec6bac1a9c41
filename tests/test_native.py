import os
import subprocess


def test_core_cpp_suite_passes():
    binary = os.environ.get("ORVANE_NATIVE_TESTS")
    assert binary, "ORVANE_NATIVE_TESTS is unset: run the suite with tools/test.sh"
    assert os.path.exists(binary), binary
    proc = subprocess.run([binary], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert " passed, 0 failed" in proc.stdout
