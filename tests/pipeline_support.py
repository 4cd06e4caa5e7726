"""Shared helpers for the tests of the later pipeline stretches (graph
validation to the result): starting runs, watching phases, cancelling at a
chosen point."""
from types import SimpleNamespace

import doubles as d
from doubles import collect, wait_done

TIMEOUT = d.BLOCK_TIMEOUT


def start(ss, w, kind="signal", **kwargs):
    """Start a signal or strategy run on the wired doubles."""
    if kind == "signal":
        return ss.simulate_signal(w.signal_graph(), d.NAMED_UNIVERSE,
                                  signal_pool_id=d.SIGNAL_POOL_ID, **kwargs)
    return ss.simulate_strategy(w.strategy_graph(), d.NAMED_UNIVERSE,
                                strategy_pool_id=d.STRATEGY_POOL_ID, **kwargs)


def run(ss, w, kind="signal", **kwargs):
    """Run to the end and return the result (or raise the run's error)."""
    return collect(start(ss, w, kind, **kwargs))


def failure(ss, w, kind="signal", **kwargs):
    """Run to the end; return (handle, the exception that result() raises)."""
    handle = wait_done(start(ss, w, kind, **kwargs))
    try:
        handle.result()
    except Exception as exc:  # noqa: BLE001 - the run's stored error
        return handle, exc
    raise AssertionError("the run did not fail")


def signal_pool(w):
    return w.era_config["signal_pools"][0]


def strategy_pool(w):
    return w.era_config["strategy_pools"][0]


def cancel_after_phase(monkeypatch, ss, phase):
    """Cancel the handle right after its status moves to ``phase``, so the
    checkpoint that follows that status update is the one that stops it."""
    original = ss.SimulationHandle._update_status

    def update(handle, new_phase, progress=0.0, message=""):
        original(handle, new_phase, progress, message)
        if new_phase == phase:
            handle.cancel()

    monkeypatch.setattr(ss.SimulationHandle, "_update_status", update)


def cancel_during(ss, w, call_name, kind="signal", **kwargs):
    """Start a run, hold it inside ``call_name``, cancel, let it go on; returns
    the handle once its thread has ended."""
    gate = w.log.block(call_name)
    handle = start(ss, w, kind, **kwargs)
    assert gate.wait_entered(TIMEOUT), f"{call_name} was never called"
    handle.cancel()
    gate.release()
    return wait_done(handle)


class TimingRecorder:
    """Stands in for the backtest timing sibling module."""

    def __init__(self, row_count=2, max_row_elapsed=0.25):
        self.calls = []
        self._row_count = row_count
        self._max_row_elapsed = max_row_elapsed

    def extract_backtest_row_count(self, bt_result, **kwargs):
        self.calls.append(("extract_backtest_row_count", (bt_result,), kwargs))
        return self._row_count

    def extract_max_row_elapsed_seconds(self, bt_result, **kwargs):
        self.calls.append(("extract_max_row_elapsed_seconds", (bt_result,), kwargs))
        return self._max_row_elapsed

    def record_backtest_timing(self, *args, **kwargs):
        self.calls.append(("record_backtest_timing", args, kwargs))


def namespace(**kwargs):
    return SimpleNamespace(**kwargs)
