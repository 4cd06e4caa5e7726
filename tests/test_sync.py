"""The first pipeline stretch: graph kind, dependencies, acquisition, progress,
feature files, the shared single-flight data sync, market and era."""
import threading

import pytest

import doubles as d
from doubles import (BLOCK_TIMEOUT, StatusLog, Wiring, collect, failure_of, start_signal,
                     start_strategy, wait_done)


@pytest.fixture
def status_log(ss, monkeypatch):
    return StatusLog.install(monkeypatch, ss)


class SyncManagerWithoutFeatureHook(d.SyncManager):
    def __getattribute__(self, name):
        if name == "request_feature_files_for_sync":
            raise AttributeError(name)
        return super().__getattribute__(name)


class TestGraphKindAndDependencies:
    @pytest.mark.parametrize("expression_type, graph, message", [
        ("SIGNAL", d.strategy_graph,
         "simulate_signal only accepts signal graphs (rotation/feature nodes only). Strategy "
         "simulation is deferred in the v1 public SDK."),
        ("STRATEGY", d.signal_graph,
         "Strategy graph must contain at least one filtration node. Use simulate_signal() for "
         "signal graphs."),
    ])
    def test_wrong_graph_kind_fails_before_anything(self, ss, status_log, monkeypatch,
                                                    expression_type, graph, message):
        w = Wiring().wire(ss)
        checks = []
        original = ss.SimulationHandle._check_cancelled
        monkeypatch.setattr(ss.SimulationHandle, "_check_cancelled",
                            lambda h: (checks.append(1), original(h))[1])
        pool_id = "stp1" if expression_type == "STRATEGY" else "sp1"
        h = ss.SimulationHandle(graph(), "u1", expression_type, selected_pool_id=pool_id)
        error = failure_of(h)
        assert type(error) is ValueError and str(error) == message
        assert w.log.names() == ["set_phase"]          # the "error" phase only
        assert checks == []
        assert status_log.updates == [("error", 0.0, "Error: " + message)]
        assert h._pipeline_acquired is False

    def test_other_expression_type_is_not_checked(self, ss, monkeypatch):
        Wiring().wire(ss)
        asked = []
        monkeypatch.setattr(ss, "_has_filtration_runtime_graph", lambda g: asked.append(g))
        h = ss.SimulationHandle(d.strategy_graph(), "u1", "CUSTOM", selected_pool_id="sp1")
        wait_done(h)
        assert asked == []
        assert h._selected_pool_kind == "signal"
        assert h._config_era_number == d.ERA_NUMBER

    @pytest.mark.parametrize("missing", ["auth", "sync_manager"])
    def test_unwired_dependency(self, ss, missing):
        w = Wiring().wire(ss)
        setattr(ss, "_" + missing, None)
        error = failure_of(start_signal(ss))
        assert type(error) is RuntimeError
        assert str(error) == ("Pipeline dependencies not initialized. Call register() or "
                              "login() first.")
        assert w.log.count("auth.get_wallet_secret") == 0

    def test_never_wired_module(self, ss):
        h = ss.SimulationHandle(d.signal_graph(), "u1", "SIGNAL", selected_pool_id="sp1")
        error = failure_of(h)
        assert isinstance(error, RuntimeError)
        assert h._config_era_number == 0
        assert h.status().era_number == 0


class TestAcquisitionAndProgress:
    def test_phases_and_calls_in_order(self, ss, status_log):
        w = Wiring().wire(ss)
        h = start_signal(ss)
        wait_done(h)
        assert status_log.updates[:4] == [
            ("syncing", 0.0, "Syncing data from server..."),
            ("syncing", 0.5, "Syncing data... 512/1024 bytes downloaded"),
            ("syncing", 0.0, "Syncing graph feature data from server..."),
            ("initializing", 0.0, "Initializing vault and loading vocabulary for era 12..."),
        ]
        assert w.log.names()[:6] == [
            "auth.get_wallet_secret", "set_phase", "sync_manager.acquire", "set_phase",
            "set_phase", "sync_manager.request_feature_files_for_sync"]
        request = w.log.last("sync_manager.request_feature_files_for_sync")
        assert request.args == (("close", "volume"),)
        assert request.kwargs == {"expression_type": "SIGNAL", "named_universe": "u1"}
        assert w.log.last("sync_manager.request_for_sync").args == ()
        assert h._acquired is True and h._pipeline_acquired is True
        assert h._config_era_number == d.ERA_NUMBER

    @pytest.mark.parametrize("downloaded, total, expected", [
        (512, 1024, (0.5, "Syncing data... 512/1024 bytes downloaded")),
        (3000, 1000, (3.0, "Syncing data... 3000/1000 bytes downloaded")),
        (1.5, 6.0, (0.25, "Syncing data... 1.5/6.0 bytes downloaded")),
        ("512", 1024, (0.0, "Syncing data... 0/1024 bytes downloaded")),
        (512, 0, (0.0, "Syncing data from server...")),
        (512, -5, (0.0, "Syncing data from server...")),
        (512, None, (0.0, "Syncing data from server...")),
        (512, "1024", (0.0, "Syncing data from server...")),
        (512, "absent", (0.0, "Syncing data from server...")),
    ])
    def test_progress_snapshot(self, ss, status_log, downloaded, total, expected):
        w = Wiring().wire(ss)
        w.sync_manager.bytes_downloaded = downloaded
        if total == "absent":
            del w.sync_manager.total_bytes
        else:
            w.sync_manager.total_bytes = total
        wait_done(start_signal(ss))
        assert status_log.updates[1] == ("syncing",) + expected

    @pytest.mark.parametrize("case", ["no_features", "no_hook", "hook_not_callable"])
    def test_no_feature_request(self, ss, status_log, case):
        w = Wiring().wire(ss)
        graph = d.signal_graph()
        if case == "no_features":
            graph = d.FunctionGraphNode("rotation", "rank", [])
        elif case == "no_hook":
            w.sync_manager.__class__ = SyncManagerWithoutFeatureHook
        else:
            w.sync_manager.request_feature_files_for_sync = "not callable"
        wait_done(ss.simulate_signal(graph, "u1", signal_pool_id="sp1"))
        assert "Syncing graph feature data from server..." not in [u[2] for u in
                                                                   status_log.updates]
        assert w.log.count("sync_manager.request_feature_files_for_sync") == 0

    def test_status_carries_synced_era(self, ss):
        cfg = d.era_config()
        del cfg["era_number"]            # the run fails later, after the era is recorded
        w = Wiring().wire(ss, era_config=cfg)
        block = w.log.block("auth.get_wallet_secret")
        h = start_signal(ss)
        assert h.status().era_number == 0
        block.release()
        wait_done(h)
        assert h._config_era_number == 0
        assert h.status().era_number == d.ERA_NUMBER
        assert h.status().phase == "error"

    def test_market_era_must_be_a_pair(self, ss, monkeypatch):
        Wiring().wire(ss)
        monkeypatch.setattr(ss, "_derive_synced_market_era", lambda sm: (1, 12, 3))
        error = failure_of(start_signal(ss))
        assert type(error) is ValueError
        assert str(error) == "too many values to unpack (expected 2)"


