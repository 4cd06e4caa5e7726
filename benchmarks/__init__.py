"""Benchmarks of tallowmere.simulate_signal: ``python -m benchmarks`` (see __main__).

Importing the package puts the stand-in sibling package (standin/) on the
path, and the development build named by SIMULATE_SIGNAL_BUILD (its ``pkg``
directory) when set; otherwise the module comes from the environment.
"""
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

for _path in ([os.environ["SIMULATE_SIGNAL_BUILD"]] if os.environ.get("SIMULATE_SIGNAL_BUILD")
              else []) + [str(ROOT / "standin")]:
    if _path not in sys.path:
        sys.path.insert(0, _path)
