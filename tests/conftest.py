import os
import subprocess
import sys
import textwrap

import pytest


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


@pytest.fixture
def rng():
    import numpy as np

    return np.random.default_rng(12345)
