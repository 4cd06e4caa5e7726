"""Typed code that uses the module as an agent would; checked with ``mypy --strict``.

Never imported by the tests: test_typing.py runs mypy over it. The
``assert_type`` lines pin what the type checker infers, and each
``type: ignore[...]`` marks a misuse the checker must keep refusing
(``--strict`` reports an ignore that is no longer needed).
"""
import asyncio
from typing import Any, assert_type

import tallowmere.simulate_signal as ss
from tallowmere.simulate_signal import (CancelledError, SimulationHandle, SimulationResult,
                                        SimulationStatus)


def wire(collaborators: dict[str, Any]) -> None:
    ss.init_simulate_signal(**collaborators)
    ss.init_simulate_signal(None, None, None, None, None, None, era_config={"era_number": 1},
                            set_phase=print, signal_dir="/tmp/era")


def run_signal(graph: dict[str, object]) -> SimulationResult | None:
    handle = ss.simulate_signal(graph, named_universe="synth_broad", signal_pool_id="alpha",
                                metaparameters={"neutralize": "demean"}, fail_fast=False)
    assert_type(handle, SimulationHandle)
    status = handle.status()
    assert_type(status, SimulationStatus)
    phase: str = status.phase
    assert_type(status.progress, float)
    assert_type(status.elapsed_s, float)
    assert_type(status.era_number, int)
    try:
        result = handle.result()
    except CancelledError:
        return None
    assert_type(result.passed, bool)
    assert_type(result.failure_reason, str | None)
    assert_type(result.mi_passed, bool | None)
    assert_type(result.backtest_elapsed_seconds, float | None)
    sharpe: float = result.stats.sharpe  # collaborator values are Any
    print(f"{result.pool_kind} {sharpe:.2f}")
    return result


def run_strategy(graph: dict[str, object]) -> None:
    handle = ss.simulate_strategy(graph, strategy_pool_id="combo", include_mi=False)
    handle.cancel()
    assert_type(handle.cancel(), None)


def as_future(graph: dict[str, object]) -> SimulationResult | None:
    handle = ss.simulate_signal(graph, signal_pool_id="alpha")
    handle.add_done_callback(lambda h: print(h.cancelled(), h.exception()))
    assert_type(handle.remove_done_callback(print), int)
    assert_type(handle.future().result(1.0), SimulationResult)
    handle._thread.join(timeout=1.0)
    print(handle.done(), handle.running(), handle._thread.is_alive(), handle._thread.name)
    try:
        return handle.result(timeout=2.5)
    except TimeoutError:
        assert_type(handle.exception(timeout=None), BaseException | None)
        return None
    except (CancelledError, ss.SdkRuntimeNotReadyError, ss.EraError, ss.SyncError):
        return None


async def awaited(graph: dict[str, object]) -> bool:
    handles = [ss.simulate_signal(graph, signal_pool_id=pool) for pool in ("alpha", "beta")]
    results = await asyncio.gather(*handles)
    assert_type(results, list[SimulationResult])
    return all(result.passed for result in results)


def options(era_config: dict[str, Any]) -> list[str]:
    offered = ss.effective_simulation_options(era_config)
    names = [option["named_universe"] for option in offered["universe_options"]]
    rule_ids: list[int] = [option["rule_id"] for option in offered["universe_options"]]
    print(rule_ids, offered["engine_definitions"].keys())
    return names


def records() -> None:
    status = SimulationStatus("syncing", 0.5)
    assert status == SimulationStatus(phase="syncing", progress=0.5)
    result = SimulationResult(passed=False, failure_reason="thresholds")
    print(repr(result))


def misuse(graph: dict[str, object]) -> None:
    ss.simulate_signal(graph)  # type: ignore[call-arg]
    ss.simulate_signal(graph, signal_pool_id=7)  # type: ignore[arg-type]
    ss.simulate_signal(graph, signal_pool_id="alpha", strategy_pool_id="combo")  # type: ignore[call-arg]
    ss.simulate_strategy(graph, strategy_pool_id="combo", fail_fast="no")  # type: ignore[arg-type]
    ss.simulate_signal(graph, signal_pool_id="alpha").status().phase = 3  # type: ignore[assignment]
    ss.init_simulate_signal(None, None, None)  # type: ignore[call-arg]
    ss.effective_simulation_options({})["universe_options"][0]["rule"]  # type: ignore[typeddict-item]
    SimulationStatus(progress="half")  # type: ignore[arg-type]
    ss.simulate_signal(graph, signal_pool_id="alpha").status().phase == "completed"  # type: ignore[comparison-overlap]
    ss.simulate_signal(graph, signal_pool_id="alpha").result("soon")  # type: ignore[arg-type]
    ss.simulate_signal(graph, signal_pool_id="alpha").add_done_callback(records)  # type: ignore[arg-type]
