"""Handles as futures, on the reference runtime: several signal simulations
awaited together under asyncio with a live progress line, one cancelled
through its task; the first run to end taken from asyncio.wait, then the
rest; the runs' futures collected with concurrent.futures.as_completed; one
collected with result(timeout=...), one reported by a done callback.

    .venv/bin/python examples/futures_and_asyncio.py [--data-dir DIR]
"""
import argparse
import asyncio
import concurrent.futures
import sys
import tempfile
import threading
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # the repository root
import dev_paths  # noqa: E402,F401  (the stand-in package, the development build)

import tallowmere.simulate_signal as ss  # noqa: E402
from reference_runtime import build_runtime, feature, rotation  # noqa: E402

UNIVERSE = "synth_broad"
CANDIDATES = {
    "value, 20-date mean": rotation("rank", rotation("ts_mean_20", feature("value"))),
    "value, 5-date mean": rotation("rank", rotation("ts_mean_5", feature("value"))),
    "momentum": rotation("rank", feature("momentum_20")),
    "low volatility": rotation("rank", rotation("neg", feature("volatility_20"))),
}


def simulate(graph):
    return ss.simulate_signal(graph, named_universe=UNIVERSE, signal_pool_id="alpha")


def verdict(result):
    sharpe = result.per_column_stats.get("pnl_net_sharpe")
    passed = "passed" if result.passed else f"failed: {result.failure_reason}"
    return f"{passed}, Sharpe {sharpe:.2f}"


async def show_progress(handles):
    """One line, redrawn while any run is going: each run's phase."""
    while not all(h.done() for h in handles.values()):
        line = "  ".join(f"{name}: {h.status().phase}" for name, h in handles.items())
        print(f"\r{line[:150]:150}", end="", flush=True)
        await asyncio.sleep(0.02)
    print()


async def gather_with_one_cancelled():
    print("== asyncio.gather over the candidates; the last one's task is cancelled")
    handles = {name: simulate(graph) for name, graph in CANDIDATES.items()}
    tasks = {name: asyncio.ensure_future(_awaited(h)) for name, h in handles.items()}
    await asyncio.sleep(0)                  # every task is now awaiting its handle
    tasks[list(tasks)[-1]].cancel()         # cancelling the task cancels the run
    progress = asyncio.ensure_future(show_progress(handles))
    outcomes = await asyncio.gather(*tasks.values(), return_exceptions=True)
    await progress
    for (name, handle), result in zip(handles.items(), outcomes):
        if isinstance(result, BaseException):
            print(f"  {name:22} {type(result).__name__} (run {handle.status().phase})")
        else:
            print(f"  {name:22} {verdict(result)}")


async def _awaited(handle):
    return await handle


async def first_completed_then_the_rest():
    print("== asyncio.wait(FIRST_COMPLETED): the first run to end, then the rest")
    names = {simulate(graph): name for name, graph in CANDIDATES.items()}
    done, pending = await asyncio.wait(names, return_when=asyncio.FIRST_COMPLETED)
    for handle in done:                     # the handles themselves, as given
        print(f"  first  {names[handle]:22} {verdict(handle.result())}")
    rest = [handle for handle in names if handle in pending]
    for handle, result in zip(rest, await asyncio.gather(*rest)):
        print(f"  then   {names[handle]:22} {verdict(result)}")


def collected_through_futures():
    print("== handle.future() with concurrent.futures.as_completed, in the order the runs end")
    names = {simulate(graph).future(): name for name, graph in CANDIDATES.items()}
    for future in concurrent.futures.as_completed(names, timeout=60):
        print(f"  {names[future]:22} {verdict(future.result())}")


def collected_with_a_timeout():
    print("== result(timeout=...): TimeoutError while the run goes on, then the result")
    handle = simulate(CANDIDATES["momentum"])
    try:
        handle.result(timeout=0.0001)
        print("  the run had already ended")
    except TimeoutError:
        print("  TimeoutError: the run had not ended yet; nothing was recorded or released")
    result = handle.result(timeout=60)
    print(f"  then: passed={result.passed}")


def reported_by_a_callback():
    print("== add_done_callback: called once, when the run ends")
    finished = threading.Event()

    def report(handle):
        error = handle.exception()
        print(f"  callback: {handle!r} ended, error={error!r}")
        finished.set()

    simulate(CANDIDATES["value, 5-date mean"]).add_done_callback(report)
    finished.wait(60)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--data-dir", help="where the reference runtime keeps its data "
                        "(default: a temporary directory)")
    parser.add_argument("--seed", type=int, default=1, help="the synthetic market's seed")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as tmp:
        ss.init_simulate_signal(**build_runtime(args.data_dir or tmp, seed=args.seed))
        asyncio.run(gather_with_one_cancelled())
        asyncio.run(first_completed_then_the_rest())
        collected_through_futures()
        collected_with_a_timeout()
        reported_by_a_callback()


if __name__ == "__main__":
    main()
