"""SimulationHandle: construction, status, result, cancel, release, the
pipeline's handlers and exit block (interpreter exit: test_exit.py)."""
import logging
import threading

import pytest

import doubles as d
from doubles import BLOCK_TIMEOUT, StatusLog, Wiring, collect, start_signal, wait_done

ATTRIBUTES = [
    "_graph", "_named_universe", "_universe_rule_id", "_expression_type", "_metaparameters",
    "_include_correlation", "_include_mi", "_record", "_return_series", "_return_weights",
    "_selected_pool_id", "_selected_pool_kind", "_fail_fast", "_lock", "_status", "_result",
    "_error", "_cancelled", "_done_event", "_start_time", "_acquired", "_pending_recording",
    "_result_retrieved", "_pipeline_acquired", "_released", "_acquire_done",
    "_post_acquire_gate", "_thread",
]


def run_in_thread(fn):
    """Run fn() on a thread; returns (thread, outcome dict)."""
    outcome = {}

    def target():
        try:
            outcome["value"] = fn()
        except BaseException as exc:  # noqa: B902 - the outcome is what is tested
            outcome["error"] = exc
    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    return thread, outcome


class TestConstruction:
    def test_class_shape(self, ss):
        cls = ss.SimulationHandle
        assert cls.__bases__ == (object,)
        assert cls.__doc__ == "Handle to a running simulation."
        assert cls.__module__ == "tallowmere.simulate_signal"
        methods = [n for n in vars(cls) if not n.startswith("__") or n == "__init__"]
        assert methods == ["__init__", "_update_status", "_check_cancelled", "_run_pipeline",
                           "status", "_do_release", "result", "cancel", "done", "running",
                           "cancelled", "exception", "add_done_callback"]
        assert cls.status.__doc__ == "Return current simulation status snapshot."
        assert cls.result.__doc__ == ("Block until completion, return BacktestResult or raise "
                                      "exception.")
        assert cls.cancel.__doc__ == ("Cancel simulation immediately. No-op if already "
                                      "done/cancelled.")
        assert cls._check_cancelled.__doc__ == "Check if cancelled and raise CancelledError if so."
        assert cls._do_release.__doc__ == ("Release sync_manager if it was acquired and not yet "
                                           "released.")

    def test_attributes_in_order(self, ss):
        w = Wiring().wire(ss)
        h = start_signal(ss, metaparameters={"normalize": "rank"}, fail_fast=False)
        wait_done(h)
        assert list(vars(h)) == ATTRIBUTES + ["_config_era_number"]
        assert isinstance(h._lock, type(threading.Lock()))
        for event in ("_done_event", "_acquire_done", "_post_acquire_gate"):
            assert isinstance(getattr(h, event), threading.Event)
        assert h._thread.daemon and not h._thread.is_alive()
        assert h._selected_pool_id == "sp1" and h._selected_pool_kind == "signal"
        assert h._metaparameters == {"normalize": "rank"} and h._fail_fast is False
        assert isinstance(h._start_time, float)
        assert w.log.count("sync_manager.acquire") == 1

    @pytest.mark.parametrize("expression_type, kind, expected", [
        ("STRATEGY", None, "strategy"), ("SIGNAL", None, "signal"), ("OTHER", None, "signal"),
        ("SIGNAL", "custom", "custom"),
    ])
    def test_selected_pool_kind(self, ss, expression_type, kind, expected):
        Wiring().wire(ss)
        graph = d.strategy_graph() if expression_type == "STRATEGY" else d.signal_graph()
        h = ss.SimulationHandle(graph, "u1", expression_type, selected_pool_id="sp1",
                                selected_pool_kind=kind)
        wait_done(h)
        assert h._selected_pool_kind == expected

    @pytest.mark.parametrize("graph, pool_id, exc_type, message", [
        ({"type": "feature", "node": "close"}, "sp1", TypeError,
         "graph must be FunctionGraphNode at the simulation runtime boundary; got dict"),
        (d.signal_graph(), "", ValueError, "signal_pool_id must be a non-empty string"),
    ])
    def test_constructor_refusals_start_no_thread(self, ss, graph, pool_id, exc_type, message):
        w = Wiring().wire(ss)
        before = threading.active_count()
        with pytest.raises(exc_type) as info:
            ss.SimulationHandle(graph, "u1", "SIGNAL", selected_pool_id=pool_id)
        assert str(info.value) == message
        assert threading.active_count() == before
        assert w.log.calls == []

    def test_constructor_does_not_wait_for_a_slow_acquire(self, ss):
        w = Wiring().wire(ss)
        block = w.log.block("sync_manager.acquire")
        h = start_signal(ss)                   # returns after at most 0.1 s
        assert block.wait_entered()
        assert h._post_acquire_gate.is_set()
        assert not h._acquire_done.is_set()
        block.release()
        assert collect(h).passed is True


