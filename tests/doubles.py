"""Recording collaborator doubles for the simulation pipeline.

``Wiring()`` builds a full set of collaborators whose runs pass every gate:
auth, sync manager (with a data directory holding a valid shuffle seed and a
synced found-strategy PnL file), vault, backtester (adapter route by default),
search tracker, era thread, graph validator, vocabulary loader and a
``FunctionStore`` vocabulary, found-signal PnL loader, correlation and MI
callables, search-plan callable, an optional batch orchestrator class and
freshness guard, a phase callback, and an era config with one signal pool and
one strategy pool linked to it.

Every call on a double is recorded in ``wiring.log`` (a ``CallLog``) in the
order it happened, with its positional and keyword arguments, under a dotted
name such as ``"sync_manager.acquire"`` or ``"correlate_per_pool"``. Any one
call can be made to raise (``log.fail``), to block until released
(``log.block``) or to return something else (``log.returns``).

Typical use::

    w = Wiring()
    w.wire(ss)                       # init_simulate_signal(**w.init_kwargs()) + gate evaluator
    h = ss.simulate_signal(w.signal_graph(), "u1", signal_pool_id="sp1")
    res = h.result()
    assert w.log.count("search_tracker.record_signal_evaluation") == 1
"""
import math
import os
import shutil
import tempfile
import threading
import weakref
from types import SimpleNamespace

from tallowmere.function_store import FunctionEntry, FunctionStore
from tallowmere.functions._typed_shapes import FunctionGraphNode

BLOCK_TIMEOUT = 10.0          # a blocked double gives up after this many seconds
WALLET_SECRET = "wallet-secret-7f3a9c"  # must never appear in a status, result or log

MARKET_ID = 1
ERA_NUMBER = 12
NAMED_UNIVERSE = "u1"
RULE_ID = 4
SIGNAL_POOL_ID = "sp1"
STRATEGY_POOL_ID = "stp1"
SHUFFLE_BLOB = bytes(range(60))
FOUND_STRATEGY_PNL = [0.01, -0.02, 0.03]


# ---------------------------------------------------------------------------
# Call log with faults, blocks and result overrides

class Call:
    """One recorded call."""

    __slots__ = ("name", "args", "kwargs", "thread")

    def __init__(self, name, args, kwargs):
        self.name = name
        self.args = args
        self.kwargs = kwargs
        self.thread = threading.current_thread().name

    def __repr__(self):
        return f"Call({self.name!r}, {self.args!r}, {self.kwargs!r})"


class Block:
    """A gate that holds one named call: ``entered`` is set when the call
    arrives; the call proceeds after ``release()`` (or raises TimeoutError
    after ``BLOCK_TIMEOUT`` seconds, so a faulty test cannot hang)."""

    def __init__(self, once=True):
        self.entered = threading.Event()
        self._released = threading.Event()
        self.once = once
        self.count = 0

    def release(self):
        self._released.set()

    def wait_entered(self, timeout=BLOCK_TIMEOUT):
        return self.entered.wait(timeout)

    def _hold(self, name):
        self.count += 1
        self.entered.set()
        if not self._released.wait(BLOCK_TIMEOUT):
            raise TimeoutError(f"blocked call {name} was never released")


class CallLog:
    """Every call on the doubles, in order, and the behaviour overrides."""

    def __init__(self):
        self.calls = []
        self._lock = threading.Lock()
        self._faults = {}    # name -> (exception instance, the one call that raises or None)
        self._blocks = {}    # name -> Block
        self._results = {}   # name -> value, or a callable(*args, **kwargs)
        self._counts = {}    # name -> calls so far

    # -- behaviour ---------------------------------------------------------
    def fail(self, name, exc, call=None):
        """Make every call ``name`` raise ``exc`` (the same instance each time),
        or only its ``call``-th call (counting from 1, over the whole log)."""
        self._faults[name] = (exc, call)

    def block(self, name):
        """Hold the next call ``name`` until the returned Block is released."""
        gate = Block()
        self._blocks[name] = gate
        return gate

    def returns(self, name, value=None, *, compute=None):
        """Make call ``name`` return ``value`` (or ``compute(*args, **kwargs)``)."""
        self._results[name] = (value, compute)

    def clear_fault(self, name):
        self._faults.pop(name, None)

    def clear_behaviour(self, name):
        self._faults.pop(name, None)
        self._blocks.pop(name, None)
        self._results.pop(name, None)

    # -- recording ---------------------------------------------------------
    def call(self, name, args, kwargs, default):
        """Record the call, then block / raise / return as configured."""
        with self._lock:
            self.calls.append(Call(name, tuple(args), dict(kwargs)))
            number = self._counts[name] = self._counts.get(name, 0) + 1
            gate = self._blocks.get(name)
            if gate is not None and gate.once:
                del self._blocks[name]
        if gate is not None:
            gate._hold(name)
        exc, only_call = self._faults.get(name, (None, None))
        if exc is not None and only_call in (None, number):
            raise exc
        if name in self._results:
            value, compute = self._results[name]
            return compute(*args, **kwargs) if compute is not None else value
        return default() if callable(default) else default

    # -- queries -----------------------------------------------------------
    def names(self, prefix=""):
        with self._lock:
            return [c.name for c in self.calls if c.name.startswith(prefix)]

    def of(self, name):
        with self._lock:
            return [c for c in self.calls if c.name == name]

    def count(self, name):
        return len(self.of(name))

    def last(self, name):
        found = self.of(name)
        assert found, f"{name} was never called; calls: {self.names()}"
        return found[-1]

    def index(self, name):
        """Position of the first call ``name`` in the whole log."""
        return self.names().index(name)


