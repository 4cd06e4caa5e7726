"""Test set-up: the stand-in tallowmere package and the built extension on the path
(from the environment, or the development build whose ``pkg`` directory
``SIMULATE_SIGNAL_BUILD`` names), and the test helpers (doubles.py) and the
benchmarks package, whose fixtures they share."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
TESTS = ROOT / "tests"
if str(ROOT) not in sys.path:
    sys.path.append(str(ROOT))
import dev_paths  # noqa: E402  (the stand-in package, the development build, the examples)

if str(TESTS) not in sys.path:
    sys.path.insert(0, str(TESTS))


def subprocess_env(**extra):  # for a child interpreter that sees the same tallowmere
    env = dict(os.environ)
    env["PYTHONPATH"] = dev_paths.pythonpath(str(TESTS))
    env.update(extra)
    return env


def run_python(code, timeout=60, **env):  # ``code`` in a fresh interpreter
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, env=subprocess_env(**env))


@pytest.fixture
def ss():
    """The module, with its globals restored after the test."""
    import tallowmere.simulate_signal as module
    from doubles import restored
    with restored(module):
        yield module
