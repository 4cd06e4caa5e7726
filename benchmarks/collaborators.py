"""Collaborators that return at once, for the benchmarks.

Every injected collaborator answers with a value built in advance, so a run
measures what the module itself costs. The era config, graphs and data
directory follow the shape the pipeline expects from an agent: one signal pool
with two found signals and one strategy pool linked to it, a data directory
holding the 60-byte shuffle seed and one synced found-strategy PnL file.

``FastSiblings`` replaces the sibling-module functions that the module reads
from its namespace at each use (verdicts, threshold gates, backtest timing,
metaparameters, ...) by instant ones, so the floor and the module run against
the same near-zero collaborator cost.

``Collaborators.wire(module)`` wires everything; the module's previous
namespace entries are returned so that a caller can restore them.

The test doubles (tests/doubles.py) build on the same era config, graphs,
vocabulary, backtest values and data directory.
"""
import os
import shutil
import tempfile
import threading
import time
import weakref
from types import SimpleNamespace

from tallowmere.function_store import FunctionEntry, FunctionStore
from tallowmere.functions._typed_shapes import FunctionGraphNode

MARKET_ID = 1
ERA_NUMBER = 12
NAMED_UNIVERSE = "u1"
RULE_ID = 4
SIGNAL_POOL_ID = "sp1"
STRATEGY_POOL_ID = "stp1"
SHUFFLE_BLOB = bytes(range(60))
FOUND_STRATEGY_PNL = [0.01, -0.02, 0.03]


# ---------------------------------------------------------------------------
# Injected collaborators

class Auth:
    def get_wallet_secret(self):
        return "wallet-secret"


class SyncManager:
    """acquire() and release() return at once; request_for_sync() returns the
    synced file list (``sync_delay`` seconds later, or when ``sync_gate`` is
    set, when one of them is given)."""

    def __init__(self, data_dir, synced_files):
        self._data_dir = data_dir
        self.bytes_downloaded = 512
        self.total_bytes = 1024
        self.runtime_freshness_guard = None
        self._synced_files = synced_files
        self._manifest = {"market_id": MARKET_ID, "era_number": ERA_NUMBER}
        self.acquire_delay = 0.0
        self.sync_gate = None          # an Event: request_for_sync waits for it
        self.sync_calls = 0
        self.arrivals = 0                   # runs that reached the shared sync
        self._arrivals_lock = threading.Lock()
        self.sync_finished_at = None   # perf_counter() when the last sync returned

    def acquire(self):
        if self.acquire_delay:
            time.sleep(self.acquire_delay)

    def release(self):
        pass

    def request_feature_files_for_sync(self, names, expression_type=None, named_universe=None):
        # The last call a run makes before it joins (or starts) the shared sync.
        with self._arrivals_lock:
            self.arrivals += 1

    def request_for_sync(self):
        if self.sync_gate is not None:
            self.sync_calls += 1
            self.sync_gate.wait(25.0)
            self.sync_finished_at = time.perf_counter()
        return self._synced_files

    def get_manifest(self):
        return self._manifest


class Vault:
    def initialize(self, shuffle_blob, wallet_secret, era_number):
        pass

    def init_if_needed(self, era_number):
        pass


class BacktestStats:
    def __init__(self, **overrides):
        self.avg_turnover = 0.3
        self.turnover = 0.3
        self.delta_exposure = 0.01
        self.max_weight = 0.2
        self.abs_weight_sum_mean = 1.0
        self.liquidity_metrics = {"adv": 2.0}
        self.custom_stats = {"hit_rate": 0.55}
        self.correlation = 0.25
        self.__dict__.update(overrides)


class BacktestResult:
    def __init__(self, **overrides):
        self.stats = BacktestStats()
        self.per_column_stats = {"pnl_sharpe": 1.8, "pnl_returns": 0.12}
        self.pnl_matrix = [[0.01, 0.02], [0.0, -0.01]]
        self.portfolio_returns = [0.015, -0.005]
        self.processed_weights = [[0.5, -0.5], [0.25, -0.75]]
        self.structural_failed = False
        self.row_count = 2
        self.max_row_elapsed_seconds = 0.001
        self.__dict__.update(overrides)


class Backtester:
    """The adapter route: evaluate_expression and run_backtest."""

    def __init__(self):
        self.raw_backtester = SimpleNamespace(name="raw")
        self.evaluator = None
        self.search_plan_factory = None
        self.raw_vocabulary = None
        self._weights = [[0.5, -0.5], [0.25, -0.75]]
        self._result = BacktestResult()

    def init_reconstruction(self, shuffle_blob, wallet_secret, market_id, era_number):
        pass

    def evaluate_expression(self, graph, metaparameters=None, named_universe=None):
        return self._weights

    def run_backtest(self, graph, metaparameters=None, named_universe=None,
                     return_series=False, return_weights=False):
        return self._result