def _recorded(name, default=None):
    """A method that records ``<prefix>.<name>`` and returns ``default``."""
    def method(self, *args, **kwargs):
        return self._log.call(f"{self._prefix}.{name}", args, kwargs,
                              getattr(self, f"_default_{name}", default))
    method.__name__ = name
    return method


class _Double:
    def __init__(self, log, prefix):
        self._log = log
        self._prefix = prefix


# ---------------------------------------------------------------------------
# Collaborators

class Auth(_Double):
    def __init__(self, log):
        super().__init__(log, "auth")
        self._default_get_wallet_secret = WALLET_SECRET

    get_wallet_secret = _recorded("get_wallet_secret")


class SyncManager(_Double):
    """acquire/release, progress counters, feature-file request, the data sync
    (returns ``sync_result``) and the manifest."""

    def __init__(self, log, data_dir, sync_result, manifest):
        super().__init__(log, "sync_manager")
        self._data_dir = data_dir
        self.bytes_downloaded = 512
        self.total_bytes = 1024
        self.sync_result = sync_result
        self.manifest = manifest
        self.runtime_freshness_guard = None
        self._default_request_for_sync = lambda: self.sync_result
        self._default_get_manifest = lambda: self.manifest

    acquire = _recorded("acquire")
    release = _recorded("release")
    request_feature_files_for_sync = _recorded("request_feature_files_for_sync")
    request_for_sync = _recorded("request_for_sync")
    get_manifest = _recorded("get_manifest")


class Vault(_Double):
    def __init__(self, log):
        super().__init__(log, "vault")

    initialize = _recorded("initialize")
    init_if_needed = _recorded("init_if_needed")


class Stats:
    """Backtest statistics that pass the default thresholds."""

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

    def __repr__(self):
        return "Stats(" + ", ".join(f"{k}={v!r}" for k, v in vars(self).items()) + ")"


class BacktestResult:
    def __init__(self, **overrides):
        self.stats = Stats()
        self.per_column_stats = {"pnl_sharpe": 1.8, "pnl_returns": 0.12, "pnl_drawdown": 0.05,
                                 "pnl_quality_score": 0.9}
        self.pnl_matrix = [[0.01, 0.02], [0.0, -0.01]]
        self.portfolio_returns = [0.015, -0.005]
        self.processed_weights = [[0.5, -0.5], [0.25, -0.75]]
        self.structural_failed = False
        self.row_count = 2
        self.max_row_elapsed_seconds = 0.001
        self.__dict__.update(overrides)


