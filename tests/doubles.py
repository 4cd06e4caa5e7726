"""Test doubles and helpers shared by the suite. ``Wiring()`` builds recording
collaborators whose runs pass every gate, on the benchmarks' era config, graphs,
vocabulary, backtest values and data directory. Every call on a double is
recorded in ``wiring.log`` under a dotted name ("sync_manager.acquire"); any
call can be made to raise (``log.fail``), to block until released
(``log.block``) or to answer something else (``log.returns``). The threshold
gates are the stand-in's, recorded as "evaluate_threshold_gates"."""
import contextlib
import gc
import logging
import os
import threading
import types
from collections import namedtuple
from types import SimpleNamespace

import tallowmere._threshold_gates as threshold_gates
from benchmarks import collaborators as bench
from benchmarks.collaborators import (  # noqa: F401 - shared names
    ERA_NUMBER, FOUND_STRATEGY_PNL, MARKET_ID, NAMED_UNIVERSE, RULE_ID, SHUFFLE_BLOB,
    SIGNAL_POOL_ID, STRATEGY_POOL_ID, BacktestResult, BacktestStats, signal_graph,
    strategy_graph, vocabulary_dict, vocabulary_store)
from tallowmere.functions._typed_shapes import FunctionGraphNode  # noqa: F401

BLOCK_TIMEOUT = 30.0          # a blocked double, or a wait on a run, gives up after this (a bound
                              # no correct run reaches on a loaded 2-core machine)


# The wallet secret: no string, so found by identity, or by the text any formatting gives.
WALLET_SECRET = type("Secret", (), {"__str__": lambda self: "wallet-secret-7f3a9c",
                                    "__repr__": lambda self: "Secret('wallet-secret-7f3a9c')"})()


def era_config():
    """The benchmarks' era config; the signal pool's found ids repeat one id."""
    config = bench.era_config()
    config["signal_pools"][0]["found_signal_ids"].append("s1")
    config["strategy_pools"][0]["universes"][RULE_ID]["strategy_is_thresholds"] = {
        "sharpe": {"min": 1.5}}
    return config


# --- Call log with faults, blocks and answers ----------------------------------------------

Call = namedtuple("Call", "name args kwargs")


class Block:
    """Holds one call: ``entered`` is set when it arrives; it goes on after
    ``release()`` (or raises TimeoutError after BLOCK_TIMEOUT)."""

    def __init__(self):
        self.entered, self.released = threading.Event(), threading.Event()
        self.release = self.released.set

    def wait_entered(self, timeout=BLOCK_TIMEOUT):
        return self.entered.wait(timeout)


class CallLog:
    """Every call on the doubles, in order, and the behaviour overrides."""

    def __init__(self):
        self.calls = []
        self._lock = threading.Lock()
        self._faults = {}    # name -> (exception, the one call number that raises, or None)
        self._blocks = {}    # name -> Block (for the next call only)
        self._results = {}   # name -> (value, compute)
        self._counts = {}

    def fail(self, name, exc, call=None):  # every call ``name`` (or its ``call``-th) raises
        self._faults[name] = (exc, call)

    def block(self, name):  # the next call ``name`` waits until the Block is released
        gate = self._blocks[name] = Block()
        return gate

    def returns(self, name, value=None, *, compute=None):  # or compute(*args, **kwargs)
        self._results[name] = (value, compute)

    def clear_behaviour(self, name):
        for table in (self._faults, self._blocks, self._results):
            table.pop(name, None)

    def call(self, name, args, kwargs, default):
        with self._lock:
            self.calls.append(Call(name, tuple(args), dict(kwargs)))
            number = self._counts[name] = self._counts.get(name, 0) + 1
            gate = self._blocks.pop(name, None)
        if gate is not None:
            gate.entered.set()
            if not gate.released.wait(BLOCK_TIMEOUT):
                raise TimeoutError(f"blocked call {name} was never released")
        exc, only = self._faults.get(name, (None, None))
        if exc is not None and only in (None, number):
            raise exc
        if name in self._results:
            value, compute = self._results[name]
            return compute(*args, **kwargs) if compute is not None else value
        return default()

    def names(self, prefix=""):
        return [c.name for c in list(self.calls) if c.name.startswith(prefix)]

    def of(self, name):
        return [c for c in list(self.calls) if c.name == name]

    def count(self, name):
        return len(self.of(name))

    def last(self, name):
        found = self.of(name)
        assert found, f"{name} was never called; calls: {self.names()}"
        return found[-1]