class SearchTracker:
    def record_signal_evaluation(self, **payload):
        pass

    def record_strategy_evaluation(self, **payload):
        pass


class EraThread:
    def get_current_era_number(self):
        return ERA_NUMBER


class GraphValidator:
    def validate(self, graph, expression_type):
        pass


class Callables:
    """The injected plain callables, as methods of one object."""

    def __init__(self):
        self._vocabulary = vocabulary_dict()
        self._found_pnl = {"s1": [0.01, 0.0, 0.02], "s2": [0.0, -0.01, 0.01]}

    def load_vocabulary(self, era_number):
        return self._vocabulary

    def load_found_signal_pnl(self, signal_id, pool_name=None):
        return self._found_pnl.get(signal_id)

    def correlate_per_pool(self, pool_name, pnl_arrays, pnl_column, threshold):
        return 0.2

    def compute_mi_per_pool(self, pool_name, pnl_column, pool_signals, threshold):
        return 0.4, True

    def set_phase(self, phase):
        pass


# ---------------------------------------------------------------------------
# Sibling-module functions that return at once

class Verdict:
    __slots__ = ("evaluated", "passed", "reason", "value", "threshold")

    def __init__(self, evaluated, passed=None, reason=None, value=None, threshold=None):
        self.evaluated = evaluated
        self.passed = passed
        self.reason = reason
        self.value = value
        self.threshold = threshold


PASSED = SimpleNamespace(passed=True, failures=[])


class BacktestTiming:
    @staticmethod
    def extract_backtest_row_count(bt_result, weights=None):
        return 2

    @staticmethod
    def extract_max_row_elapsed_seconds(bt_result):
        return 0.001

    @staticmethod
    def record_backtest_timing(graph=None, frequency=None, row_count=None,
                               elapsed_seconds=None, max_row_elapsed_seconds=None):
        pass


def gate_verdict(passed, reason=None, *, value=None, threshold=None):
    return Verdict(True, passed, reason, value, threshold)


NOT_EVALUATED = Verdict(False)


def not_evaluated_verdict():
    return NOT_EVALUATED


def evaluate_threshold_gates(metrics=None, threshold_set=None, pool_thresholds=None):
    return PASSED


def canonicalize(mapping):
    return mapping


def resolve_metaparameters(metaparameters, transform_pipeline):
    return {}


def resolve_metaparameters_per_pool(metaparameters, transform_pipeline, pool_ids):
    return {pool_id: {} for pool_id in pool_ids}


def empty_pool_pnl_mi():
    return 1.0


class TrackingStats:
    def __init__(self, **fields):
        pass


FAST_SIBLINGS = {
    "_gate_verdict": gate_verdict,
    "_not_evaluated_verdict": not_evaluated_verdict,
    "evaluate_threshold_gates": evaluate_threshold_gates,
    "_backtest_timing": BacktestTiming,
    "_canonicalize_metaparameters": canonicalize,
    "_resolve_metaparameters": resolve_metaparameters,
    "_resolve_metaparameters_per_pool": resolve_metaparameters_per_pool,
    "empty_pool_pnl_mi": empty_pool_pnl_mi,
    "_TrackingStats": TrackingStats,
}


# ---------------------------------------------------------------------------
# Era config, vocabulary, graphs

def vocabulary_dict():
    return {
        "era_number": ERA_NUMBER,
        "rotations": ["rank", "zscore"],
        "filtrations": ["top_k"],
        "reductions": ["mean"],
        "features": ["close", "volume"],
        "metadata": {"version": 1},
    }


def vocabulary_store():
    return FunctionStore([FunctionEntry("rank"), FunctionEntry("zscore"),
                          FunctionEntry("top_k", 2)])