class Backtester(_Double):
    """Adapter route by default (``evaluate_expression`` and ``run_backtest``).

    ``route="direct"`` removes the adapter methods and offers ``backtest``
    (wire a batch orchestrator class as well); ``era_vault_hook=True`` adds
    ``initialize_era_vault``.
    """

    def __init__(self, log, route="adapter", era_vault_hook=False):
        object.__setattr__(self, "_route", route)
        object.__setattr__(self, "_era_vault_hook", era_vault_hook)
        super().__init__(log, "backtester")
        self.raw_backtester = SimpleNamespace(name="raw")
        self.evaluator = "original-evaluator"
        self.search_plan_factory = "original-search-plan-factory"
        self.raw_vocabulary = None
        self.weights = [[0.5, -0.5], [0.25, -0.75]]
        self.result = BacktestResult()
        self._default_evaluate_expression = lambda: self.weights
        self._default_run_backtest = lambda: self.result
        self._default_backtest = lambda: self.result

    def __getattribute__(self, name):
        get = object.__getattribute__
        if name in ("evaluate_expression", "run_backtest") and get(self, "_route") != "adapter":
            raise AttributeError(name)
        if name == "backtest" and get(self, "_route") != "direct":
            raise AttributeError(name)
        if name == "initialize_era_vault" and not get(self, "_era_vault_hook"):
            raise AttributeError(name)
        return get(self, name)

    initialize_era_vault = _recorded("initialize_era_vault")
    init_reconstruction = _recorded("init_reconstruction")
    evaluate_expression = _recorded("evaluate_expression")
    run_backtest = _recorded("run_backtest")
    backtest = _recorded("backtest")


class SearchTracker(_Double):
    def __init__(self, log):
        super().__init__(log, "search_tracker")

    record_signal_evaluation = _recorded("record_signal_evaluation")
    record_strategy_evaluation = _recorded("record_strategy_evaluation")


class EraThread(_Double):
    """``current_era`` is what ``get_current_era_number()`` answers."""

    def __init__(self, log, era):
        super().__init__(log, "era_thread")
        self.current_era = era
        self._default_get_current_era_number = lambda: self.current_era

    get_current_era_number = _recorded("get_current_era_number")


class GraphValidator(_Double):
    def __init__(self, log):
        super().__init__(log, "graph_validator")

    validate = _recorded("validate")


class FreshnessGuard(_Double):
    """Optional runtime freshness guard; ``snapshot`` holds the artifact maps."""

    def __init__(self, log):
        super().__init__(log, "guard")
        self.snapshot = SimpleNamespace(pending_data_artifact_shas={},
                                        loaded_data_artifact_shas={})
        self._default_ensure_fresh_before_evaluation = False

    register_module_consumer = _recorded("register_module_consumer")
    ensure_fresh_before_evaluation = _recorded("ensure_fresh_before_evaluation")
    ensure_fresh_before_backtest = _recorded("ensure_fresh_before_backtest")


class EvalResult:
    def __init__(self, per_pool_weights):
        self.per_pool_weights = per_pool_weights


class Orchestrator(_Double):
    def __init__(self, log, weights):
        super().__init__(log, "orchestrator")
        self._default_evaluate = lambda: EvalResult({SIGNAL_POOL_ID: weights})

    evaluate = _recorded("evaluate")


def _recorded_callable(log, name, default):
    def fn(*args, **kwargs):
        return log.call(name, args, kwargs, default)
    fn.__name__ = name
    return fn


class ThresholdGates:
    """A threshold-gate evaluator with plain rules, recorded as
    ``"evaluate_threshold_gates"``.

    Scalar gates (no ``pool_thresholds``): each ``threshold_set`` entry other
    than ``"bypassed_thresholds"`` is ``{"min": x}``, ``{"max": x}`` or a
    number (a minimum), judged against ``metrics[name]``; a missing metric
    passes. Pool gates: ``is_correlation`` passes when at most its threshold,
    ``is_pnl_mi`` when at least its threshold; ``None`` fails.
    """

    def __init__(self, log):
        self._log = log

    def __call__(self, **kwargs):
        return self._log.call("evaluate_threshold_gates", (), kwargs,
                              lambda: self.judge(**kwargs))

    @staticmethod
    def judge(metrics=None, threshold_set=None, pool_thresholds=None):
        failures = []
        if pool_thresholds:
            for key, threshold in pool_thresholds.items():
                metric = key[:-len("_threshold")]
                value = (metrics or {}).get(metric)
                ok = value is not None and (value <= threshold if metric == "is_correlation"
                                            else value >= threshold)
                if not ok:
                    failures.append(metric)
        else:
            for metric, rule in (threshold_set or {}).items():
                if metric == "bypassed_thresholds":
                    continue
                value = (metrics or {}).get(metric)
                if value is None:
                    continue
                rule = rule if isinstance(rule, dict) else {"min": rule}
                if "min" in rule and value < rule["min"]:
                    failures.append(metric)
                if "max" in rule and value > rule["max"]:
                    failures.append(metric)
        return SimpleNamespace(passed=not failures, failures=failures)


# ---------------------------------------------------------------------------
# Era config, vocabulary, graphs

