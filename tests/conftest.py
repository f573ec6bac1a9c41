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
