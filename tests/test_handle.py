"""SimulationHandle: the constructor's hand-shake, status, result(), cancel() at
each checkpoint and after the end, and the pipeline's handlers and exit block
(interpreter exit: test_exit.py; the handle as a future: test_futures.py); and
the native core's quick ways to build records, read attributes, call methods
and make events, which must give what the plain Python they stand for gives
and step aside for a replacement: one test per quick path."""
import logging
import threading
import time
import traceback
import types

import pytest

import doubles as d
from doubles import BLOCK_TIMEOUT, Wiring, collect, start, wait_done


def in_thread(fn):
    """Run fn() on a daemon thread; returns (thread, outcome dict)."""
    outcome = {}

    def target():
        try:
            outcome["value"] = fn()
        except BaseException as exc:  # noqa: B902 - the outcome is what is tested
            outcome["error"] = exc
    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    return thread, outcome


def test_constructor_does_not_wait_for_a_slow_acquire(ss):
    w = Wiring().wire(ss)
    block = w.log.block("sync_manager.acquire")
    h = start(ss)                   # returns after at most 0.1 s
    assert block.wait_entered()
    assert h._post_acquire_gate.is_set() and not h._acquire_done.is_set()
    block.release()
    assert collect(h).passed is True


@pytest.mark.parametrize("era_config, era", [(d.era_config(), 12), ({"market_id": 1}, 0)])
def test_status_before_the_first_phase(ss, era_config, era):
    w = Wiring().wire(ss, era_config=era_config)
    block = w.log.block("auth.get_wallet_secret")
    h = start(ss)
    status = h.status()
    assert (status.phase, status.progress, status.message, status.era_number) == (
        "syncing", 0.0, "Syncing data from server...", era)
    assert 0.0 < status.elapsed_s < BLOCK_TIMEOUT
    assert status is not h._status and h.status() is not status
    block.release()
    wait_done(h)


def test_stored_error_is_raised_by_every_result_without_growing_its_traceback(ss):
    w = Wiring().wire(ss)
    boom = ValueError("backtest exploded")
    w.log.fail("backtester.run_backtest", boom)
    h = wait_done(start(ss))
    depths = set()
    for _ in range(3):
        with pytest.raises(ValueError) as info:
            h.result()
        assert info.value is boom
        depths.add(len(traceback.extract_tb(boom.__traceback__)))
    assert len(depths) == 1 and w.log.count("sync_manager.release") == 1


def test_payload_is_dropped_after_the_lock_is_released(ss):
    Wiring().wire(ss)
    h = wait_done(start(ss))
    seen = []

    class Payload:  # an empty mapping whose finalizer asks for the status
        def keys(self):
            return []

        def __del__(self):
            seen.append(h.status().phase)

    h._pending_recording = ("SIGNAL", Payload())
    thread, outcome = in_thread(h.result)
    thread.join(BLOCK_TIMEOUT)
    assert not thread.is_alive(), "result() deadlocked on the payload's finalizer"
    assert "value" in outcome and seen == ["complete"]


# Each checkpoint: a call the run is held in (or a phase right after whose
# status update the run is cancelled), the call the checkpoint must stop, the route.
CHECKPOINTS = [
    ("auth.get_wallet_secret", "sync_manager.acquire", "adapter"),
    ("sync_manager.acquire", "sync_manager.request_feature_files_for_sync", "adapter"),
    ("sync_manager.request_feature_files_for_sync", "sync_manager.request_for_sync", "adapter"),
    ("sync_manager.request_for_sync", "vault.initialize", "adapter"),
    ("backtester.init_reconstruction", "graph_validator.validate", "adapter"),
    ("after evaluating", "BatchOrchestrator", "orchestrator"),
    ("BatchOrchestrator", "orchestrator.evaluate", "orchestrator"),
    ("after backtesting", "backtester.run_backtest", "adapter"),
    ("backtester.run_backtest", "correlate_per_pool", "adapter"),
    ("after computing_mi", "compute_mi_per_pool", "adapter"),
    ("compute_mi_per_pool", "era_thread.get_current_era_number", "adapter"),
    ("era_thread.get_current_era_number", "_build_tracking_stats", "adapter"),
]


@pytest.mark.parametrize("held, absent, route", CHECKPOINTS)
def test_cancel_stops_the_run_at_the_next_checkpoint(ss, monkeypatch, caplog, held, absent,
                                                     route):
    caplog.set_level(logging.DEBUG)     # every logger, for the secret
    w = Wiring(route=route).wire(ss)
    monkeypatch.setattr(ss, "_build_tracking_stats", d.recorder(w.log, "_build_tracking_stats"))
    if held.startswith("after "):
        update = ss.SimulationHandle._update_status

        def cancelling(handle, phase, progress=0.0, message=""):
            update(handle, phase, progress, message)
            if phase == held[len("after "):]:
                handle.cancel()
        monkeypatch.setattr(ss.SimulationHandle, "_update_status", cancelling)
        h = wait_done(start(ss))
    else:
        block = w.log.block(held)
        h = start(ss)
        assert block.wait_entered()
        h.cancel()
        status = h.status()
        assert (status.phase, status.progress, status.message) == (
            "cancelled", 0.0, "Simulation cancelled by user.")
        assert h._done_event.is_set() and h._thread.is_alive()   # set at once
        by_cancel = h._error
        block.release()
        assert wait_done(h)._error is not by_cancel   # the pipeline's own CancelledError
    assert w.log.count(absent) == 0
    assert h._result is None and h._pending_recording is None
    with pytest.raises(ss.CancelledError, match="^Simulation cancelled$"):
        h.result()
    assert [c.args for c in w.log.of("set_phase")][-1] == ("cancelled",)
    assert w.log.names("search_tracker") == []
    assert w.log.count("sync_manager.release") == w.log.count("sync_manager.acquire")
    d.assert_secret_kept(ss, w, h, caplog.records)


