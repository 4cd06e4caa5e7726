"""SimulationHandle: the constructor's hand-shake, status, result(), cancel() at
each checkpoint and after the end, and the pipeline's handlers and exit block
(interpreter exit: test_exit.py; the handle as a future: test_futures.py)."""
import logging
import threading

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


@pytest.mark.parametrize("era_config, era", [(d.era_config(), 12), (None, 0),
                                             ({"market_id": 1}, 0)])
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


def test_custom_pool_kind_is_kept(ss):
    Wiring().wire(ss)
    h = ss.SimulationHandle(d.signal_graph(), "u1", "SIGNAL", selected_pool_id="sp1",
                            selected_pool_kind="custom")
    assert wait_done(h)._selected_pool_kind == "custom"


def test_phase_callback_failures_are_logged_and_the_run_goes_on(ss, caplog):
    w = Wiring().wire(ss)
    w.log.returns("set_phase", compute=lambda phase: 1 / 0 if phase == "syncing" else None)
    caplog.set_level(logging.WARNING, logger="tallowmere.simulate_signal")
    assert collect(start(ss)).passed is True
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [
        (logging.WARNING, "Failed to set simulation phase 'syncing': division by zero")] * 3


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
        tb, n = boom.__traceback__, 0
        while tb is not None:
            tb, n = tb.tb_next, n + 1
        depths.add(n)
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
    ("era_thread.get_current_era_number", None, "adapter"),
]


@pytest.mark.parametrize("held, absent, route", CHECKPOINTS)
def test_cancel_stops_the_run_at_the_next_checkpoint(ss, monkeypatch, caplog, held, absent,
                                                     route):
    caplog.set_level(logging.DEBUG)     # every logger, for the secret
    w = Wiring(route=route).wire(ss)
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
    assert absent is None or w.log.count(absent) == 0
    assert h._result is None and h._pending_recording is None
    with pytest.raises(ss.CancelledError, match="^Simulation cancelled$"):
        h.result()
    assert [c.args for c in w.log.of("set_phase")][-1] == ("cancelled",)
    assert w.log.names("search_tracker") == []
    assert w.log.count("sync_manager.release") == w.log.count("sync_manager.acquire")
    d.assert_secret_kept(ss, w, h, caplog.records)


@pytest.mark.parametrize("moment", ["completed", "failed", "collected"])
def test_cancel_after_the_end(ss, moment):
    w = Wiring().wire(ss)
    if moment == "failed":
        w.log.fail("vault.init_if_needed", ValueError("vault broke"))
    h = wait_done(start(ss))
    result = h.result() if moment == "collected" else None
    h.cancel()
    error = h._error
    h.cancel()
    assert h._error is error                   # a second cancel() changes nothing
    if moment == "collected":                  # too late: the result stays
        assert h.status().phase == "complete" and h.result() is result
        return
    assert h._pending_recording is None
    with pytest.raises(ss.CancelledError):
        h.result()
    assert w.log.names("search_tracker") == []
    assert w.log.count("sync_manager.release") == 1


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
