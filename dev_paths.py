"""Where a checkout runs from, written once for the examples, the benchmarks
and the tests: importing this module puts on ``sys.path``

- the development build that ``SIMULATE_SIGNAL_BUILD`` names (its ``pkg``
  directory), ahead of an installed ``tallowmere.simulate_signal``;
- the stand-in ``tallowmere`` sibling package (``standin/``);
- the examples (``candidate_search``) and the repository root
  (``reference_runtime``, ``benchmarks``), behind everything installed.

A script outside the root first puts the root on the path, then imports it:

    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
    import dev_paths  # noqa: E402,F401
"""
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent


def front():
    """The directories that go ahead of everything else, first first."""
    build = os.environ.get("SIMULATE_SIGNAL_BUILD")
    return ([build] if build else []) + [str(ROOT / "standin")]


def back():
    """The directories that go behind everything else."""
    return [str(ROOT / "examples"), str(ROOT)]


def install():
    for path in reversed(front()):
        if path in sys.path:
            sys.path.remove(path)
        sys.path.insert(0, path)
    for path in back():
        if path not in sys.path:
            sys.path.append(path)


def pythonpath(*extra):
    """PYTHONPATH for a child interpreter that sees what this one sees;
    ``extra`` directories go between the front and the back."""
    inherited = [os.environ["PYTHONPATH"]] if os.environ.get("PYTHONPATH") else []
    return os.pathsep.join(front() + list(extra) + inherited + back())


install()