@pytest.mark.parametrize("moment", [
    "while the record is built", "before complete", "after complete", "before error",
    "after error", "after the run", "after a failed run", "after result()"])
def test_cancel_at_the_end_of_a_run(ss, monkeypatch, moment):
    """Until result() has returned, cancel() decides the outcome, whenever it comes."""
    w = Wiring().wire(ss)
    if "error" in moment or "failed" in moment:
        w.log.fail("era_thread.get_current_era_number", ValueError("era thread broke"))
    handles, started = [], threading.Event()
    when, _, phase = moment.partition(" ")
    if when == "while":        # after the last cancellation check
        build = ss._build_tracking_stats
        monkeypatch.setattr(ss, "_build_tracking_stats", lambda *a: (
            started.wait(BLOCK_TIMEOUT), handles[0].cancel(), build(*a))[2])
    elif phase in ("complete", "error"):    # inside the status update, before or after it
        update = ss.SimulationHandle._update_status

        def cancelling(handle, new_phase, progress=0.0, message=""):
            if (new_phase, when) == (phase, "before"):
                handle.cancel()
            update(handle, new_phase, progress, message)
            if (new_phase, when) == (phase, "after"):
                handle.cancel()
        monkeypatch.setattr(ss.SimulationHandle, "_update_status", cancelling)
    handles.append(start(ss))
    started.set()
    h = wait_done(handles[0])
    result = h.result() if moment == "after result()" else None
    if phase not in ("complete", "error") and when == "after":    # the run has ended
        h.cancel()
        error = h._error
        h.cancel()
        assert h._error is error                  # a second cancel() changes nothing
    if result is not None:                        # too late: the result stays
        assert h.status().phase == "complete" and h.result() is result
        return
    status = h.status()
    assert (status.phase, status.message) == ("cancelled", "Simulation cancelled by user.")
    with pytest.raises(ss.CancelledError, match="^Simulation cancelled$"):
        h.result()
    assert h._pending_recording is None and w.log.names("search_tracker") == []
    assert w.log.count("sync_manager.release") == 1
    if when == "while":                           # nothing of the run was published
        assert h._result is None and w.log.of("set_phase")[-1].args == ("cancelled",)


def test_status_and_cancel_respond_while_result_blocks(ss):
    w = Wiring().wire(ss)
    block = w.log.block("backtester.run_backtest")
    h = start(ss)
    assert block.wait_entered()
    waiter, outcome = in_thread(h.result)
    poller, polled = in_thread(lambda: (h.cancel(), h.status().phase))
    poller.join(BLOCK_TIMEOUT)
    assert not poller.is_alive(), "status()/cancel() blocked behind result()"
    assert polled["value"][1] == "cancelled" and waiter.is_alive()
    block.release()
    waiter.join(BLOCK_TIMEOUT)
    assert isinstance(outcome["error"], ss.CancelledError)


def test_failing_status_update_in_the_handler_still_runs_the_exit_block(ss, monkeypatch):
    w = Wiring().wire(ss)
    escaped = []
    monkeypatch.setattr(threading, "excepthook", lambda args: escaped.append(args.exc_value))
    update = ss.SimulationHandle._update_status

    def failing(handle, phase, progress=0.0, message=""):
        if phase == "error":
            raise LookupError("status sink broken")
        return update(handle, phase, progress, message)
    monkeypatch.setattr(ss.SimulationHandle, "_update_status", failing)
    w.log.fail("vault.init_if_needed", ValueError("vault broke"))
    h = start(ss)
    h._thread.join(BLOCK_TIMEOUT)
    assert [str(e) for e in escaped] == ["status sink broken"]
    assert h._done_event.is_set() and h._pipeline_acquired is True


# --- quick paths of the native core ------------------------------------------------

def finished_handle(ss):
    Wiring().wire(ss)
    handle = start(ss)
    collect(handle)
    return handle


