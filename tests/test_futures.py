"""The handle as a future, with concurrent.futures.Future's meanings: every
method at every moment of a run, the done callbacks, time-outs read as Future
reads them, await under asyncio, future() with the standard library's own
tools, and the pipeline thread as the threading module sees it."""
import asyncio
import concurrent.futures as cf
import fractions
import logging
import threading

import pytest

from doubles import BLOCK_TIMEOUT, Wiring, start_signal, wait_done

SHORT = 0.02


def outcome(fn, *args, **kwargs):
    try:
        return ("value", fn(*args, **kwargs))
    except BaseException as exc:  # noqa: B902 - the outcome is what is compared
        return ("raised", type(exc).__name__)


def meanings(h):
    """done, running, cancelled, exception(0) and result(0) of a handle, by name."""
    exc = outcome(h.exception, 0)
    exc = exc if exc[0] == "raised" or exc[1] is None else ("value", type(exc[1]).__name__)
    res = outcome(h.result, 0)
    res = res if res[0] == "raised" else ("value", type(res[1]).__name__)
    return h.done(), h.running(), h.cancelled(), exc, res


WAITING = (False, True, False, ("raised", "TimeoutError"), ("raised", "TimeoutError"))
SUCCEEDED = (True, False, False, ("value", None), ("value", "SimulationResult"))
FAILED = (True, False, False, ("value", "ValueError"), ("raised", "ValueError"))
CANCELLED = (True, False, True, ("value", "CancelledError"), ("raised", "CancelledError"))

# moment -> meanings at that moment, whether a callback added then is called at
# once, and the meanings once the run has gone on to its end.
MOMENTS = {
    "before acquisition": (WAITING, False, SUCCEEDED),
    "mid-run": (WAITING, False, SUCCEEDED),
    "cancelled, not yet noticed": (WAITING, False, CANCELLED),
    "succeeded": (SUCCEEDED, True, SUCCEEDED),
    "failed": (FAILED, True, FAILED),
    "cancelled": (CANCELLED, True, CANCELLED),
    "after result()": (SUCCEEDED, True, SUCCEEDED),
    "cancelled after success": (CANCELLED, True, CANCELLED),
}


def at_moment(ss, moment):
    """A handle at `moment`, with its wiring and the block holding it (if any)."""
    w = Wiring().wire(ss)
    block = None
    if moment == "before acquisition":
        block = w.log.block("sync_manager.acquire")
    if moment in ("mid-run", "cancelled, not yet noticed", "cancelled"):
        block = w.log.block("backtester.run_backtest")
    if moment == "failed":
        w.log.fail("backtester.run_backtest", ValueError("backtest exploded"))
    h = start_signal(ss)
    if block is not None:
        assert block.wait_entered()
    if moment.startswith("cancelled") and moment != "cancelled after success":
        h.cancel()
    if moment == "cancelled":
        block.release()
        block = None
    if block is None:
        wait_done(h)
    if moment == "after result()":
        h.result()
    if moment == "cancelled after success":
        h.cancel()
    return w, h, block


@pytest.mark.parametrize("moment", MOMENTS)
def test_each_method_at_each_moment(ss, moment):
    now, at_once, at_end = MOMENTS[moment]
    w, h, block = at_moment(ss, moment)
    try:
        calls = []
        assert meanings(h) == now
        h.add_done_callback(calls.append)
        assert calls == ([h] if at_once else [])
        if block is not None:
            # A time-out changed nothing: the run goes on and is collected as usual.
            assert w.log.count("sync_manager.release") == 0 and h._pending_recording is None
            block.release()
            wait_done(h)
            assert calls == [h]
        assert meanings(h) == at_end
        assert w.log.count("sync_manager.release") <= 1
    finally:
        if block is not None:
            block.release()


@pytest.mark.parametrize("ending", ["succeeded", "failed", "cancelled"])
def test_inside_a_callback_the_run_has_ended(ss, ending):
    w = Wiring().wire(ss)
    block = w.log.block("backtester.run_backtest")
    if ending == "failed":
        w.log.fail("backtester.run_backtest", ValueError("backtest exploded"))
    h = start_signal(ss)
    seen = []
    h.add_done_callback(lambda handle: seen.append(
        (meanings(handle), outcome(handle.result), threading.current_thread() is h._thread)))
    assert block.wait_entered()
    if ending == "cancelled":
        h.cancel()
    block.release()
    wait_done(h)
    expected = {"succeeded": SUCCEEDED, "failed": FAILED, "cancelled": CANCELLED}[ending]
    assert seen[0][0] == expected and seen[0][2] is True
    assert seen[0][1][0] == ("value" if ending == "succeeded" else "raised")
    assert w.log.count("sync_manager.release") == 1