# --- The doubles: one factory --------------------------------------------------------------

class Double:
    """A collaborator: plain attributes, and methods that record their calls."""

    def __init__(self, **attributes):
        self.__dict__.update(attributes)


# A method's answer: the double's attribute ``name`` at the time of the call.
Reads = namedtuple("Reads", "name")


def recorder(log, name, answer=None):
    """A callable recorded as ``name``, answering ``answer(*args, **kwargs)`` or ``answer``."""
    def call(*args, **kwargs):
        return log.call(name, args, kwargs,
                        lambda: answer(*args, **kwargs) if callable(answer) else answer)
    call.__name__ = name.rpartition(".")[2]
    return call


def double(log, prefix, methods, **attributes):
    obj = Double(**attributes)
    for method, answer in methods.items():
        if isinstance(answer, Reads):
            answer = (lambda name: lambda *a, **k: getattr(obj, name))(answer.name)
        setattr(obj, method, recorder(log, f"{prefix}.{method}", answer))
    return obj


class Wiring:
    """A full set of recording collaborators whose runs pass every gate.

    ``route``: "adapter" (the backtester evaluates and backtests), "orchestrator"
    (a batch orchestrator class, and the backtester's direct ``backtest``) or
    "direct" (``backtest`` only); ``era_vault_hook`` gives the backtester
    ``initialize_era_vault``; ``guard`` wires a runtime freshness guard.
    ``log``: the CallLog to record in. ``overrides`` are init_simulate_signal
    keywords and ``patches`` module globals, both applied by ``wire()``.
    """

    def __init__(self, route="adapter", era_vault_hook=False, guard=False, log=None):
        self.log = log = log or CallLog()
        self.data_dir, self.found_strategy_pnl_path = bench.make_data_dir(self, "simsig-")
        self.era_config = era_config()
        self.sync_result = [os.path.join(self.data_dir, "signals", "s1.arrow"),
                            self.found_strategy_pnl_path]
        self.manifest = {"market_id": MARKET_ID, "era_number": ERA_NUMBER}
        self.found_pnl = {"s1": [0.01, 0.0, 0.02], "s2": [0.0, -0.01, 0.01]}
        self.search_plan = SimpleNamespace(n_jobs=1, name="plan")
        self.overrides, self.patches = {}, {}

        self.auth = double(log, "auth", {"get_wallet_secret": WALLET_SECRET})
        self.sync_manager = double(
            log, "sync_manager",
            {"acquire": None, "release": None, "request_feature_files_for_sync": None,
             "request_for_sync": Reads("sync_result"), "get_manifest": Reads("manifest")},
            _data_dir=self.data_dir, bytes_downloaded=512, total_bytes=1024,
            runtime_freshness_guard=None, sync_result=self.sync_result, manifest=self.manifest)
        self.vault = double(log, "vault", {"initialize": None, "init_if_needed": None})
        methods = {"init_reconstruction": None}
        if route == "adapter":
            methods.update(evaluate_expression=Reads("weights"), run_backtest=Reads("result"))
        else:
            methods["backtest"] = Reads("result")
        if era_vault_hook:
            methods["initialize_era_vault"] = None
        self.backtester = double(
            log, "backtester", methods, raw_backtester=SimpleNamespace(name="raw"),
            evaluator="original-evaluator", search_plan_factory="original-search-plan-factory",
            raw_vocabulary=None, weights=[[0.5, -0.5], [0.25, -0.75]], result=BacktestResult())
        self.search_tracker = double(log, "search_tracker", {"record_signal_evaluation": None,
                                                             "record_strategy_evaluation": None})
        self.era_thread = double(log, "era_thread",
                                 {"get_current_era_number": Reads("current_era")},
                                 current_era=ERA_NUMBER)
        self.graph_validator = double(log, "graph_validator", {"validate": None})
        self.guard = double(
            log, "guard", {"register_module_consumer": None,
                           "ensure_fresh_before_evaluation": False,
                           "ensure_fresh_before_backtest": None},
            snapshot=SimpleNamespace(pending_data_artifact_shas={},
                                     loaded_data_artifact_shas={})) if guard else None
        self.orchestrator = double(log, "orchestrator", {"evaluate": Reads("evaluated")})
        self.orchestrator.evaluated = SimpleNamespace(
            per_pool_weights={SIGNAL_POOL_ID: self.backtester.weights})
        self.gates = recorder(log, "evaluate_threshold_gates",
                              threshold_gates.evaluate_threshold_gates)
        self.vocabulary = vocabulary_store()
        self.vocabulary_raw = vocabulary_dict()
        self.useful_signals = ["s1"]
        self.useful_signal_metadata = {"s1": {"signal_id": "s1", "signal_pool_id": SIGNAL_POOL_ID}}
        self.useful_signal_pool = [[0.01, 0.02, -0.01]]
        for name, answer in {"load_vocabulary": lambda *a: vocabulary_dict(),
                             "load_found_signal_pnl": lambda sid, **k: self.found_pnl.get(sid),
                             "correlate_per_pool": 0.2, "compute_mi_per_pool": (0.4, True),
                             "compute_search_plan": lambda *a, **k: self.search_plan,
                             "set_phase": None}.items():
            setattr(self, name, recorder(log, name, answer))
        self.BatchOrchestrator_cls = (None if route == "adapter" else recorder(
            log, "BatchOrchestrator", lambda *a, **k: self.orchestrator))

    def pool(self, kind="signal"):
        return self.era_config[f"{kind}_pools"][0]

    def record_global(self, name, answer=None):
        """Put a recorded callable (recorded as ``name``) in place of a module global."""
        self.patches[name] = recorder(self.log, name, answer)

    def init_kwargs(self, **overrides):
        """Keyword arguments for ``init_simulate_signal``."""
        names = ["auth", "sync_manager", "vault", "backtester", "search_tracker", "era_thread",
                 "graph_validator", "compute_search_plan", "era_config", "load_vocabulary",
                 "useful_signal_metadata", "useful_signals", "useful_signal_pool",
                 "load_found_signal_pnl", "BatchOrchestrator_cls", "set_phase",
                 "correlate_per_pool", "compute_mi_per_pool", "vocabulary", "vocabulary_raw"]
        kwargs = {name: getattr(self, name) for name in names}
        kwargs["runtime_freshness_guard"] = self.guard
        return {**kwargs, **self.overrides, **overrides}

    def wire(self, module, **overrides):
        """init_simulate_signal with these doubles, the recorded gates and the patches."""
        module.init_simulate_signal(**self.init_kwargs(**overrides))
        module.evaluate_threshold_gates = self.gates
        for name, value in self.patches.items():
            setattr(module, name, value)
        return self