def vocabulary_dict():
    """A complete raw vocabulary (the six required keys)."""
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
    """An era config with one signal pool and one strategy pool linked to it."""
    signal_pool = {
        "id": SIGNAL_POOL_ID,
        "signal_pool_name": "signals-main",
        "allowed_named_universes": [NAMED_UNIVERSE],
        "found_signal_ids": ["s1", "s2", "s1"],
        "is_correlation_threshold": 0.7,
        "is_pnl_mi_threshold": 0.1,
        "universes": {RULE_ID: {"signal_is_thresholds": {"sharpe": {"min": 1.0},
                                                          "turnover": {"max": 0.7}}}},
    }
    strategy_pool = {
        "id": STRATEGY_POOL_ID,
        "strategy_pool_name": "strategies-main",
        "signal_pool_name": SIGNAL_POOL_ID,   # the linked signal pool's id
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
             "option_configs": {"rank": {"rotation": "rank"},
                                "rescale": {"rotation": "rescale"}}},
        ],
        "evaluated_pnl_columns": ["pnl", "pnl_net"],
        "column_labels": ["close", "volume"],
        "engine_definitions": {"default": {"kind": "long_short"}},
    }


def signal_graph():
    """A typed signal graph: a rotation over two features (no filtration)."""
    return FunctionGraphNode("rotation", "rank", [FunctionGraphNode("feature", "close"),
                                                  FunctionGraphNode("feature", "volume")])


def strategy_graph():
    """A typed strategy graph: a filtration over a feature."""
    return FunctionGraphNode("filtration", "top_k", [FunctionGraphNode("feature", "close")])


# ---------------------------------------------------------------------------
# The whole wiring

class Wiring:
    """A full set of recording collaborators whose runs pass every gate.

    ``data_dir`` (default: a new temporary directory) receives
    ``shuffle_seed.enc`` and one synced found-strategy PnL file. Options:
    ``route`` ("adapter", "orchestrator" or "direct"), ``era_vault_hook``,
    ``guard`` (wire a freshness guard double).
    """

    def __init__(self, data_dir=None, route="adapter", era_vault_hook=False, guard=False):
        self.log = log = CallLog()
        self.data_dir = data_dir or tempfile.mkdtemp(prefix="simsig-")
        if data_dir is None:
            weakref.finalize(self, shutil.rmtree, self.data_dir, True)
        self._write_data_dir()
        self.era_config = era_config()
        self.sync_result = [
            os.path.join(self.data_dir, "signals", "s1.arrow"),
            self.found_strategy_pnl_path,
        ]
        self.manifest = {"market_id": MARKET_ID, "era_number": ERA_NUMBER}

        self.auth = Auth(log)
        self.sync_manager = SyncManager(log, self.data_dir, self.sync_result, self.manifest)
        self.vault = Vault(log)
        self.backtester = Backtester(log, "adapter" if route == "adapter" else "direct",
                                     era_vault_hook)
        self.search_tracker = SearchTracker(log)
        self.era_thread = EraThread(log, ERA_NUMBER)
        self.graph_validator = GraphValidator(log)
        self.guard = FreshnessGuard(log) if guard else None
        self.vocabulary = vocabulary_store()
        self.vocabulary_raw_dict = vocabulary_dict()
        self.useful_signals = ["s1"]
        self.useful_signal_metadata = {"s1": {"signal_id": "s1", "signal_pool_id": SIGNAL_POOL_ID}}
        self.useful_signal_pool = [[0.01, 0.02, -0.01]]
        self.found_pnl = {"s1": [0.01, 0.0, 0.02], "s2": [0.0, -0.01, 0.01]}
        self.orchestrator = Orchestrator(log, self.backtester.weights)
        self.gates = ThresholdGates(log)

        self.load_vocabulary = _recorded_callable(log, "load_vocabulary",
                                                  lambda: vocabulary_dict())
        self.load_found_signal_pnl = _recorded_callable(
            log, "load_found_signal_pnl", None)
        log.returns("load_found_signal_pnl", compute=lambda sid, **_: self.found_pnl.get(sid))
        self.correlate_per_pool = _recorded_callable(log, "correlate_per_pool", 0.2)
        self.compute_mi_per_pool = _recorded_callable(log, "compute_mi_per_pool", (0.4, True))
        self.search_plan = SimpleNamespace(n_jobs=1, name="plan")
        self.compute_search_plan = _recorded_callable(log, "compute_search_plan",
                                                      self.search_plan)
        self.set_phase = _recorded_callable(log, "set_phase", None)
        self.BatchOrchestrator_cls = (
            _recorded_callable(log, "BatchOrchestrator", self.orchestrator)
            if route in ("orchestrator", "direct") else None)

    @property
    def found_strategy_pnl_path(self):
        return os.path.join(self.data_dir, "pool", "found_strategies", "fs1", "strategy_is",
                            "pnl.arrow")

    def _write_data_dir(self):
        with open(os.path.join(self.data_dir, "shuffle_seed.enc"), "wb") as handle:
            handle.write(SHUFFLE_BLOB)
        os.makedirs(os.path.dirname(self.found_strategy_pnl_path), exist_ok=True)
        with open(self.found_strategy_pnl_path, "w", encoding="utf-8") as handle:
            handle.write("\n".join(str(x) for x in FOUND_STRATEGY_PNL) + "\n")

    def init_kwargs(self, **overrides):
        """Keyword arguments for ``init_simulate_signal``."""
        kwargs = dict(
            auth=self.auth, sync_manager=self.sync_manager, vault=self.vault,
            backtester=self.backtester, search_tracker=self.search_tracker,
            era_thread=self.era_thread, graph_validator=self.graph_validator,
            compute_search_plan=self.compute_search_plan, era_config=self.era_config,
            load_vocabulary=self.load_vocabulary,
            useful_signal_metadata=self.useful_signal_metadata,
            useful_signals=self.useful_signals, useful_signal_pool=self.useful_signal_pool,
            load_found_signal_pnl=self.load_found_signal_pnl,
            BatchOrchestrator_cls=self.BatchOrchestrator_cls, set_phase=self.set_phase,
            correlate_per_pool=self.correlate_per_pool,
            compute_mi_per_pool=self.compute_mi_per_pool, vocabulary=self.vocabulary,
            vocabulary_raw=self.vocabulary_raw_dict,
            runtime_freshness_guard=self.guard,
        )
        kwargs.update(overrides)
        return kwargs

    def wire(self, module, gates=True, **overrides):
        """Wire ``module`` with these doubles; with ``gates``, also install the
        recording threshold-gate evaluator as ``evaluate_threshold_gates``.
        Use it with the ``ss`` fixture, which restores the module's globals."""
        module.init_simulate_signal(**self.init_kwargs(**overrides))
        if gates:
            module.evaluate_threshold_gates = self.gates
        return self

    signal_graph = staticmethod(signal_graph)
    strategy_graph = staticmethod(strategy_graph)