def test_callbacks_once_in_order_whatever_they_raise(ss, caplog):
    caplog.set_level(logging.WARNING, logger="tallowmere.simulate_signal")
    w = Wiring().wire(ss)
    block = w.log.block("backtester.run_backtest")
    h = start_signal(ss)
    calls = []

    def raising(exc):
        def callback(handle):
            calls.append(type(exc).__name__)
            raise exc
        return callback
    twice = lambda handle: calls.append("twice")  # noqa: E731
    h.add_done_callback(twice)      # first and last, both removed
    for exc in (KeyboardInterrupt(), SystemExit(3), ZeroDivisionError()):
        h.add_done_callback(raising(exc))
    h.add_done_callback(lambda handle: calls.append("last"))
    h.add_done_callback(twice)
    assert h.remove_done_callback(twice) == 2 and h.remove_done_callback(twice) == 0

    async def awaiting():
        return await asyncio.wait_for(h, BLOCK_TIMEOUT)

    async def main():
        task = asyncio.ensure_future(awaiting())
        await asyncio.sleep(0)
        block.release()
        return await task
    assert asyncio.run(main()).passed
    wait_done(h)
    assert calls == ["KeyboardInterrupt", "SystemExit", "ZeroDivisionError", "last"]
    assert sum("raised" in r.getMessage() for r in caplog.records) == 3
    with pytest.raises(TypeError):
        h.add_done_callback(42)
    with pytest.raises(KeyboardInterrupt):  # called at once: an interrupt reaches the caller
        h.add_done_callback(raising(KeyboardInterrupt()))


def test_a_callback_for_a_closed_loop_is_dropped_with_a_warning(ss, caplog):
    caplog.set_level(logging.WARNING, logger="tallowmere.simulate_signal")
    w = Wiring().wire(ss)
    block = w.log.block("backtester.run_backtest")
    h, calls = start_signal(ss), []

    async def register():
        h.add_done_callback(calls.append)
    asyncio.run(register())   # its loop is closed once it returns
    assert block.wait_entered()
    block.release()
    assert wait_done(h).result().passed and calls == []
    assert any("Event loop is closed" in r.getMessage() for r in caplog.records)


def test_callbacks_once_under_concurrent_cancel_and_completion(ss):
    Wiring().wire(ss)
    calls = []
    handles = [start_signal(ss) for _ in range(60)]
    for h in handles:
        h.add_done_callback(calls.append)
    cancellers = [threading.Thread(target=h.cancel) for h in handles[::2]]
    for t in cancellers:
        t.start()
    for t in cancellers:
        t.join(BLOCK_TIMEOUT)
    for h in handles:
        wait_done(h)
        h.add_done_callback(calls.append)   # after the end: called at once
    assert sorted(map(id, calls)) == sorted(map(id, handles * 2))
    assert all(h.cancelled() == isinstance(h._error, ss.CancelledError) for h in handles)


# --- Time-outs ---------------------------------------------------------------------------

@pytest.mark.parametrize("timeout", [0, -1, float("nan"), float("inf"), 1e20, 10 ** 30, "abc",
                                     fractions.Fraction(1, 100), None])
@pytest.mark.parametrize("method", ["result", "exception"])
def test_timeouts_read_as_future_reads_them(ss, method, timeout):
    w = Wiring().wire(ss)
    block = w.log.block("backtester.run_backtest")
    h = start_signal(ss)
    try:
        assert block.wait_entered()
        future = cf.Future()
        if timeout is None:
            threading.Timer(SHORT, block.release).start()
            assert outcome(getattr(h, method), timeout) == (
                ("value", h._result) if method == "result" else ("value", None))
            return

        def error(fn):
            try:
                fn(timeout)
            except Exception as exc:  # noqa: B902 - compared with Future's
                return type(exc), str(exc) if not isinstance(exc, TimeoutError) else ""
        assert error(getattr(h, method)) == error(getattr(future, method))
        assert not h.done() and h._pending_recording is None
    finally:
        block.release()
    wait_done(h)
    assert h.result(SHORT).passed and h.exception(SHORT) is None


