"""Cancelling a simulation and handling each kind of error, on the reference runtime.

Where each error surfaces:

- bad caller input (a missing pool id, an unsafe named universe) raises
  ``ValueError`` from ``simulate_signal``/``simulate_strategy`` at once, on
  the caller's thread; no run starts;
- anything that goes wrong inside a run (a graph the validator refuses, a
  strategy graph given as a signal, missing wiring) ends the run: ``status()``
  says "error" and ``result()`` raises that very exception;
- ``cancel()`` ends a run at its next step: ``status()`` says "cancelled" at
  once and ``result()`` raises ``CancelledError``; nothing is recorded;
- ``EraError`` (from ``tallowmere.sync``): the era moved on while the run was
  going, so its figures belong to an era that is over;
- ``SdkRuntimeNotReadyError`` (from ``tallowmere.errors``): the synced era
  config lacks what is asked of it.

    .venv/bin/python examples/cancel_and_errors.py
"""
import os
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # the repository root
import dev_paths  # noqa: E402,F401  (the stand-in package, the development build)

import tallowmere.simulate_signal as ss  # noqa: E402
from reference_runtime import (build_runtime, example_signal_graph,  # noqa: E402
                               example_strategy_graph, feature, rotation)
from reference_runtime.tracker import read_records  # noqa: E402
from tallowmere.errors import SdkRuntimeNotReadyError  # noqa: E402
from tallowmere.sync import EraError  # noqa: E402

UNIVERSE = "synth_broad"


def section(title):
    print(f"\n== {title}")


def run_before_wiring():
    section("a run before init_simulate_signal: RuntimeError from result()")
    handle = ss.simulate_signal(example_signal_graph(), named_universe=UNIVERSE,
                                signal_pool_id="alpha")
    try:
        handle.result()
    except RuntimeError as exc:
        print(f"  RuntimeError: {exc}")


def bad_input():
    section("bad input: ValueError on the caller's thread, no run starts")
    try:
        ss.simulate_signal(example_signal_graph(), named_universe=UNIVERSE)
    except ValueError as exc:
        print(f"  no pool id       -> ValueError: {exc}")
    try:
        ss.simulate_signal(example_signal_graph(), named_universe="../synth_broad",
                           signal_pool_id="alpha")
    except ValueError as exc:
        print(f"  unsafe universe  -> ValueError: {exc}")


def errors_inside_the_run():
    section("errors inside the run: status() says 'error', result() re-raises")
    runs = {
        "unknown feature": lambda: ss.simulate_signal(
            rotation("rank", feature("sunspots")), named_universe=UNIVERSE,
            signal_pool_id="alpha"),
        "strategy graph as a signal": lambda: ss.simulate_signal(
            example_strategy_graph(), named_universe=UNIVERSE, signal_pool_id="alpha"),
        "unknown pool": lambda: ss.simulate_signal(
            example_signal_graph(), named_universe=UNIVERSE, signal_pool_id="gamma"),
    }
    for label, start in runs.items():
        handle = start()
        try:
            handle.result()
        except ValueError as exc:
            print(f"  {label}: status {handle.status().phase!r}; "
                  f"result() raised ValueError: {exc}")


def cancelling(runtime):
    section("cancel(): 'cancelled' at once, CancelledError from result(), nothing recorded")
    tracking_path = runtime["search_tracker"].path
    recorded_before = len(read_records(tracking_path)) if os.path.exists(tracking_path) else 0
    handle = ss.simulate_strategy(example_strategy_graph(), named_universe=UNIVERSE,
                                  strategy_pool_id="combo")
    handle.cancel()
    status = handle.status()
    print(f"  right after cancel(): phase {status.phase!r}, message {status.message!r}")
    try:
        handle.result()
    except ss.CancelledError as exc:
        print(f"  result() raised CancelledError: {exc}")
    recorded_after = len(read_records(tracking_path)) if os.path.exists(tracking_path) else 0
    print(f"  tracking records added: {recorded_after - recorded_before}; "
          f"sync holds left: {runtime['sync_manager'].holds}")
    handle.cancel()  # a second cancel() changes nothing
    print(f"  a second cancel() leaves phase {handle.status().phase!r}")


def era_moves_during_the_run(runtime):
    section("the era moves on during a run: EraError from result()")
    era_thread = runtime["era_thread"]

    def set_phase(phase):
        if phase == "backtesting":
            era_thread.advance()   # what the agent's era watcher sees mid-run

    ss.init_simulate_signal(**runtime, set_phase=set_phase)
    handle = ss.simulate_signal(example_signal_graph(), named_universe=UNIVERSE,
                                signal_pool_id="alpha")
    try:
        handle.result()
    except EraError as exc:
        print(f"  EraError: {exc}")
        print("  (an agent syncs the new era, re-wires with init_simulate_signal and retries)")


def options_not_ready():
    section("an era config without engine definitions: SdkRuntimeNotReadyError")
    try:
        ss.effective_simulation_options({"era_number": 1, "universe_rules": {}})
    except SdkRuntimeNotReadyError as exc:
        print(f"  SdkRuntimeNotReadyError: {exc}")


def main():
    run_before_wiring()
    with tempfile.TemporaryDirectory(prefix="simulate-signal-errors-") as data_dir:
        runtime = build_runtime(data_dir, seed=1)
        ss.init_simulate_signal(**runtime)
        bad_input()
        errors_inside_the_run()
        cancelling(runtime)
        options_not_ready()
        era_moves_during_the_run(runtime)


if __name__ == "__main__":
    main()