# --- Starting runs, waiting for them, watching them ----------------------------------------

def start(ss, kind="signal", graph=None, pool=None, universe=NAMED_UNIVERSE, **kwargs):
    if kind == "signal":
        return ss.simulate_signal(signal_graph() if graph is None else graph, universe,
                                  signal_pool_id=SIGNAL_POOL_ID if pool is None else pool,
                                  **kwargs)
    return ss.simulate_strategy(strategy_graph() if graph is None else graph, universe,
                                strategy_pool_id=STRATEGY_POOL_ID if pool is None else pool,
                                **kwargs)


start_signal = start


def wait_done(handle, timeout=BLOCK_TIMEOUT):  # until the pipeline thread has ended
    assert handle._done_event.wait(timeout), "pipeline did not finish in time"
    handle._thread.join(timeout)
    assert not handle._thread.is_alive(), "pipeline thread still running"
    return handle


def collect(handle, timeout=BLOCK_TIMEOUT):
    return wait_done(handle, timeout).result()


def failure_of(handle):  # the exception result() raises once the run has ended
    wait_done(handle)
    try:
        handle.result()
    except BaseException as exc:  # noqa: B902 - the run's stored error or interrupt
        return exc
    raise AssertionError("the run did not fail")


class StatusLog:
    """Every ``_update_status(phase, progress, message)`` of every handle."""

    def __init__(self, monkeypatch, module):
        self.updates = []
        original = module.SimulationHandle._update_status

        def recording(handle, phase, progress=0.0, message=""):
            self.updates.append((phase, progress, message))
            return original(handle, phase, progress, message)
        monkeypatch.setattr(module.SimulationHandle, "_update_status", recording)