# --- asyncio -------------------------------------------------------------------------------

def mixed_runs(ss):
    """A run that succeeds, one that fails, and one held until released."""
    w = Wiring().wire(ss)
    w.log.fail("backtester.run_backtest", ValueError("exploded"), call=2)
    ok = wait_done(start_signal(ss))
    failed = wait_done(start_signal(ss))
    block = w.log.block("backtester.run_backtest")
    held = start_signal(ss)
    assert block.wait_entered()
    return ok, failed, held, block


@pytest.mark.parametrize("return_when, done_names", [
    (asyncio.FIRST_COMPLETED, {"ok", "failed"}),
    (asyncio.FIRST_EXCEPTION, {"ok", "failed"}),
    (asyncio.ALL_COMPLETED, {"ok", "failed", "held"}),
])
def test_asyncio_wait(ss, return_when, done_names):
    ok, failed, held, block = mixed_runs(ss)
    names = {ok: "ok", failed: "failed", held: "held"}
    loop_thread = []
    held.add_done_callback(lambda h: loop_thread.append(threading.current_thread()))

    async def main():
        if return_when == asyncio.ALL_COMPLETED:
            asyncio.get_running_loop().call_later(SHORT, block.release)
        # A callback added from a running loop is delivered on that loop.
        held.add_done_callback(lambda h: loop_thread.append(threading.current_thread()))
        return await asyncio.wait({ok, failed, held}, timeout=BLOCK_TIMEOUT,
                                  return_when=return_when)
    try:
        done, pending = asyncio.run(main())
        assert {names[h] for h in done} == done_names
        assert {names[h] for h in pending} == {"ok", "failed", "held"} - done_names
    finally:
        block.release()
    wait_done(held)
    if return_when == asyncio.ALL_COMPLETED:
        assert loop_thread == [held._thread, threading.main_thread()]


def test_awaiting_tasks_wake_before_slow_callbacks(ss):
    w = Wiring().wire(ss)
    block = w.log.block("backtester.run_backtest")
    w.log.fail("backtester.run_backtest", ValueError("exploded"))
    h = start_signal(ss)
    slow_done = threading.Event()
    h.add_done_callback(lambda handle: slow_done.wait(BLOCK_TIMEOUT))

    async def main():
        task = asyncio.ensure_future(asyncio.wait_for(h, BLOCK_TIMEOUT))
        await asyncio.sleep(0)
        block.release()
        with pytest.raises(ValueError):
            await task
        return slow_done.is_set()
    try:
        assert asyncio.run(main()) is False   # woken while the slow callback still ran
    finally:
        slow_done.set()
        block.release()
    wait_done(h)


def test_asyncio_tools_on_handles(ss):
    ok, failed, held, block = mixed_runs(ss)

    async def main():
        first = [await f for f in asyncio.as_completed([ok])]
        both = await asyncio.gather(ok, failed, return_exceptions=True)
        async with asyncio.timeout(BLOCK_TIMEOUT):
            shielded = await asyncio.shield(ok)
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(held, SHORT)   # its task is cancelled: so is the run
        return first, both, shielded
    try:
        first, both, shielded = asyncio.run(main())
    finally:
        block.release()
    assert first[0] is both[0] is shielded is ok.result()
    assert isinstance(both[1], ValueError)
    assert wait_done(held).cancelled()


def test_hundreds_awaited_at_once(ss):
    Wiring().wire(ss)
    before = set(threading.enumerate())

    async def main():
        return await asyncio.wait_for(
            asyncio.gather(*(start_signal(ss) for _ in range(300))), BLOCK_TIMEOUT)
    results = asyncio.run(main())
    assert len(results) == 300 and all(r.passed for r in results)
    # No thread was parked for an awaiting task.
    for t in set(threading.enumerate()) - before:
        t.join(BLOCK_TIMEOUT)
    assert set(threading.enumerate()) <= before


