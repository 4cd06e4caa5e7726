"""Benchmarks of tallowmere.simulate_signal: ``python -m benchmarks`` (see __main__).

Importing the package puts the stand-in sibling package (standin/) on the
path, and the development build named by SIMULATE_SIGNAL_BUILD (its ``pkg``
directory) when set; otherwise the module comes from the environment.
"""
import dev_paths  # noqa: F401  (run as ``python -m benchmarks`` from the repository root)

ROOT = dev_paths.ROOT
