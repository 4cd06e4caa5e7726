"""Test set-up: the stand-in tallowmere package and the built extension on the path.

The extension comes from the environment (installed as a portion of the
``tallowmere`` package), or from a development build when
``SIMULATE_SIGNAL_BUILD`` names its ``pkg`` directory (scripts/dev-build.sh).
"""
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
STANDIN = ROOT / "standin"
TESTS = ROOT / "tests"

_extra = [str(STANDIN)]
if os.environ.get("SIMULATE_SIGNAL_BUILD"):
    _extra.append(os.environ["SIMULATE_SIGNAL_BUILD"])
for _p in reversed(_extra):
    if _p not in sys.path:
        sys.path.insert(0, _p)

# The test helpers (doubles.py) are importable as plain modules.
if str(TESTS) not in sys.path:
    sys.path.insert(0, str(TESTS))


def subprocess_env(**extra):
    """Environment for a child interpreter that sees the same tallowmere."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        _extra + [str(TESTS)] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    env.update(extra)
    return env


def run_python(code, timeout=60, **env):
    """Run ``code`` in a fresh interpreter; returns the CompletedProcess."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, env=subprocess_env(**env))


@pytest.fixture
def ss():
    """The module, with its collaborator globals restored after the test."""
    import tallowmere.simulate_signal as module
    saved = dict(vars(module))
    yield module
    for key in list(vars(module)):
        if key not in saved:
            delattr(module, key)
    for key, value in saved.items():
        if vars(module).get(key, object()) is not value:
            setattr(module, key, value)