def test_cancelling_the_awaiting_task_cancels_the_run(ss):
    w = Wiring().wire(ss)
    block = w.log.block("backtester.run_backtest")
    h = start_signal(ss)

    async def main():
        task = asyncio.ensure_future(_await(h))
        await asyncio.sleep(0)
        assert await asyncio.to_thread(block.wait_entered)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await asyncio.wait_for(task, BLOCK_TIMEOUT)

    async def _await(handle):
        return await handle
    try:
        asyncio.run(main())
        assert h.status().phase == "cancelled"
    finally:
        block.release()
    with pytest.raises(ss.CancelledError):
        wait_done(h).result()


# --- future() ------------------------------------------------------------------------------

def test_future_with_concurrent_futures_tools(ss):
    ok, failed, held, block = mixed_runs(ss)
    assert ok.future() is ok.future()
    try:
        done, pending = cf.wait([ok.future(), failed.future(), held.future()],
                                timeout=BLOCK_TIMEOUT, return_when=cf.FIRST_EXCEPTION)
        assert done == {ok.future(), failed.future()} and pending == {held.future()}
        block.release()
        finished = list(cf.as_completed([held.future()], timeout=BLOCK_TIMEOUT))
    finally:
        block.release()
    assert finished == [held.future()] and held.future().result().passed
    assert ok.future().result() is ok.result()
    assert isinstance(failed.future().exception(), ValueError)

    async def wrapped():
        return await asyncio.wrap_future(ok.future())
    assert asyncio.run(wrapped()) is ok.result()


@pytest.mark.parametrize("through", ["future", "handle"])
def test_future_of_a_cancelled_run(ss, through):
    w = Wiring().wire(ss)
    block = w.log.block("backtester.run_backtest")
    h = start_signal(ss)
    future = h.future()
    try:
        assert block.wait_entered()
        if through == "future":
            assert future.cancel() is True
        else:
            h.cancel()
        assert h.status().phase == "cancelled"
    finally:
        block.release()
    wait_done(h)
    assert h.cancelled() and future.cancelled()
    assert cf.wait([future], timeout=BLOCK_TIMEOUT).done == {future}
    assert w.log.count("search_tracker.record_signal_evaluation") == 0


def test_future_result_records_and_releases_once(ss):
    w = Wiring().wire(ss)
    h = start_signal(ss)
    assert h.future().result(BLOCK_TIMEOUT) is h.result()
    assert w.log.count("search_tracker.record_signal_evaluation") == 1
    assert w.log.count("sync_manager.release") == 1


# --- The pipeline thread and the threading module ------------------------------------------

def test_pipeline_thread_is_a_thread_while_it_runs(ss):
    w, seen = Wiring(), []
    w.patches["_set_phase"] = lambda phase: seen.append(
        (threading.current_thread(), threading.get_native_id()))
    w.wire(ss)
    block = w.log.block("backtester.run_backtest")
    h = start_signal(ss)
    assert block.wait_entered()
    listed = h._thread in threading.enumerate()
    assert isinstance(h._thread, threading.Thread) and h._thread.daemon
    assert h._thread.native_id == seen[0][1] and h._thread.name in repr(h._thread)
    assert h._thread.name == f"SimulationHandle-{h._thread.ident}" and h._thread.ident
    h._thread.join(SHORT)
    assert h._thread.is_alive()
    block.release()
    h._thread.join(BLOCK_TIMEOUT)
    assert listed and not h._thread.is_alive() and h._thread not in threading.enumerate()
    assert seen and all(t is h._thread for t, _ in seen)


def test_threading_lists_only_running_pipelines(ss):
    Wiring().wire(ss)
    ss._set_phase = lambda phase: threading.current_thread()
    before = set(threading.enumerate())
    handles = [start_signal(ss) for _ in range(40)]
    for h in handles:
        h.add_done_callback(lambda handle: threading.current_thread())
    # The usual shutdown loop: join every thread started since.
    for t in set(threading.enumerate()) - before:
        t.join(BLOCK_TIMEOUT)
    assert all(h.done() for h in handles) and set(threading.enumerate()) <= before


def test_repr_says_what_runs(ss):
    Wiring().wire(ss)
    h = wait_done(start_signal(ss))
    assert repr(h) == "<SimulationHandle signal u1 pool='sp1' phase='complete'>"