@pytest.mark.parametrize("replaced", [None, "namespace class", "__init__", "__setattr__"])
def test_status_snapshot(ss, monkeypatch, replaced):
    handle = finished_handle(ss)
    cls, seen = ss.SimulationStatus, []
    if replaced == "namespace class":
        monkeypatch.setattr(ss, "SimulationStatus", type("Recording", (cls,), {
            "__init__": lambda self, *a: (seen.append(a), cls.__init__(self, *a))[1]}))
    elif replaced == "__init__":
        init = cls.__init__
        monkeypatch.setattr(cls, "__init__", lambda self, *a: (seen.append(a), init(self, *a))[1],
                            raising=False)
    elif replaced == "__setattr__":
        monkeypatch.setattr(cls, "__setattr__", lambda self, k, v: (
            seen.append(k), object.__setattr__(self, k, v))[1], raising=False)
    snapshot = handle.status()
    twin = ss.SimulationStatus("complete", 1.0, "Simulation complete. Results available.",
                               d.ERA_NUMBER, snapshot.elapsed_s)
    assert type(snapshot) is ss.SimulationStatus
    assert snapshot == twin and list(vars(snapshot).items()) == list(vars(twin).items())
    assert snapshot is not handle._status and snapshot is not handle.status()
    assert bool(seen) is (replaced is not None)


def test_status_read_from_an_odd_internal_status_with_the_time_global(ss, monkeypatch):
    handle = finished_handle(ss)
    handle._status = types.SimpleNamespace(phase="p", progress=0.5, message="m", era_number=3,
                                           elapsed_s=5.0, note="internal")
    monkeypatch.setattr(ss, "time", types.SimpleNamespace(monotonic=lambda: handle._start_time + 9))
    snapshot = handle.status()
    assert (snapshot.phase, snapshot.progress, snapshot.message, snapshot.era_number,
            snapshot.elapsed_s) == ("p", 0.5, "m", 3, pytest.approx(9.0))
    assert not hasattr(snapshot, "note")


def test_replaced_lock_is_used_for_status(ss):
    handle = finished_handle(ss)
    calls = []
    handle._lock = types.SimpleNamespace(acquire=lambda: calls.append("acquire"),
                                         release=lambda: calls.append("release"))
    handle.status()
    assert calls == ["acquire", "release"]


@pytest.mark.parametrize("error", [AttributeError, RuntimeError])
def test_optional_hook_whose_lookup_fails(ss, error):
    w = Wiring()

    class FailingLookup(d.Double):
        @property
        def request_feature_files_for_sync(self):
            raise error("lookup failed")
    del w.sync_manager.request_feature_files_for_sync
    w.sync_manager.__class__ = FailingLookup
    w.wire(ss)
    if error is AttributeError:            # a missing hook
        assert collect(start(ss)).passed
    else:
        with pytest.raises(RuntimeError, match="lookup failed"):
            collect(start(ss))


def test_handle_method_replaced_on_the_class_is_called(ss, monkeypatch):
    Wiring().wire(ss)
    checked, original = [], ss.SimulationHandle._check_cancelled
    monkeypatch.setattr(ss.SimulationHandle, "_check_cancelled",
                        lambda self: (checked.append(self), original(self))[1])
    handle = start(ss)
    collect(handle)
    assert checked and all(h is handle for h in checked)


def test_module_helper_replaced_in_the_namespace_is_called(ss, monkeypatch):
    calls, original = [], ss._simulation_graph_feature_names
    monkeypatch.setattr(ss, "_simulation_graph_feature_names",
                        lambda graph: (calls.append(graph), original(graph))[1])
    handle = finished_handle(ss)
    assert calls == [handle._graph]


@pytest.mark.parametrize("replaced", [False, True])
def test_handle_events(ss, monkeypatch, replaced):
    made = []
    if replaced:
        Event = type("Event", (threading.Event,), {"__init__": lambda self: (
            threading.Event.__init__(self), made.append(self))[1]})
        monkeypatch.setattr(ss, "threading", types.SimpleNamespace(
            Event=Event, Lock=threading.Lock, Thread=threading.Thread))
    handle = finished_handle(ss)
    events = [handle._done_event, handle._acquire_done, handle._post_acquire_gate]
    assert made == (events if replaced else [])
    event = events[0]
    assert isinstance(event, threading.Event) and event.wait(0) and repr(event).endswith(": set>")
    event.clear()       # a negative time-out polls, as threading.Event's does
    thread, outcome = in_thread(lambda: event.wait(timeout=-1))
    thread.join(BLOCK_TIMEOUT)
    assert outcome == {"value": False} and repr(event).endswith(": unset>")


@pytest.mark.parametrize("own, drop", [(False, "__init__"), (True, "__init__"),
                                       (True, "_native_state")])
def test_event_state_dropped_under_a_waiter(ss, own, drop):
    # A waiter keeps the state it waits on, as threading.Event's keeps its Condition.
    event = type(ss._sync_event)() if own else threading.Event()
    thread, outcome = in_thread(lambda: event.wait(0.2))
    time.sleep(0.05)    # the waiter most likely waits by now; either way it times out
    if drop == "__init__":
        event.__init__()
    else:
        event._native_state = type(event)()._native_state
    thread.join(BLOCK_TIMEOUT)
    assert not thread.is_alive() and outcome == {"value": False}
    event.set()
    assert event.wait(0) and event.is_set()