class CountingEvent(threading.Event):  # reports each waiter; ``answer`` is returned at once

    def __init__(self, answer=None):
        super().__init__()
        self.waits, self.waiting, self.answer = [], threading.Semaphore(0), answer

    def wait(self, timeout=None):
        self.waits.append(timeout)
        self.waiting.release()
        return self.answer if self.answer is not None else super().wait(timeout)


@contextlib.contextmanager
def restored(module):  # every global of ``module`` put back as it was afterwards
    saved = dict(vars(module))
    try:
        yield module
    finally:
        for key in list(vars(module)):
            if key not in saved:
                delattr(module, key)
        for key, value in saved.items():
            if vars(module).get(key, object()) is not value:
                setattr(module, key, value)


# --- The wallet secret reaches the set-up calls and nothing else ---------------------------

SKIPPED = (types.ModuleType, type, types.FunctionType, types.BuiltinFunctionType,
           types.CodeType, types.FrameType, types.TracebackType)


def holds(obj, seen):
    """Whether ``obj``, walked through every reference it keeps, holds the
    secret or its text. Modules, classes, functions and frames are the program,
    not the data it kept: they are not entered."""
    if obj is WALLET_SECRET:
        return True
    if isinstance(obj, (str, bytes, bytearray)):
        text = str(WALLET_SECRET)
        return (text if isinstance(obj, str) else text.encode()) in obj
    if isinstance(obj, SKIPPED) or id(obj) in seen:
        return False
    seen.add(id(obj))
    return any(holds(child, seen) for child in gc.get_referents(obj))


def assert_secret_kept(ss, w, handle, records):
    """Nothing the ended run let out holds the secret: the handle, its status,
    repr, result or error, the module state runs write, the phase callback's
    and tracker's arguments, and the log ``records`` (every logger, DEBUG)."""
    seen = [("status", handle.status()), ("repr(handle)", repr(handle)),
            ("handle", vars(handle))]
    try:
        outcome = handle.result()
    except BaseException as exc:  # noqa: B902 - the run's error is looked at too
        outcome = exc
    seen += [("result or error", outcome), ("its text", f"{outcome!s} {outcome!r}")]
    seen += [(name, getattr(ss, name)) for name in (
        "_vocabulary", "_vocabulary_raw", "_sync_result_cache", "_sync_exception_cache")]
    seen += [(c.name, (c.args, c.kwargs)) for c in w.log.calls
             if c.name == "set_phase" or c.name.startswith("search_tracker.")]
    for record in records:
        seen += [(f"log {record.name}", [record.getMessage(), vars(record)] + (
            [logging.Formatter().formatException(record.exc_info)] if record.exc_info else []))]
    for where, value in seen:
        assert not holds(value, set()), f"the wallet secret shows in {where}"


# --- Hostile objects -----------------------------------------------------------------------

class Boom(Exception):
    """What a hostile object raises."""


def _boom(*args, **kwargs):
    raise Boom("hostile")


def hostile(*methods, props=(), base=object):
    """A class whose ``methods`` and properties ``props`` raise Boom (one
    that defines ``__eq__`` stays hashable unless ``__hash__`` is listed)."""
    name = f"Hostile({', '.join(methods + tuple(props))})"
    members = {m: _boom for m in methods}
    members.update({p: property(_boom) for p in props})
    if "__eq__" in members and "__hash__" not in members:
        members["__hash__"] = base.__hash__
    return type(name, (base,), members)
