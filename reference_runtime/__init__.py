"""A small, deterministic local runtime for ``tallowmere.simulate_signal``.

It is not the SDK: it stands in for the collaborators that the module expects
to be injected (authentication, data sync, vault, backtest engine, search
tracker, era watcher, pool correlation and marginal improvement), backed by a
synthetic market made with NumPy from a seed, so that a simulation on a
laptop computes real figures from real (if synthetic) data. The module's
sibling modules (threshold gates, verdicts, function store, ...) still come
from the ``tallowmere`` package on ``sys.path`` (in this repository, the
stand-in under ``standin/``); this package imports none of them.

    from reference_runtime import build_runtime
    import tallowmere.simulate_signal as ss
    ss.init_simulate_signal(**build_runtime("/tmp/era-data", seed=7))

Modules: ``market`` (the synthetic market), ``shuffle_seed`` (the 60-byte
seed file), ``sync`` (data directory, progress, freshness), ``services``
(auth, vault, era), ``evaluator`` (graph semantics and validation),
``engine`` (PnL and statistics formulas), ``backtester`` (the engine handed to
the module), ``pools`` (found PnL, correlation, marginal improvement),
``tracker`` (JSON-lines search records), ``era`` (era config, vocabulary),
``runtime`` (``build_runtime``).
"""
from .runtime import (build_runtime, example_signal_graph, example_strategy_graph, feature,
                      filtration, rotation)

__all__ = ["build_runtime", "example_signal_graph", "example_strategy_graph", "feature",
           "filtration", "rotation"]
