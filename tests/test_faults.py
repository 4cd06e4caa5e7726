"""Fault injection: every call the pipeline makes on a collaborator or a sibling
module (the table CALL_POINTS) raises, once with an ordinary exception, which
ends the run in "error" with result() raising that very object (unless the
pipeline swallows or wraps it), and once with an interrupt, which passes
through the pipeline thread while the handle's events are set, result() does
not block and the module serves the next run."""
import importlib
import logging
import threading

import pytest

from doubles import BLOCK_TIMEOUT, CountingEvent, Wiring, collect, recorder, start, wait_done

SAME = "same"            # result() raises the injected object itself
WRAPPED = "wrapped"      # a RuntimeError raised from it (graph validator bootstrap)
SWALLOWED = "swallowed"  # a best-effort call: the run completes

BOOTSTRAP_ERROR = ("GraphValidator runtime is required for simulation. Initialize the synced "
                   "graph validation runtime before calling simulate_signal().")


class InjectedFault(Exception):
    """The ordinary exception a call point raises."""


class CallPoint:
    """A call on a collaborator double, or on a sibling function replaced by a
    recorded wrapper (``owner``: "ss" for a name bound in the module's namespace,
    else the sibling module it is looked up in); its ``call``-th call raises."""

    def __init__(self, id, owner=None, call=None, kind="signal", wiring=None, wire=None,
                 setup=None, run=None, ordinary=SAME, acquired=True):
        self.id, self.owner, self.call, self.kind = id, owner, call, kind
        self.attribute = id.split(" (")[0].rpartition(".")[2]
        self.name = id.split(" (")[0] if owner in (None, "ss") else f"{owner}.{self.attribute}"
        self.wiring, self.wire, self.run = wiring or {}, wire or {}, run or {}
        self.setup, self.ordinary, self.acquired = setup, ordinary, acquired

    def arrange(self, ss, patch, exc):
        """Wire the doubles, put the fault in place; returns the wiring."""
        w = Wiring(**self.wiring)
        w.context = None
        if self.setup:
            self.setup(w)
        if self.owner:
            owner = ss if self.owner == "ss" else importlib.import_module(self.owner)
            patch.setattr(owner, self.attribute,
                          recorder(w.log, self.name, getattr(owner, self.attribute)))
        w.log.fail(self.name, exc, self.call)
        return w.wire(ss, **self.wire)

    def reached(self, w):
        return w.log.count(self.name) >= (self.call or 1)


def refreshing_guard(w):
    """The freshness guard reports a refresh, so the vocabulary is reloaded."""
    w.log.returns("guard.ensure_fresh_before_evaluation", True)


def vault_fails_first(w):
    """initialize() fails: whether that is harmless is asked while handling it."""
    w.context = InjectedFault("vault initialize failed")
    w.log.fail("vault.initialize", w.context)


P = CallPoint
VALIDATOR = {"wire": {"graph_validator": None}, "ordinary": WRAPPED}
ORCHESTRATED, GUARDED = {"wiring": {"route": "orchestrator"}}, {"wiring": {"guard": True}}
EMPTY_FOUND_POOL = {"found_signal_pool": []}
RUNTIME = "tallowmere._runtime"