class TestStatus:
    def test_before_the_first_phase(self, ss):
        w = Wiring().wire(ss)
        block = w.log.block("auth.get_wallet_secret")
        h = start_signal(ss)
        status = h.status()
        assert (status.phase, status.progress, status.message, status.era_number) == \
            ("syncing", 0.0, "Syncing data from server...", d.ERA_NUMBER)
        assert 0.0 < status.elapsed_s < BLOCK_TIMEOUT
        assert status is not h._status and h.status() is not h.status()
        block.release()
        wait_done(h)

    @pytest.mark.parametrize("era_config", [None, {"market_id": 1}])
    def test_era_zero_without_configured_era(self, ss, era_config):
        w = Wiring().wire(ss, era_config=era_config)
        block = w.log.block("auth.get_wallet_secret")
        h = start_signal(ss)
        assert h.status().era_number == 0
        block.release()
        wait_done(h)

    def test_set_phase_failures_are_logged_once_each(self, ss, caplog):
        w = Wiring().wire(ss)

        def set_phase(phase):
            if phase == "syncing":
                raise RuntimeError("phase sink down")
        w.log.returns("set_phase", compute=set_phase)
        caplog.set_level(logging.WARNING, logger="tallowmere.simulate_signal")
        result = collect(start_signal(ss))
        assert result.passed is True
        failing = w.log.of("set_phase")
        n_syncing = sum(1 for c in failing if c.args == ("syncing",))
        warnings = [r for r in caplog.records if r.name == "tallowmere.simulate_signal"]
        assert n_syncing == 3
        assert [r.getMessage() for r in warnings] == \
            ["Failed to set simulation phase 'syncing': phase sink down"] * n_syncing
        assert all(r.levelno == logging.WARNING for r in warnings)


class TestResult:
    def test_failure_is_raised_every_time_and_released_once(self, ss):
        w = Wiring().wire(ss)
        boom = ValueError("backtest exploded")
        w.log.fail("backtester.run_backtest", boom)
        h = wait_done(start_signal(ss))
        for _ in range(2):
            with pytest.raises(ValueError) as info:
                h.result()
            assert info.value is boom
        assert w.log.count("sync_manager.release") == 1
        assert w.log.count("search_tracker.record_signal_evaluation") == 0
        status = h.status()
        assert (status.phase, status.progress, status.message) == \
            ("error", 0.0, "Error: backtest exploded")

    def test_tracker_failure_leaves_result_for_a_later_call(self, ss):
        w = Wiring().wire(ss)
        boom = OSError("tracker offline")
        w.log.fail("search_tracker.record_signal_evaluation", boom)
        h = wait_done(start_signal(ss))
        with pytest.raises(OSError) as info:
            h.result()
        assert info.value is boom
        assert h._pending_recording is None and h._result_retrieved is False
        assert w.log.count("sync_manager.release") == 0
        assert h.result() is h._result
        assert w.log.count("search_tracker.record_signal_evaluation") == 1
        assert w.log.count("sync_manager.release") == 1

    def test_release_failure_propagates_and_is_not_retried(self, ss):
        w = Wiring().wire(ss)
        boom = OSError("release failed")
        w.log.fail("sync_manager.release", boom)
        h = wait_done(start_signal(ss))
        with pytest.raises(OSError):
            h.result()
        assert h._released is True
        assert h.result() is h._result
        assert w.log.count("sync_manager.release") == 1

    def test_stored_error_traceback_does_not_grow(self, ss):
        w = Wiring().wire(ss)
        w.log.fail("backtester.run_backtest", ValueError("backtest exploded"))
        h = wait_done(start_signal(ss))

        def depth():
            try:
                h.result()
            except ValueError as exc:
                tb, n = exc.__traceback__, 0
                while tb is not None:
                    tb, n = tb.tb_next, n + 1
                return n
        assert len({depth() for _ in range(3)}) == 1

    def test_payload_is_dropped_after_the_lock_is_released(self, ss):
        Wiring().wire(ss)
        h = wait_done(start_signal(ss))
        seen = []

        class Payload:  # an empty mapping whose finalizer asks for the status
            def keys(self):
                return []

            def __del__(self):
                seen.append(h.status().phase)

        h._pending_recording = ("SIGNAL", Payload())
        thread, outcome = run_in_thread(h.result)
        thread.join(BLOCK_TIMEOUT)
        assert not thread.is_alive(), "result() deadlocked on the payload's finalizer"
        assert "value" in outcome and seen == ["complete"]

    def test_never_collected_keeps_its_acquisition(self, ss):
        w = Wiring().wire(ss)
        h = wait_done(start_signal(ss))
        assert h.status().phase == "complete"
        assert h._pipeline_acquired is True and h._released is False
        assert h._pending_recording is not None
        assert w.log.count("sync_manager.release") == 0
        assert w.log.count("search_tracker.record_signal_evaluation") == 0

