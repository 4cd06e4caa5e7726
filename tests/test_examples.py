"""The two examples run to the end on the reference runtime and say what happened."""
import subprocess
import sys

import pytest

from conftest import ROOT, subprocess_env

EXAMPLE_TIMEOUT_S = 120

pytest.importorskip("numpy", reason="the reference runtime needs numpy")


def run_example(name, *args, status=0):
    done = subprocess.run([sys.executable, str(ROOT / "examples" / name), *args],
                          capture_output=True, text=True, timeout=EXAMPLE_TIMEOUT_S,
                          env=subprocess_env())
    assert done.returncode == status, done.stdout + done.stderr
    return done.stdout if status == 0 else done.stderr


@pytest.mark.parametrize("seed, strategy_verdict", [
    ("1", "verdict   PASSED every gate"),
    ("0", "verdict   FAILED: Selected pool threshold check failed (Sharpe 0.97 < 1.00)"),
])
def test_demo_runs_both_simulations(tmp_path, seed, strategy_verdict):
    out = run_example("demo.py", "--seed", seed, "--data-dir", str(tmp_path))
    signal, strategy = out.split("== simulate_signal")[1].split("== simulate_strategy")
    for section in (signal, strategy):
        assert "complete" in section and "[##########] 100%" in section
    assert "verdict   PASSED every gate" in signal
    assert strategy_verdict in strategy
    tracking = tmp_path / "tracking" / "search_records.jsonl"
    assert f"signal record appended as line 1 of {tracking}" in signal
    assert f"strategy record appended as line 2 of {tracking}" in strategy


@pytest.mark.parametrize("args, complaint", [
    (["--dates", "0"], "argument --dates: 0 is less than 2"),
    (["--seed", "-1"], "argument --seed: -1 is less than 0"),
    (["--instruments", "many"], "argument --instruments: 'many' is not a whole number"),
])
def test_demo_refuses_bad_arguments(args, complaint):
    assert complaint in run_example("demo.py", *args, status=2)


def test_cancel_and_errors_example_shows_each_error():
    out = run_example("cancel_and_errors.py")
    for line in (
        "RuntimeError: Pipeline dependencies not initialized.",
        "no pool id       -> ValueError: signal_pool_id must be a non-empty string",
        "strategy graph as a signal: status 'error'; result() raised ValueError: "
        "simulate_signal only accepts signal graphs",
        "right after cancel(): phase 'cancelled', message 'Simulation cancelled by user.'",
        "result() raised CancelledError: Simulation cancelled",
        "tracking records added: 0; sync holds left: 0",
        "SdkRuntimeNotReadyError: engine_definitions missing from synced era config",
        "EraError: Era changed during simulation. Started with era_number=1, "
        "current era_number=2.",
    ):
        assert line in out


def test_futures_and_asyncio_example():
    out = run_example("futures_and_asyncio.py")
    assert "low volatility         CancelledError (run cancelled)" in out
    assert "TimeoutError: the run had not ended yet" in out or "already ended" in out
    assert "callback: <SimulationHandle signal synth_broad pool='alpha' phase='complete'>" in out