CALL_POINTS = [
    # collaborators, in pipeline order
    P("auth.get_wallet_secret", acquired=False),
    P("set_phase", call=1, ordinary=SWALLOWED, acquired=False),
    P("sync_manager.acquire", acquired=False),
    P("sync_manager.request_feature_files_for_sync"), P("sync_manager.request_for_sync"),
    P("sync_manager.get_manifest (synced era)", call=1),
    P("vault.initialize"), P("vault.init_if_needed"),
    P("backtester.initialize_era_vault", wiring={"era_vault_hook": True}),
    P("load_vocabulary", call=1), P("backtester.init_reconstruction"),
    P("graph_validator.validate"),
    P("sync_manager.get_manifest (evaluation)", call=2, ordinary=SWALLOWED),
    P("compute_search_plan", **ORCHESTRATED), P("BatchOrchestrator", **ORCHESTRATED),
    P("guard.ensure_fresh_before_evaluation", **GUARDED),
    P("load_vocabulary (reload after a refresh)", call=2, setup=refreshing_guard, **GUARDED),
    P("backtester.evaluate_expression"), P("orchestrator.evaluate", **ORCHESTRATED),
    P("guard.ensure_fresh_before_backtest", **GUARDED),
    P("backtester.run_backtest"), P("backtester.backtest", **ORCHESTRATED),
    P("load_found_signal_pnl", call=2), P("correlate_per_pool"), P("compute_mi_per_pool"),
    P("era_thread.get_current_era_number"),
    P("evaluate_threshold_gates (scalar)", call=1),
    P("evaluate_threshold_gates (correlation)", call=2),
    P("evaluate_threshold_gates (mi)", call=3, wire=EMPTY_FOUND_POOL),
    # sibling names bound at import
    P("vault_already_initialized_is_ready", "ss", setup=vault_fails_first),
    P("_resolve_metaparameters", "ss"), P("_resolve_pool_config", "ss"),
    P("_resolve_metaparameters_per_pool", "ss"), P("_canonicalize_metaparameters", "ss"),
    P("_gate_verdict (stats)", "ss", call=1), P("_gate_verdict (correlation)", "ss", call=2),
    P("_gate_verdict (mi)", "ss", call=3),
    P("_not_evaluated_verdict (correlation)", "ss", call=1),
    P("_not_evaluated_verdict (mi)", "ss", call=2),
    P("empty_pool_pnl_mi", "ss", wire=EMPTY_FOUND_POOL), P("_TrackingStats", "ss"),
    # sibling names looked up when they are needed
    P("_backtest_timing.extract_backtest_row_count", "tallowmere._backtest_timing"),
    P("_backtest_timing.extract_max_row_elapsed_seconds", "tallowmere._backtest_timing"),
    P("_backtest_timing.record_backtest_timing", "tallowmere._backtest_timing"),
    P("_runtime._build_function_registry", RUNTIME, wire={"vocabulary": None}),
    P("_runtime._graph_validator_constructor", RUNTIME, **VALIDATOR),
    P("_runtime._graph_validator_names", RUNTIME, **VALIDATOR),
    P("_runtime._graph_validator_config", RUNTIME, **VALIDATOR),
    P("graph_validator.GraphValidator", "tallowmere.simulator_engine.graph_validator", **VALIDATOR),
    P("obfuscation.load_vocabulary", "tallowmere.obfuscation", setup=refreshing_guard,
      ordinary=SWALLOWED, **GUARDED),
    P("_runtime._finalize_rescaled_runtime_weights", RUNTIME,
      run={"metaparameters": {"normalize": "rescale"}}),
    P("_runtime._load_runtime_pnl_array", RUNTIME, kind="strategy"),
]


@pytest.fixture
def escaped(monkeypatch):
    """Exceptions that leave a thread, as threading.excepthook sees them."""
    seen = []
    monkeypatch.setattr(threading, "excepthook", lambda args: seen.append(args.exc_value))
    return seen


@pytest.mark.parametrize("point", CALL_POINTS, ids=lambda p: p.id)
def test_ordinary_exception(ss, monkeypatch, caplog, escaped, point):
    caplog.set_level(logging.WARNING, logger="tallowmere.simulate_signal")
    exc = InjectedFault(f"{point.id} failed")
    w = point.arrange(ss, monkeypatch, exc)
    handle = wait_done(start(ss, point.kind, **point.run))
    assert point.reached(w), "the call point was not reached"
    if point.ordinary == SWALLOWED:
        assert handle.result().passed is True and handle.status().phase == "complete"
        assert w.log.count("sync_manager.release") == 1
    else:
        with pytest.raises(BaseException) as info:
            handle.result()
        raised, status = info.value, handle.status()
        assert (status.phase, status.message) == ("error", f"Error: {raised}")
        assert raised is handle._error
        if point.ordinary == SAME:
            assert raised is exc and exc.__context__ is w.context
        else:
            assert type(raised) is RuntimeError and str(raised) == BOOTSTRAP_ERROR
            assert raised.__cause__ is exc and raised.__suppress_context__
            assert [r.getMessage() for r in caplog.records] == [
                f"Failed to bootstrap _graph_validator: {exc}"]
        assert w.log.names("search_tracker") == []
        assert w.log.count("sync_manager.release") == int(point.acquired)
    assert escaped == []


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("point", CALL_POINTS, ids=lambda p: p.id)
def test_interrupt(ss, monkeypatch, escaped, point, interrupt):
    exc = interrupt(point.id)
    with monkeypatch.context() as patch:
        w = point.arrange(ss, patch, exc)
        handle = start(ss, point.kind, **point.run)
        handle._thread.join(BLOCK_TIMEOUT)
        assert not handle._thread.is_alive()
        assert point.reached(w), "the call point was not reached"
        for name in (point.name, "vault.initialize"):
            w.log.clear_behaviour(name)
    assert escaped == [exc]          # it left the pipeline thread unchanged
    assert handle._acquire_done.is_set() and handle._post_acquire_gate.is_set()
    assert handle._done_event.is_set()
    assert handle._error is None and handle._pipeline_acquired is point.acquired
    assert handle.result() is None     # nothing was stored, and nothing blocks
    assert w.log.count("sync_manager.release") == int(point.acquired)
    # The module serves the next run as if nothing had happened.
    assert collect(start(ss, point.kind, **point.run)).passed is True
    assert escaped == [exc]


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
    """Whatever the tracker or release() raise inside result(), the lock is free
    again and a later result() returns the result: one record, one release."""
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