class TestCancel:
    @pytest.mark.parametrize("held_call, next_absent", [
        ("auth.get_wallet_secret", "sync_manager.acquire"),
        ("sync_manager.acquire", "sync_manager.request_for_sync"),
        ("sync_manager.request_feature_files_for_sync", "sync_manager.request_for_sync"),
        ("sync_manager.request_for_sync", "vault.init_if_needed"),
        ("backtester.init_reconstruction", "graph_validator.validate"),
        ("backtester.run_backtest", "correlate_per_pool"),
        ("compute_mi_per_pool", "era_thread.get_current_era_number"),
    ])
    def test_cancel_during_run(self, ss, held_call, next_absent):
        w = Wiring().wire(ss)
        block = w.log.block(held_call)
        h = start_signal(ss)
        assert block.wait_entered()
        h.cancel()
        status = h.status()
        assert (status.phase, status.progress, status.message) == \
            ("cancelled", 0.0, "Simulation cancelled by user.")
        assert h._done_event.is_set()            # set at once, before the pipeline ends
        assert h._thread.is_alive()
        block.release()
        wait_done(h)
        with pytest.raises(ss.CancelledError) as info:
            h.result()
        assert str(info.value) == "Simulation cancelled"
        assert w.log.count(next_absent) == 0
        assert h._result is None
        assert w.log.count("search_tracker.record_signal_evaluation") == 0
        # acquire() returns before the next checkpoint, so only a run
        # cancelled before it holds nothing to release.
        expected_release = 0 if held_call == "auth.get_wallet_secret" else 1
        assert w.log.count("sync_manager.release") == expected_release

    def test_cancel_after_completion_discards_the_record(self, ss):
        w = Wiring().wire(ss)
        h = wait_done(start_signal(ss))
        h.cancel()
        assert h._pending_recording is None
        with pytest.raises(ss.CancelledError):
            h.result()
        assert w.log.count("search_tracker.record_signal_evaluation") == 0
        assert w.log.count("sync_manager.release") == 1

    def test_cancel_after_failure_replaces_the_error(self, ss):
        w = Wiring().wire(ss)
        w.log.fail("vault.init_if_needed", ValueError("vault broke"))
        h = wait_done(start_signal(ss))
        h.cancel()
        with pytest.raises(ss.CancelledError):
            h.result()

    def test_cancel_after_result_and_twice_changes_nothing(self, ss):
        Wiring().wire(ss)
        h = start_signal(ss)
        result = collect(h)
        h.cancel()
        assert h.status().phase == "complete" and h.result() is result

        h2 = wait_done(start_signal(ss))
        h2.cancel()
        first_error = h2._error
        h2.cancel()
        assert h2._error is first_error

    def test_status_and_cancel_respond_while_result_blocks(self, ss):
        w = Wiring().wire(ss)
        block = w.log.block("backtester.run_backtest")
        h = start_signal(ss)
        assert block.wait_entered()
        waiter, outcome = run_in_thread(h.result)
        poller, polled = run_in_thread(lambda: (h.status().phase, h.cancel(), h.status().phase))
        poller.join(BLOCK_TIMEOUT)
        assert not poller.is_alive(), "status()/cancel() blocked behind result()"
        assert polled["value"][2] == "cancelled"
        assert waiter.is_alive()
        block.release()
        waiter.join(BLOCK_TIMEOUT)
        assert not waiter.is_alive()
        assert isinstance(outcome["error"], ss.CancelledError)


class TestHandlersAndExit:
    def test_cancelled_error_is_a_new_instance(self, ss):
        w = Wiring().wire(ss)
        block = w.log.block("sync_manager.acquire")
        h = start_signal(ss)
        assert block.wait_entered()
        h.cancel()
        set_by_cancel = h._error
        block.release()
        wait_done(h)
        assert isinstance(h._error, ss.CancelledError) and h._error is not set_by_cancel

    def test_status_update_failing_in_the_handler_still_runs_the_exit_block(
            self, ss, monkeypatch):
        w = Wiring().wire(ss)
        escaped = []
        monkeypatch.setattr(threading, "excepthook", lambda args: escaped.append(args.exc_value))
        original = ss.SimulationHandle._update_status

        def update(handle, phase, progress=0.0, message=""):
            if phase == "error":
                raise LookupError("status sink broken")
            return original(handle, phase, progress, message)
        monkeypatch.setattr(ss.SimulationHandle, "_update_status", update)
        w.log.fail("vault.init_if_needed", ValueError("vault broke"))
        h = start_signal(ss)
        h._thread.join(BLOCK_TIMEOUT)
        assert [str(e) for e in escaped] == ["status sink broken"]
        assert h._done_event.is_set() and h._pipeline_acquired is True
