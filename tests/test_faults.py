"""Fault injection: every call the pipeline makes on a collaborator or on a
sibling module raises, once with an ordinary exception and once with an
interrupt (a BaseException that is not an Exception).

An ordinary exception ends the run in status "error" and result() raises the
very object (except where the pipeline deliberately swallows or wraps it). An
interrupt passes through the pipeline thread, but the handle's events are set,
result() does not block, and the module serves the next run.

The cases come from one table of call points, CALL_POINTS.
"""
import importlib
import logging
import threading
from dataclasses import dataclass, field

import pytest

from doubles import BLOCK_TIMEOUT, CountingEvent, Wiring, collect, start, wait_done

SAME = "same"            # result() raises the injected object itself
WRAPPED = "wrapped"      # a RuntimeError raised from it (graph validator bootstrap)
SWALLOWED = "swallowed"  # a best-effort call: the run completes

BOOTSTRAP_ERROR = ("GraphValidator runtime is required for simulation. Initialize the synced "
                   "graph validation runtime before calling simulate_signal().")


class InjectedFault(Exception):
    """The ordinary exception a call point raises."""


class Trigger:
    """Stands in for a sibling function: its ``call``-th call raises ``exc``,
    every other call goes to the original."""

    def __init__(self, original, exc, call):
        self.original = original
        self.exc = exc
        self.call = call
        self.calls = 0

    def __call__(self, *args, **kwargs):
        self.calls += 1
        if self.calls == self.call:
            raise self.exc
        return self.original(*args, **kwargs)

    def reached(self):
        return self.calls >= self.call


class Arranged:
    """What one case arranged: the fault, how to tell it was reached, and the
    __context__ the raised exception must carry."""

    def __init__(self, ss, w, patch, exc):
        self.ss = ss
        self.w = w
        self.patch = patch
        self.exc = exc
        self.reached = None
        self.context = None
        self.undo = []


# ---------------------------------------------------------------------------
# How a call point is made to raise

def collaborator(name, call=None):
    """A call on the recording doubles (a dotted CallLog name)."""
    def arrange(a):
        a.w.log.fail(name, a.exc, call)
        a.reached = lambda: a.w.log.count(name) >= (call or 1)
        a.undo.append(lambda: a.w.log.clear_fault(name))
    return arrange


def patched(owner, attribute, call, a):
    trigger = Trigger(getattr(owner, attribute), a.exc, call)
    a.patch.setattr(owner, attribute, trigger)
    a.reached = trigger.reached


def alias(attribute, call=1):
    """A sibling name bound in the module namespace at import."""
    return lambda a: patched(a.ss, attribute, call, a)


def sibling(module_name, attribute, call=1):
    """A name of a sibling module, looked up there at the time of the call."""
    return lambda a: patched(importlib.import_module(module_name), attribute, call, a)


def after_vault_failure(arrange):
    """The vault's initialize() fails first, so the pipeline asks whether
    that failure is harmless; the question is asked while handling it."""
    def arrange_both(a):
        vault_error = InjectedFault("vault initialize failed")
        a.w.log.fail("vault.initialize", vault_error)
        a.undo.append(lambda: a.w.log.clear_fault("vault.initialize"))
        arrange(a)
        a.context = vault_error
    return arrange_both


def refreshing_guard(w):
    """The freshness guard reports a refresh, so the vocabulary is reloaded."""
    w.log.returns("guard.ensure_fresh_before_evaluation", True)


@dataclass
class CallPoint:
    id: str
    arrange: object
    kind: str = "signal"
    wiring: dict = field(default_factory=dict)   # Wiring(**wiring)
    wire: dict = field(default_factory=dict)     # init_simulate_signal overrides
    setup: object = None                         # setup(w) before wiring
    run: dict = field(default_factory=dict)      # entry-point keywords
    ordinary: str = SAME
    acquired: bool = True                        # the run holds the sync manager by then


