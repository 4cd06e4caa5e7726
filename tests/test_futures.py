"""The handle as a future: done/running/cancelled/exception/result(timeout),
done callbacks, await under asyncio, and its repr."""
import asyncio
import logging
import random
import threading

import pytest

from doubles import BLOCK_TIMEOUT, Wiring, start_signal, wait_done

SHORT = 0.02


def real_threads():
    """Threads started through threading (not its stand-ins for other threads)."""
    return {t for t in threading.enumerate() if type(t).__name__ != "_DummyThread"}


def outcome(fn, *args, **kwargs):
    try:
        return ("value", fn(*args, **kwargs))
    except BaseException as exc:  # noqa: B902 - the outcome is what is compared
        return ("raised", type(exc).__name__)


def at_moment(ss, moment):
    """A handle at `moment`, with its wiring and the block holding it (if any)."""
    w = Wiring().wire(ss)
    block = None
    if moment == "before acquisition":
        block = w.log.block("sync_manager.acquire")
    if moment in ("mid-run", "cancelled mid-run"):
        block = w.log.block("backtester.run_backtest")
    if moment == "failed":
        w.log.fail("backtester.run_backtest", ValueError("backtest exploded"))
    h = start_signal(ss)
    if block is not None:
        assert block.wait_entered()
    if moment == "cancelled mid-run":
        h.cancel()
    if moment in ("succeeded", "failed", "after result()"):
        wait_done(h)
    if moment == "after result()":
        h.result()
    return w, h, block


# moment -> done, running, cancelled, exception(timeout), result(timeout)
MEANINGS = {
    "before acquisition": (False, True, False, ("raised", "TimeoutError"),
                           ("raised", "TimeoutError")),
    "mid-run": (False, True, False, ("raised", "TimeoutError"), ("raised", "TimeoutError")),
    "succeeded": (True, False, False, ("value", None), ("value", "result")),
    "failed": (True, False, False, ("value", "error"), ("raised", "ValueError")),
    "cancelled mid-run": (True, False, True, ("raised", "TimeoutError"),
                          ("raised", "TimeoutError")),
    "after result()": (True, False, False, ("value", None), ("value", "result")),
}


@pytest.mark.parametrize("moment", MEANINGS)
def test_meanings_at_each_moment(ss, moment):
    w, h, block = at_moment(ss, moment)
    try:
        done, running, cancelled, exception, result = MEANINGS[moment]
        assert (h.done(), h.running(), h.cancelled()) == (done, running, cancelled)
        got = outcome(h.exception, timeout=SHORT)
        if exception == ("value", "error"):
            assert got[0] == "value" and isinstance(got[1], ValueError)
        else:
            assert got == exception
        got = outcome(h.result, timeout=SHORT)
        assert got == (result if result != ("value", "result") else ("value", h._result))
        if block is not None:
            # A time-out changed nothing: the run goes on and is collected as usual.
            assert w.log.count("sync_manager.release") == 0 and h._pending_recording is None
            block.release()
            wait_done(h)
            if moment != "cancelled mid-run":
                assert h.result(timeout=BLOCK_TIMEOUT).passed
            assert isinstance(h.exception(), ss.CancelledError) is (moment == "cancelled mid-run")
            assert w.log.count("sync_manager.release") <= 1
    finally:
        if block is not None:
            block.release()


def test_callbacks_once_under_concurrent_cancel_and_completion(ss):
    Wiring().wire(ss)
    rng = random.Random(7)
    calls = []
    handles = [start_signal(ss) for _ in range(60)]
    for h in handles:
        h.add_done_callback(calls.append)
    cancellers = [threading.Thread(target=h.cancel) for h in handles if rng.random() < 0.5]
    for t in cancellers:
        t.start()
    for t in cancellers:
        t.join(BLOCK_TIMEOUT)
    for h in handles:
        wait_done(h)
        h.add_done_callback(calls.append)   # after the end: called at once
    assert sorted(map(id, calls)) == sorted(map(id, handles * 2))
    assert all(h.cancelled() == isinstance(h._error, ss.CancelledError) for h in handles)


def test_a_failing_callback_is_logged_and_the_run_goes_on(ss, caplog):
    caplog.set_level(logging.WARNING, logger="tallowmere.simulate_signal")
    Wiring().wire(ss)
    h = start_signal(ss)
    h.add_done_callback(lambda handle: 1 / 0)
    assert wait_done(h).result().passed
    assert any("ZeroDivisionError" in r.getMessage() for r in caplog.records)


def test_hundreds_awaited_at_once(ss):
    Wiring().wire(ss)
    threads_before = real_threads()

    async def main():
        return await asyncio.wait_for(
            asyncio.gather(*(start_signal(ss) for _ in range(300))), BLOCK_TIMEOUT)
    results = asyncio.run(main())
    assert len(results) == 300 and all(r.passed for r in results)
    # No thread was parked for an awaiting task.
    assert real_threads() <= threads_before


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
    wait_done(h)
    with pytest.raises(ss.CancelledError):
        h.result()


def test_awaiting_a_failed_run_raises_its_error(ss):
    w = Wiring().wire(ss)
    boom = ValueError("backtest exploded")
    w.log.fail("backtester.run_backtest", boom)

    async def main():
        return await start_signal(ss)
    with pytest.raises(ValueError) as info:
        asyncio.run(main())
    assert info.value is boom


def test_repr_says_what_runs(ss):
    Wiring().wire(ss)
    h = wait_done(start_signal(ss))
    assert repr(h) == "<SimulationHandle signal u1 pool='sp1' phase='complete'>"