def is_finite_number(value):
    return isinstance(value, (int, float)) and math.isfinite(value)


# ---------------------------------------------------------------------------
# Waiting on handles and watching their status

DONE_TIMEOUT = 10.0


def wait_done(handle, timeout=DONE_TIMEOUT):
    """Wait (bounded) until the handle's pipeline thread has ended."""
    assert handle._done_event.wait(timeout), "pipeline did not finish in time"
    handle._thread.join(timeout)
    assert not handle._thread.is_alive(), "pipeline thread still running"
    return handle


def collect(handle, timeout=DONE_TIMEOUT):
    """``handle.result()`` once the pipeline has ended (never blocks unbounded)."""
    return wait_done(handle, timeout).result()


def start_signal(ss, **kwargs):
    return ss.simulate_signal(signal_graph(), NAMED_UNIVERSE, signal_pool_id=SIGNAL_POOL_ID,
                              **kwargs)


def start_strategy(ss, **kwargs):
    return ss.simulate_strategy(strategy_graph(), NAMED_UNIVERSE,
                                strategy_pool_id=STRATEGY_POOL_ID, **kwargs)


def failure_of(handle):
    """The exception result() raises once the run has ended."""
    wait_done(handle)
    try:
        handle.result()
    except BaseException as exc:  # noqa: B902 - the run's stored error or interrupt
        return exc
    raise AssertionError("the run did not fail")


class StatusLog:
    """Records every ``_update_status(phase, progress, message)`` call of every
    handle; install with ``StatusLog.install(monkeypatch, ss)``."""

    def __init__(self):
        self.updates = []

    @classmethod
    def install(cls, monkeypatch, module):
        log = cls()
        original = module.SimulationHandle._update_status

        def recording(handle, phase, progress=0.0, message=""):
            log.updates.append((phase, progress, message))
            return original(handle, phase, progress, message)

        monkeypatch.setattr(module.SimulationHandle, "_update_status", recording)
        return log

    def phases(self):
        return [u[0] for u in self.updates]
