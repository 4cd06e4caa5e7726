"""The benchmark suite: its floor repeats exactly the recorded calls, and the
whole suite runs and writes its figures."""
import json
import subprocess
import sys
import threading

from benchmarks import floor as fl
from benchmarks import instructions
from conftest import ROOT, subprocess_env

SEEN = []


class Collaborator:
    def plain(self, a, b=2):
        SEEN.append(("plain", a, b))

    def keyword_only(self, a, *, k=None):
        SEEN.append(("keyword_only", a, k))

    def variadic(self, *args, **kwargs):
        SEEN.append(("variadic", args, kwargs))

    def __call__(self, x):
        SEEN.append(("call", x))


class Record:
    def __init__(self, **fields):
        SEEN.append(("record", fields))


def function(x, y):
    SEEN.append(("function", x, y))


def test_floor_repeats_every_kind_of_recorded_call():
    c, arg, payload = Collaborator(), object(), {"p": 1, "not an identifier": 2}

    def driver():
        c.plain(arg)
        c.keyword_only(arg, k="v")
        c.variadic(1, arg, **payload)
        c(arg)
        Record(a=arg)
        function(arg, y=3)

    calls, own = fl.record(driver, {driver.__code__})
    assert [call.form for call in calls] == ["method", "method", "method", "instance",
                                             "construct", "function"]
    floor, source = fl.build_floor(calls)
    SEEN.clear()
    assert fl.verify(floor, calls) == 6
    assert SEEN == [("plain", arg, 2), ("keyword_only", arg, "v"), ("variadic", (1, arg), payload),
                    ("call", arg), ("record", {"a": arg}), ("function", arg, 3)]


def test_calls_into_the_standard_library_are_counted_apart():
    def driver():
        threading.Event().set()
        function(1, 2)

    calls, own = fl.record(driver, {driver.__code__})
    assert [call.code for call in calls] == [function.__code__]
    assert own and all("threading.py" in label for label in own)


def test_suite_runs_and_writes_its_figures(tmp_path):
    out = tmp_path / "results.json"
    completed = subprocess.run(
        [sys.executable, "-m", "benchmarks", "--quick", "--skip", "instructions",
         "--skip", "search", "--skip", "gather", "--handles", "40", "--json", str(out)],
        cwd=ROOT, capture_output=True, text=True, timeout=300, env=subprocess_env())
    assert completed.returncode == 0, completed.stderr
    results = json.loads(out.read_text())["results"]
    assert set(results) == {"full_run_signal", "full_run_strategy", "handle_creation", "status",
                            "many_handles"}
    assert results["many_handles"]["request_for_sync_calls"] == 1
    assert results["many_handles"]["all_passed"]
    for kind in ("signal", "strategy"):
        assert results[f"full_run_{kind}"]["floor"]["collaborator_calls"] > 30
    assert "ratio to the floor" in completed.stdout


def test_instruction_count_is_skipped_without_valgrind(monkeypatch):
    monkeypatch.setattr(instructions.shutil, "which", lambda program: None)
    assert instructions.count(runs=1) == {"skipped": "valgrind is not installed"}