UNBUILT_VALIDATOR = {"graph_validator": None}
ORCHESTRATOR = {"route": "orchestrator"}
GUARD = {"guard": True}
EMPTY_FOUND_POOL = {"found_signal_pool": []}
RESCALE = {"metaparameters": {"normalize": "rescale"}}

CALL_POINTS = [
    # collaborators, in pipeline order
    CallPoint("auth.get_wallet_secret", collaborator("auth.get_wallet_secret"), acquired=False),
    CallPoint("set_phase", collaborator("set_phase", call=1), ordinary=SWALLOWED,
              acquired=False),
    CallPoint("sync_manager.acquire", collaborator("sync_manager.acquire"), acquired=False),
    CallPoint("sync_manager.request_feature_files_for_sync",
              collaborator("sync_manager.request_feature_files_for_sync")),
    CallPoint("sync_manager.request_for_sync", collaborator("sync_manager.request_for_sync")),
    CallPoint("sync_manager.get_manifest (synced era)",
              collaborator("sync_manager.get_manifest", call=1)),
    CallPoint("vault.initialize", collaborator("vault.initialize")),
    CallPoint("vault.init_if_needed", collaborator("vault.init_if_needed")),
    CallPoint("backtester.initialize_era_vault", collaborator("backtester.initialize_era_vault"),
              wiring={"era_vault_hook": True}),
    CallPoint("load_vocabulary", collaborator("load_vocabulary", call=1)),
    CallPoint("backtester.init_reconstruction", collaborator("backtester.init_reconstruction")),
    CallPoint("graph_validator.validate", collaborator("graph_validator.validate")),
    CallPoint("sync_manager.get_manifest (evaluation)",
              collaborator("sync_manager.get_manifest", call=2), ordinary=SWALLOWED),
    CallPoint("compute_search_plan", collaborator("compute_search_plan"), wiring=ORCHESTRATOR),
    CallPoint("BatchOrchestrator", collaborator("BatchOrchestrator"), wiring=ORCHESTRATOR),
    CallPoint("guard.ensure_fresh_before_evaluation",
              collaborator("guard.ensure_fresh_before_evaluation"), wiring=GUARD),
    CallPoint("load_vocabulary (reload after a refresh)", collaborator("load_vocabulary", call=2),
              wiring=GUARD, setup=refreshing_guard),
    CallPoint("backtester.evaluate_expression", collaborator("backtester.evaluate_expression")),
    CallPoint("orchestrator.evaluate", collaborator("orchestrator.evaluate"), wiring=ORCHESTRATOR),
    CallPoint("guard.ensure_fresh_before_backtest",
              collaborator("guard.ensure_fresh_before_backtest"), wiring=GUARD),
    CallPoint("backtester.run_backtest", collaborator("backtester.run_backtest")),
    CallPoint("backtester.backtest", collaborator("backtester.backtest"), wiring=ORCHESTRATOR),
    CallPoint("load_found_signal_pnl", collaborator("load_found_signal_pnl", call=2)),
    CallPoint("correlate_per_pool", collaborator("correlate_per_pool")),
    CallPoint("compute_mi_per_pool", collaborator("compute_mi_per_pool")),
    CallPoint("era_thread.get_current_era_number",
              collaborator("era_thread.get_current_era_number")),
    # sibling names bound at import
    CallPoint("vault_already_initialized_is_ready",
              after_vault_failure(alias("vault_already_initialized_is_ready"))),
    CallPoint("_resolve_metaparameters", alias("_resolve_metaparameters")),
    CallPoint("_resolve_pool_config", alias("_resolve_pool_config")),
    CallPoint("_resolve_metaparameters_per_pool", alias("_resolve_metaparameters_per_pool")),
    CallPoint("_canonicalize_metaparameters", alias("_canonicalize_metaparameters")),
    CallPoint("_backtest_timing.extract_backtest_row_count",
              sibling("tallowmere._backtest_timing", "extract_backtest_row_count")),
    CallPoint("_backtest_timing.extract_max_row_elapsed_seconds",
              sibling("tallowmere._backtest_timing", "extract_max_row_elapsed_seconds")),
    CallPoint("_backtest_timing.record_backtest_timing",
              sibling("tallowmere._backtest_timing", "record_backtest_timing")),
    CallPoint("_gate_verdict (stats)", alias("_gate_verdict", call=1)),
    CallPoint("_not_evaluated_verdict (correlation)", alias("_not_evaluated_verdict", call=1)),
    CallPoint("_not_evaluated_verdict (mi)", alias("_not_evaluated_verdict", call=2)),
    CallPoint("evaluate_threshold_gates (scalar)",
              collaborator("evaluate_threshold_gates", call=1)),
    CallPoint("evaluate_threshold_gates (correlation)",
              collaborator("evaluate_threshold_gates", call=2)),
    CallPoint("_gate_verdict (correlation)", alias("_gate_verdict", call=2)),
    CallPoint("empty_pool_pnl_mi", alias("empty_pool_pnl_mi"), wire=EMPTY_FOUND_POOL),
    CallPoint("evaluate_threshold_gates (mi)", collaborator("evaluate_threshold_gates", call=3),
              wire=EMPTY_FOUND_POOL),
    CallPoint("_gate_verdict (mi)", alias("_gate_verdict", call=3)),
    CallPoint("_TrackingStats", alias("_TrackingStats")),
    # sibling names looked up when they are needed
    CallPoint("_runtime._build_function_registry",
              sibling("tallowmere._runtime", "_build_function_registry"),
              wire={"vocabulary": None}),
    CallPoint("_runtime._graph_validator_constructor",
              sibling("tallowmere._runtime", "_graph_validator_constructor"),
              wire=UNBUILT_VALIDATOR, ordinary=WRAPPED),
    CallPoint("_runtime._graph_validator_names",
              sibling("tallowmere._runtime", "_graph_validator_names"),
              wire=UNBUILT_VALIDATOR, ordinary=WRAPPED),
    CallPoint("_runtime._graph_validator_config",
              sibling("tallowmere._runtime", "_graph_validator_config"),
              wire=UNBUILT_VALIDATOR, ordinary=WRAPPED),
    CallPoint("graph_validator.GraphValidator",
              sibling("tallowmere.simulator_engine.graph_validator", "GraphValidator"),
              wire=UNBUILT_VALIDATOR, ordinary=WRAPPED),
    CallPoint("obfuscation.load_vocabulary", sibling("tallowmere.obfuscation", "load_vocabulary"),
              wiring=GUARD, setup=refreshing_guard, ordinary=SWALLOWED),
    CallPoint("_runtime._finalize_rescaled_runtime_weights",
              sibling("tallowmere._runtime", "_finalize_rescaled_runtime_weights"), run=RESCALE),
    CallPoint("_runtime._load_runtime_pnl_array",
              sibling("tallowmere._runtime", "_load_runtime_pnl_array"), kind="strategy"),
]


