"""Found PnL files, and the per-pool correlation and marginal-improvement callables.

PnL files hold one daily PnL value per line (``repr`` of the float), in date
order; the stand-in runtime module reads found-strategy files in the same
format, whatever their suffix. Layout under the data directory:

- found signals:    ``found_signals/<pool>/<signal id>/signal_is/pnl.txt``
- found strategies: ``found_strategies/<pool>/<strategy id>/strategy_is/pnl.arrow``

Both callables judge the candidate's PnL from the latest backtest made on the
calling thread (``ReferenceBacktester.last_result``), in the column they are
asked for.
"""
import os

import numpy as np

from .engine import pearson, sharpe_ratio


def found_signal_path(pool, signal_id):
    return f"found_signals/{pool}/{signal_id}/signal_is/pnl.txt"


def found_strategy_path(pool, strategy_id):
    return f"found_strategies/{pool}/{strategy_id}/strategy_is/pnl.arrow"


def pnl_file_bytes(pnl):
    return "".join(f"{float(value)!r}\n" for value in pnl).encode()


def read_pnl_file(path):
    """The series in a PnL file, or None when the file does not exist."""
    try:
        with open(path, encoding="utf-8") as handle:
            return np.array([float(line) for line in handle if line.strip()])
    except FileNotFoundError:
        return None


class FoundPnlLoader:
    """``load(signal_id, pool_name=...)``: a found signal's PnL, else a found strategy's
    of that pool, else None."""

    def __init__(self, sync_manager):
        self._sync_manager = sync_manager

    def __call__(self, signal_id, pool_name=None):
        for relative in (found_signal_path(pool_name, signal_id),
                         found_strategy_path(pool_name, signal_id)):
            path = self._sync_manager.path(relative)
            if os.path.exists(path):
                return read_pnl_file(path)
        return None


def _candidate_pnl(backtester, pnl_column):
    result = backtester.last_result
    if result is None:
        raise RuntimeError("no backtest has run on this thread; run one first")
    return result.column(pnl_column)


class PoolCorrelation:
    """``correlation = max_k |pearson(candidate, pool_k)|`` over the given PnL arrays,
    0.0 for an empty pool. The threshold is accepted for the call shape; the
    caller judges the value against it."""

    def __init__(self, backtester):
        self._backtester = backtester

    def __call__(self, *, pool_name, pnl_arrays, pnl_column, threshold):
        candidate = _candidate_pnl(self._backtester, pnl_column)
        correlations = [abs(pearson(candidate, np.asarray(pnl, dtype=float)))
                        for pnl in pnl_arrays]
        return max(correlations, default=0.0)


class PoolMarginalImprovement:
    """Marginal improvement of the pool's combined PnL from adding the candidate:

    ``score = sharpe(mean(pool_1..pool_k, candidate)) - sharpe(mean(pool_1..pool_k))``

    with the Sharpe ratio of the engine and ``sharpe`` of an empty pool 0, so an
    empty pool scores the candidate's own Sharpe. ``pool_signals`` holds signal
    ids (loaded through the found-PnL loader of ``pool_name``) or PnL series.
    ``passed = score >= threshold``.
    """

    def __init__(self, backtester, load_found_pnl):
        self._backtester = backtester
        self._load_found_pnl = load_found_pnl

    def __call__(self, *, pool_name, pnl_column, pool_signals, threshold):
        candidate = _candidate_pnl(self._backtester, pnl_column)
        pool = [self._series(signal, pool_name) for signal in pool_signals]
        base = sharpe_ratio(np.mean(pool, axis=0)) if pool else 0.0
        score = sharpe_ratio(np.mean(pool + [candidate], axis=0)) - base
        return score, score >= threshold

    def _series(self, signal, pool_name):
        if isinstance(signal, (str, int)):
            pnl = self._load_found_pnl(signal, pool_name=pool_name)
            if pnl is None:
                raise ValueError(f"no found PnL for signal {signal!r} in pool {pool_name!r}")
            return np.asarray(pnl, dtype=float)
        return np.asarray(signal, dtype=float)
