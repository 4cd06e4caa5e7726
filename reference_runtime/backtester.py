"""The backtest engine handed to the simulation module: evaluation plus backtest.

``evaluate_expression`` turns a graph into weights and keeps them in a small
cache keyed by (graph, metaparameters, named universe); ``run_backtest`` on the
same key backtests the cached weights (which the caller may have replaced
with finalised ones), else evaluates afresh. ``backtest`` takes weights
directly. Features come from the synced feature files, whose instrument
columns are stored shuffled: ``init_reconstruction`` opens the shuffle seed
with the wallet secret and puts the columns back in order.
"""
import json
import os
import threading
from collections import OrderedDict

import numpy as np

from .evaluator import plain_graph
from .shuffle_seed import column_permutation, decode_shuffle_seed

CACHE_SIZE = 32


class ReconstructedFeatures:
    """``features(name)``: the feature matrix from ``<data_dir>/features/<name>.npy``
    with its columns restored to instrument order."""

    def __init__(self, data_dir):
        self._data_dir = os.fspath(data_dir)
        self._lock = threading.Lock()  # guards _restore and _loaded
        self._restore = None
        self._loaded = {}

    def set_shuffle_key(self, shuffle_key, n_columns):
        with self._lock:
            self._restore = np.argsort(column_permutation(shuffle_key, n_columns))
            self._loaded = {}

    def __call__(self, name):
        with self._lock:
            restore = self._restore
            if restore is None:
                raise RuntimeError("feature reconstruction is not initialized; "
                                   "call init_reconstruction() first")
            if name not in self._loaded:
                path = os.path.join(self._data_dir, "features", f"{name}.npy")
                if not os.path.exists(path):
                    raise FileNotFoundError(f"feature {name!r} is not synced: {path}")
                self._loaded[name] = np.load(path)[:, restore]
            return self._loaded[name]


class EvaluationEntry:
    """One cached evaluation; ``weights`` may be replaced by finalised weights."""

    def __init__(self, weights):
        self.weights = weights


class ReferenceBacktester:
    """Adapter over ``raw_backtester`` (the ``RawBacktester``) and an ``Evaluator``."""

    def __init__(self, raw_backtester, evaluator, features, *, market_id, era_number,
                 n_instruments, vault=None):
        self.raw_backtester = raw_backtester
        self.evaluator = evaluator
        self.search_plan_factory = None
        self._features = features
        self._market_id = market_id
        self._era_number = era_number
        self._n_instruments = n_instruments
        self._vault = vault
        self._cache_lock = threading.Lock()  # guards _cache (an LRU, oldest first)
        self._cache = OrderedDict()
        self._thread_state = threading.local()

    @property
    def last_result(self):
        """The latest backtest result made on the calling thread, or None."""
        return getattr(self._thread_state, "result", None)

    def init_reconstruction(self, *, shuffle_blob, wallet_secret, market_id, era_number):
        seed_market, seed_era, key = decode_shuffle_seed(shuffle_blob, wallet_secret)
        if (seed_market, seed_era) != (market_id, era_number):
            raise ValueError(f"shuffle seed is for market {seed_market} era {seed_era}, "
                             f"not market {market_id} era {era_number}")
        self._features.set_shuffle_key(key, self._n_instruments)

    def _cache_key(self, graph, *, metaparameters=None, named_universe=None):
        return json.dumps([plain_graph(graph), metaparameters, named_universe],
                          sort_keys=True, default=repr)

    def evaluate_expression(self, graph, *, metaparameters=None, named_universe=None):
        """The graph's weights as nested lists (dates x instruments)."""
        weights = self.evaluator.evaluate(graph, named_universe=named_universe,
                                          metaparameters=metaparameters)
        weights = np.asarray(weights, dtype=float).tolist()
        key = self._cache_key(graph, metaparameters=metaparameters,
                              named_universe=named_universe)
        with self._cache_lock:
            self._cache[key] = EvaluationEntry(weights)
            self._cache.move_to_end(key)
            while len(self._cache) > CACHE_SIZE:
                self._cache.popitem(last=False)
        return weights

    def run_backtest(self, graph, *, metaparameters=None, named_universe=None,
                     return_series=False, return_weights=False):
        key = self._cache_key(graph, metaparameters=metaparameters,
                              named_universe=named_universe)
        with self._cache_lock:
            entry = self._cache.get(key)
        if entry is None:
            weights = self.evaluate_expression(graph, metaparameters=metaparameters,
                                               named_universe=named_universe)
        else:
            weights = entry.weights
        return self._run(weights, return_series, return_weights)

    def backtest(self, *, weights, era_config=None, universe=None, return_series=False,
                 return_weights=False, use_vault=True):
        """Backtest ``weights``; a named ``universe`` zeroes the weights outside it, and
        with ``use_vault`` the era vault must be open for the era of ``era_config``
        (or this backtester's era)."""
        if use_vault and self._vault is not None:
            era = (era_config or {}).get("era_number", self._era_number)
            self._vault.init_if_needed(era)
        if universe is not None:
            if universe not in self.evaluator.universes:
                raise ValueError(f"unknown named universe {universe!r}")
            weights = np.array(weights, dtype=float)
            weights[:, ~self.evaluator.universes[universe]] = 0.0
        return self._run(weights, return_series, return_weights)

    def _run(self, weights, return_series, return_weights):
        result = self.raw_backtester.run(weights, return_series=return_series,
                                         return_weights=return_weights)
        self._thread_state.result = result
        return result