# ---------------------------------------------------------------------------

def wired(ss, point):
    w = Wiring(**point.wiring)
    if point.setup:
        point.setup(w)
    return w.wire(ss, **point.wire)


@pytest.fixture
def escaped(monkeypatch):
    """Exceptions that leave a thread, as threading.excepthook sees them."""
    seen = []
    monkeypatch.setattr(threading, "excepthook", lambda args: seen.append(args.exc_value))
    return seen


@pytest.mark.parametrize("point", CALL_POINTS, ids=lambda p: p.id)
def test_ordinary_exception(ss, monkeypatch, caplog, escaped, point):
    caplog.set_level(logging.WARNING, logger="tallowmere.simulate_signal")
    w = wired(ss, point)
    a = Arranged(ss, w, monkeypatch, InjectedFault(f"{point.id} failed"))
    point.arrange(a)
    handle = wait_done(start(ss, point.kind, **point.run))
    assert a.reached(), "the call point was not reached"

    if point.ordinary == SWALLOWED:
        assert handle.result().passed is True
        assert handle.status().phase == "complete"
        assert w.log.count("sync_manager.release") == 1
    else:
        with pytest.raises(BaseException) as info:
            handle.result()
        raised = info.value
        status = handle.status()
        assert status.phase == "error"
        assert status.message == "Error: " + str(raised)
        assert raised is handle._error
        if point.ordinary == SAME:
            assert raised is a.exc
            assert a.exc.__context__ is a.context
        else:
            assert type(raised) is RuntimeError and str(raised) == BOOTSTRAP_ERROR
            assert raised.__cause__ is a.exc and raised.__suppress_context__
            assert [r.getMessage() for r in caplog.records] == [
                f"Failed to bootstrap _graph_validator: {a.exc}"]
        assert w.log.names("search_tracker") == []
        assert w.log.count("sync_manager.release") == (1 if point.acquired else 0)
    assert escaped == []


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("point", CALL_POINTS, ids=lambda p: p.id)
def test_interrupt(ss, monkeypatch, escaped, point, interrupt):
    w = wired(ss, point)
    with monkeypatch.context() as patch:
        a = Arranged(ss, w, patch, interrupt(point.id))
        point.arrange(a)
        handle = start(ss, point.kind, **point.run)
        handle._thread.join(BLOCK_TIMEOUT)
        assert not handle._thread.is_alive()
        assert a.reached(), "the call point was not reached"
        for undo in a.undo:
            undo()

    assert escaped == [a.exc]          # it left the pipeline thread unchanged
    assert handle._acquire_done.is_set() and handle._post_acquire_gate.is_set()
    assert handle._done_event.is_set()
    assert handle._error is None and handle._pipeline_acquired is point.acquired
    assert handle.result() is None     # nothing was stored, and nothing blocks
    assert w.log.count("sync_manager.release") == (1 if point.acquired else 0)

    # The module serves the next run as if nothing had happened.
    assert collect(start(ss, point.kind, **point.run)).passed is True
    assert escaped == [a.exc]