def era_config():
    signal_pool = {
        "id": SIGNAL_POOL_ID,
        "signal_pool_name": "signals-main",
        "allowed_named_universes": [NAMED_UNIVERSE],
        "found_signal_ids": ["s1", "s2"],
        "is_correlation_threshold": 0.7,
        "is_pnl_mi_threshold": 0.1,
        "universes": {RULE_ID: {"signal_is_thresholds": {"sharpe": {"min": 1.0}}}},
    }
    strategy_pool = {
        "id": STRATEGY_POOL_ID,
        "strategy_pool_name": "strategies-main",
        "signal_pool_name": SIGNAL_POOL_ID,
        "allowed_named_universes": [NAMED_UNIVERSE],
        "found_signal_ids": [],
        "is_correlation_threshold": 0.7,
        "strategy_is_pnl_mi_threshold": 0.05,
        "universes": {RULE_ID: {"strategy_is_thresholds": {"sharpe": {"min": 1.0}}}},
    }
    return {
        "market_id": MARKET_ID,
        "era_number": ERA_NUMBER,
        "frequency": "1d",
        "named_universe": NAMED_UNIVERSE,
        "allowed_named_universes": [NAMED_UNIVERSE],
        "universe_rules": {NAMED_UNIVERSE: {"rule_id": RULE_ID, "market_id": MARKET_ID}},
        "signal_pools": [signal_pool],
        "strategy_pools": [strategy_pool],
        "transform_pipeline": [
            {"name": "normalize", "default": "rank",
             "option_configs": {"rank": {"rotation": "rank"}}},
        ],
        "evaluated_pnl_columns": ["pnl"],
        "column_labels": ["close", "volume"],
        "engine_definitions": {"default": {"kind": "long_short"}},
    }


def signal_graph():
    return FunctionGraphNode("rotation", "rank", [FunctionGraphNode("feature", "close"),
                                                  FunctionGraphNode("feature", "volume")])


def strategy_graph():
    return FunctionGraphNode("filtration", "top_k", [FunctionGraphNode("feature", "close")])


def make_data_dir(owner, prefix):
    """A temporary data directory (removed with ``owner``) holding the shuffle
    seed and one synced found-strategy PnL file; returns (directory, PnL path)."""
    data_dir = tempfile.mkdtemp(prefix=prefix)
    weakref.finalize(owner, shutil.rmtree, data_dir, True)
    with open(os.path.join(data_dir, "shuffle_seed.enc"), "wb") as handle:
        handle.write(SHUFFLE_BLOB)
    strategy_pnl = os.path.join(data_dir, "pool", "found_strategies", "fs1", "strategy_is",
                                "pnl.arrow")
    os.makedirs(os.path.dirname(strategy_pnl))
    with open(strategy_pnl, "w", encoding="utf-8") as handle:
        handle.write("".join(f"{x}\n" for x in FOUND_STRATEGY_PNL))
    return data_dir, strategy_pnl


# ---------------------------------------------------------------------------
# The whole set

class Collaborators:
    """All collaborators of one benchmark process, with a temporary data directory."""

    def __init__(self):
        self.data_dir, strategy_pnl = make_data_dir(self, "simsig-bench-")

        self.auth = Auth()
        self.sync_manager = SyncManager(self.data_dir, [strategy_pnl])
        self.vault = Vault()
        self.backtester = Backtester()
        self.search_tracker = SearchTracker()
        self.era_thread = EraThread()
        self.graph_validator = GraphValidator()
        self.callables = Callables()
        self.era_config = era_config()

    def init_kwargs(self):
        c = self.callables
        return dict(
            auth=self.auth, sync_manager=self.sync_manager, vault=self.vault,
            backtester=self.backtester, search_tracker=self.search_tracker,
            era_thread=self.era_thread, graph_validator=self.graph_validator,
            era_config=self.era_config, load_vocabulary=c.load_vocabulary,
            vocabulary=vocabulary_store(),
            vocabulary_raw=vocabulary_dict(),
            useful_signals=["s1"],
            useful_signal_metadata={"s1": {"signal_id": "s1", "signal_pool_id": SIGNAL_POOL_ID}},
            useful_signal_pool=[[0.01, 0.02, -0.01]],
            load_found_signal_pnl=c.load_found_signal_pnl,
            correlate_per_pool=c.correlate_per_pool,
            compute_mi_per_pool=c.compute_mi_per_pool, set_phase=c.set_phase,
        )

    def wire(self, module):
        """init_simulate_signal with these collaborators, and the instant
        sibling functions in the module namespace. Returns the replaced
        namespace entries (name -> previous value)."""
        module.init_simulate_signal(**self.init_kwargs())
        replaced = {}
        for key, value in FAST_SIBLINGS.items():
            replaced[key] = getattr(module, key)
            setattr(module, key, value)
        return replaced



def entry(module, kind):
    """``start()``: a call of the entry point for ``kind`` ("signal" or
    "strategy") with arguments built once, so that starting a run makes no
    Python-level call of its own."""
    if kind == "signal":
        fn, graph, pool = module.simulate_signal, signal_graph(), {"signal_pool_id": SIGNAL_POOL_ID}
    else:
        fn, graph, pool = (module.simulate_strategy, strategy_graph(),
                           {"strategy_pool_id": STRATEGY_POOL_ID})
    return lambda: fn(graph, NAMED_UNIVERSE, **pool)