class CountingEvent(threading.Event):
    """An Event that reports each waiter; ``answer`` (if set) is returned at once."""

    def __init__(self, answer=None):
        super().__init__()
        self.waits = []
        self.waiting = threading.Semaphore(0)
        self.answer = answer

    def wait(self, timeout=None):
        self.waits.append(timeout)
        self.waiting.release()
        if self.answer is not None:
            return self.answer
        return super().wait(timeout)


def wait_for_waiters(event, n):
    for _ in range(n):
        assert event.waiting.acquire(timeout=BLOCK_TIMEOUT), "waiter never arrived"


class TestSharedSync:
    def start_overlapping(self, ss, w, n_waiters, event):
        """One run syncing (blocked in request_for_sync) and n runs waiting on it."""
        ss._sync_event = event
        gate = w.log.block("sync_manager.request_for_sync")
        syncing = start_strategy(ss)
        assert gate.wait_entered()
        waiting = [start_strategy(ss) for _ in range(n_waiters)]
        wait_for_waiters(event, n_waiters)
        return gate, syncing, waiting

    def test_one_sync_shared_by_overlapping_runs(self, ss, monkeypatch):
        w = Wiring().wire(ss)
        seen = []
        monkeypatch.setattr(ss, "_load_synced_found_strategy_pnl_arrays",
                            lambda sync_result, raw_backtester=None: seen.append(sync_result)
                            or [])
        gate, syncing, waiting = self.start_overlapping(ss, w, 3, CountingEvent())
        gate.release()
        for h in [syncing] + waiting:
            assert collect(h).passed is True
        assert w.log.count("sync_manager.request_for_sync") == 1
        assert len(seen) == 4 and all(s is w.sync_result for s in seen)
        assert ss._sync_in_progress is False
        assert ss._sync_result_cache is w.sync_result
        assert ss._sync_exception_cache is None
        assert ss._sync_event.is_set()

    def test_failed_sync_fails_every_overlapping_run_with_the_same_exception(self, ss):
        w = Wiring().wire(ss)
        boom = ConnectionError("sync failed")
        w.log.fail("sync_manager.request_for_sync", boom)
        gate, syncing, waiting = self.start_overlapping(ss, w, 2, CountingEvent())
        gate.release()
        for h in [syncing] + waiting:
            assert failure_of(h) is boom
            assert h.status().message == "Error: sync failed"
        assert w.log.count("sync_manager.request_for_sync") == 1
        assert ss._sync_exception_cache is boom
        assert ss._sync_in_progress is False and ss._sync_event.is_set()

    def test_a_later_run_syncs_again_and_clears_the_cached_failure(self, ss):
        w = Wiring().wire(ss)
        boom = ConnectionError("sync failed")
        w.log.fail("sync_manager.request_for_sync", boom)
        assert failure_of(start_signal(ss)) is boom
        assert ss._sync_exception_cache is boom
        w.log.clear_behaviour("sync_manager.request_for_sync")
        assert collect(start_signal(ss)).passed is True
        assert w.log.count("sync_manager.request_for_sync") == 2
        assert ss._sync_exception_cache is None

    def test_waiter_times_out_after_30_seconds(self, ss):
        w = Wiring().wire(ss)
        ss._sync_in_progress = True          # another run is syncing
        ss._sync_event = event = CountingEvent(answer=False)
        error = failure_of(start_signal(ss))
        assert type(error) is ss.SyncError
        assert str(error) == "Timed out waiting for simulation data sync to complete"
        assert event.waits == [30]
        assert w.log.count("sync_manager.request_for_sync") == 0

    def test_syncing_run_outlives_a_timed_out_waiter(self, ss):
        w = Wiring().wire(ss)
        ss._sync_event = event = CountingEvent()
        gate = w.log.block("sync_manager.request_for_sync")
        syncing = start_signal(ss)
        assert gate.wait_entered()
        event.answer = False                  # the waiter's 30 s pass at once
        waiter = start_signal(ss)
        assert isinstance(failure_of(waiter), ss.SyncError)
        assert ss._sync_in_progress is True
        gate.release()
        assert collect(syncing).passed is True
        assert ss._sync_result_cache is w.sync_result
        assert ss._sync_in_progress is False