def test_interrupted_shared_sync_fails_its_waiters_at_once(ss, escaped):
    w = Wiring().wire(ss)
    interrupt = KeyboardInterrupt("sync interrupted")
    gate = w.log.block("sync_manager.request_for_sync")
    w.log.fail("sync_manager.request_for_sync", interrupt)
    ss._sync_event = event = CountingEvent()
    syncing = start(ss)
    assert gate.wait_entered()
    waiting = start(ss)
    assert event.waiting.acquire(timeout=BLOCK_TIMEOUT), "the second run never waited"
    gate.release()

    wait_done(syncing)
    assert escaped == [interrupt]
    error = wait_done(waiting)._error           # long before the 30 s wait ends
    assert type(error) is ss.SyncError
    assert str(error) == "Simulation data sync was interrupted"
    assert error.__cause__ is interrupt and error.__suppress_context__
    assert ss._sync_in_progress is False and ss._sync_event.is_set()
    assert w.log.count("sync_manager.request_for_sync") == 1


@pytest.mark.parametrize("fault", [InjectedFault, KeyboardInterrupt])
@pytest.mark.parametrize("call", ["search_tracker.record_signal_evaluation",
                                  "sync_manager.release"])
def test_result_side_fault_leaves_the_handle_collectable(ss, call, fault):
    """The tracker and release() run inside result() with the handle's lock
    held: whatever they raise, the lock is free again and a later result()
    returns the result, with one record and one release in all."""
    w = Wiring().wire(ss)
    exc = fault(call)
    w.log.fail(call, exc, call=1)
    handle = wait_done(start(ss))
    with pytest.raises(BaseException) as info:
        handle.result()
    assert info.value is exc
    assert handle.status().phase == "complete"          # the lock was given back
    assert handle.result() is handle._result is not None
    assert handle.result() is handle._result
    assert w.log.count("search_tracker.record_signal_evaluation") == 1
    assert w.log.count("sync_manager.release") == 1
