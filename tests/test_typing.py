"""The shipped type stub: strict type checking of a consumer, and the stub against
the module as imported (stubtest). Skipped when mypy is not installed."""
import ast
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import ROOT, subprocess_env

pytest.importorskip("mypy", reason="mypy is not installed")

SOURCE_STUB = ROOT / "python" / "tallowmere" / "simulate_signal.pyi"
CONSUMER = ROOT / "tests" / "typing_consumer.py"
ALLOWLIST = ROOT / "tests" / "stubtest_allowlist.txt"
MYPY_TIMEOUT_S = 300


def shipped_stub():
    """The stub installed beside the module (a wheel install), else the source one
    (a development build carries none)."""
    import tallowmere.simulate_signal as module
    installed = Path(module.__file__).with_name("simulate_signal.pyi")
    return installed if installed.exists() else SOURCE_STUB


@pytest.fixture
def stub_path(tmp_path):
    """A directory holding tallowmere/simulate_signal.pyi alone, for MYPYPATH."""
    root = tmp_path / "stubs"
    (root / "tallowmere").mkdir(parents=True)
    shutil.copy(shipped_stub(), root / "tallowmere" / "simulate_signal.pyi")
    return root


def run_mypy_tool(args, stub_root, cwd):
    env = subprocess_env(MYPYPATH=str(stub_root))
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          cwd=cwd, env=env, timeout=MYPY_TIMEOUT_S)


def test_strict_consumer_type_checks(stub_path, tmp_path):
    done = run_mypy_tool(["mypy", "--strict", "--no-incremental", "--python-version", "3.12",
                          "--cache-dir", str(tmp_path / "cache"), str(CONSUMER)],
                         stub_path, tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_misuse_is_reported(stub_path, tmp_path):
    # Without its ignore comments the consumer's misuse lines must fail: proves
    # the stub is the one being checked and that it refuses what it should.
    bare = tmp_path / "bare_consumer.py"
    bare.write_text("\n".join(line.split("  # type: ignore")[0]
                              for line in CONSUMER.read_text().splitlines()) + "\n")
    done = run_mypy_tool(["mypy", "--strict", "--no-incremental", "--cache-dir",
                          str(tmp_path / "cache"), str(bare)], stub_path, tmp_path)
    expected = sum("# type: ignore" in line for line in CONSUMER.read_text().splitlines())
    assert done.returncode == 1
    assert f"Found {expected} errors" in done.stdout, done.stdout


def test_stub_matches_module(stub_path, tmp_path):
    done = run_mypy_tool(["mypy.stubtest", "tallowmere.simulate_signal", "--allowlist",
                          str(ALLOWLIST)], stub_path, tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def stub_docstrings():
    """{qualified name: docstring} of every documented definition in the stub."""
    tree = ast.parse(shipped_stub().read_text())
    docs = {}

    def visit(node, prefix):
        for child in node.body:
            if isinstance(child, (ast.ClassDef, ast.FunctionDef)):
                doc = ast.get_docstring(child)
                if doc:
                    docs[prefix + child.name] = doc
                if isinstance(child, ast.ClassDef):
                    visit(child, prefix + child.name + ".")
    visit(tree, "")
    return docs


def test_stub_docstrings_open_like_the_module():
    import tallowmere.simulate_signal as module
    docs = stub_docstrings()
    assert {"CancelledError", "SimulationHandle.result", "effective_simulation_options"} <= set(docs)
    for qualname, doc in docs.items():
        obj = module
        for part in qualname.split("."):
            obj = getattr(obj, part)
        assert obj.__doc__.splitlines()[0] == doc.splitlines()[0], qualname
