"""Many simulations at once from several caller threads: random polling, random
cancellation, one or two collectors per handle, collaborators that sleep or
raise at random. A few seconds; SIMULATE_SIGNAL_STRESS_SECONDS runs it longer,
SIMULATE_SIGNAL_STRESS_SEED fixes the random choices (not the scheduling)."""
import collections
import os
import random
import sys
import threading
import time
import traceback

from doubles import CallLog, Wiring, start

STRESS_SECONDS = float(os.environ.get("SIMULATE_SIGNAL_STRESS_SECONDS", "2.5"))
SEED = int(os.environ.get("SIMULATE_SIGNAL_STRESS_SEED", random.randrange(1 << 30)))
LAUNCHERS, BATCH, POLLERS = 4, 6, 2     # caller threads, handles per batch, status pollers
FAULT_RATE, SLEEP_RATE, MAX_SLEEP = 0.04, 0.3, 0.004   # per collaborator call
JOIN_TIMEOUT = 30.0                     # generous: a thread still alive after this is stuck
TERMINAL = {"complete", "error", "cancelled"}
PHASES = TERMINAL | {"syncing", "initializing", "feature-reconstruction-deobfuscation",
                     "graph-validation", "evaluating", "backtesting", "computing_mi"}
COLLECTING = {"sync_manager.release", "search_tracker.record_signal_evaluation",
              "search_tracker.record_strategy_evaluation"}


class InjectedFault(Exception):
    """Raised at random by a pipeline collaborator."""


class CollectFault(Exception):
    """Raised at random by the tracker or release(), inside result()."""


class ChaosLog(CallLog):
    """Every collaborator call may sleep or raise; acquire(), release() and the
    tracker are counted per handle (the pipeline thread's handle, or the
    handle the calling thread collects)."""

    def __init__(self):
        super().__init__()
        self.local = threading.local()
        self.counts = collections.Counter()     # (handle id, call name) -> calls
        self._seeds = iter(range(SEED * 1000, SEED * 1000 + 10 ** 6))

    def call(self, name, args, kwargs, default):
        local = self.local
        handle = getattr(local, "collecting" if name in COLLECTING else "pipeline", None)
        if not hasattr(local, "rng"):
            with self._lock:
                local.rng = random.Random(next(self._seeds))
        if name in COLLECTING:                  # counted whether or not it fails
            with self._lock:
                self.counts[id(handle), name] += 1
        roll = local.rng.random()
        if roll < FAULT_RATE and name not in ("set_phase", "evaluate_threshold_gates"):
            raise (CollectFault if name in COLLECTING else InjectedFault)(name)
        if roll < FAULT_RATE + SLEEP_RATE:
            time.sleep(local.rng.uniform(0, MAX_SLEEP))
        answer = super().call(name, args, kwargs, default)
        if name == "sync_manager.acquire":      # counted once it returned
            with self._lock:
                self.counts[id(handle), name] += 1
        return answer


def collect(log, tracked, rng):
    """result() until it gives the run's own outcome (a tracker or release() fault is retried)."""
    time.sleep(rng.uniform(0, 0.01))
    log.local.collecting = tracked["handle"]
    for _ in range(10):
        try:
            tracked["outcomes"].append(("returned", tracked["handle"].result()))
            return
        except CollectFault:
            continue
        except BaseException as exc:  # noqa: B902 - the run's error is an outcome
            tracked["outcomes"].append(("raised", exc))
            return
    tracked["outcomes"].append(("raised", AssertionError("result() kept failing")))


def stacks():
    """The stacks of every other thread, for the failure report."""
    frames = sys._current_frames()
    return "\n".join(f"--- {t.name}\n" + "".join(traceback.format_stack(frames[t.ident]))
                     for t in threading.enumerate()
                     if t is not threading.current_thread() and t.ident in frames)


class Stress:
    def __init__(self, ss, log):
        self.ss, self.log = ss, log
        self.deadline = time.monotonic() + STRESS_SECONDS
        self.tracked, self.stuck, self.bad_phases = [], [], []
        self.lock = threading.Lock()

    def spawn(self, target, *args):
        thread = threading.Thread(target=target, args=args, daemon=True)
        thread.start()
        return thread

    def join_all(self, threads):
        for thread in threads:
            thread.join(max(0.0, self.deadline - time.monotonic()) + JOIN_TIMEOUT)
            if thread.is_alive():
                self.stuck.append(stacks())

    def launcher(self, index):
        rng = random.Random(SEED + index)
        while time.monotonic() < self.deadline:
            helpers = []
            for _ in range(BATCH):
                kind, record = rng.choice(["signal", "strategy"]), rng.random() < 0.8
                tracked = {"handle": start(self.ss, kind, record=record), "kind": kind,
                           "record": record, "outcomes": []}
                with self.lock:
                    self.tracked.append(tracked)
                for _ in range(rng.choice([1, 1, 2])):
                    helpers.append(self.spawn(collect, self.log, tracked,
                                              random.Random(rng.random())))
                if rng.random() < 0.35:
                    delay = rng.uniform(0, 0.03)
                    helpers.append(self.spawn(lambda h=tracked["handle"]: (
                        time.sleep(delay), h.cancel())))
            self.join_all(helpers)

    def poller(self, index):
        """A terminal phase stays, unless cancel() turns it into "cancelled"."""
        rng, last_seen = random.Random(SEED - index), {}
        while time.monotonic() < self.deadline:
            with self.lock:
                live = [t["handle"] for t in self.tracked[-50:]]
            if not live:
                time.sleep(0.001)
                continue
            handle = rng.choice(live)
            phase = handle.status().phase
            before = last_seen.setdefault(id(handle), phase)
            last_seen[id(handle)] = phase
            if phase not in PHASES or (before in TERMINAL and phase not in (before, "cancelled")):
                self.bad_phases.append((before, phase))

    def run(self):
        self.join_all([self.spawn(self.launcher, i) for i in range(LAUNCHERS)]
                      + [self.spawn(self.poller, i) for i in range(POLLERS)])


def violations(ss, log, tracked):
    """What the handle's final outcome breaks of the invariants."""
    h, problems = tracked["handle"], []
    h._thread.join(JOIN_TIMEOUT)
    if h._thread.is_alive():
        return ["pipeline thread still running"]
    if not (h._acquire_done.is_set() and h._post_acquire_gate.is_set() and h._done_event.is_set()):
        problems.append("an event was left unset")
    status = h.status()
    log.local.collecting = h
    try:
        final = ("returned", h.result())
    except BaseException as exc:  # noqa: B902 - compared below
        final = ("raised", exc)
    returned = [value for how, value in tracked["outcomes"] if how == "returned"]
    kind, value = final
    if status.phase == "complete":
        if kind != "returned" or not isinstance(value, ss.SimulationResult) or h._error:
            problems.append(f"complete but result() gave {final!r}, error {h._error!r}")
        elif len(returned) != len(tracked["outcomes"]) or any(v is not value for v in returned):
            problems.append(f"complete but collectors saw {tracked['outcomes']!r}")
    elif status.phase not in TERMINAL:
        problems.append(f"ended in phase {status.phase!r}")
    elif kind != "raised" or value is not h._error or returned:
        problems.append(f"{status.phase} but result() gave {final!r}, collectors "
                        f"{tracked['outcomes']!r}")
    elif status.phase == "cancelled" and (not isinstance(value, ss.CancelledError)
                                          or str(value) != "Simulation cancelled"):
        problems.append(f"cancelled but result() raised {value!r}")
    elif status.phase == "error" and (not isinstance(value, InjectedFault)
                                      or status.message != f"Error: {value}"):
        problems.append(f"error status {status.message!r} for {value!r}")

    count = lambda name: log.counts[id(h), name]  # noqa: E731
    acquired = count("sync_manager.acquire") > 0
    if h._pipeline_acquired is not acquired or count("sync_manager.release") != int(acquired):
        problems.append(f"acquired {acquired} ({h._pipeline_acquired}), released "
                        f"{count('sync_manager.release')} times")
    method = f"search_tracker.record_{tracked['kind']}_evaluation"
    records = {name: count(name) for name in COLLECTING - {"sync_manager.release"}}
    expected = int(status.phase == "complete" and tracked["record"])
    if sum(records.values()) != records[method] or records[method] > 1 or (
            status.phase != "cancelled" and records[method] != expected):
        problems.append(f"tracker calls {records} ({status.phase}, record={tracked['record']})")
    return problems


def test_many_handles_from_many_threads(ss, monkeypatch):
    escaped = []
    monkeypatch.setattr(threading, "excepthook", lambda args: escaped.append(args.exc_value))
    log = Wiring(log=ChaosLog()).wire(ss).log
    run_pipeline = ss.SimulationHandle._run_pipeline

    def noting_the_handle(self):  # which handle a pipeline thread runs
        log.local.pipeline = self
        return run_pipeline(self)
    monkeypatch.setattr(ss.SimulationHandle, "_run_pipeline", noting_the_handle)

    stress = Stress(ss, log)
    stress.run()
    assert not stress.stuck, f"seed {SEED}, threads left waiting:\n{stress.stuck[0]}"
    found = [f"{t['kind']} handle {id(t['handle']):#x}: {problem}"
             for t in stress.tracked for problem in violations(ss, log, t)]
    assert not found, f"seed {SEED}, {len(found)} violations:\n" + "\n".join(found[:20])
    assert not stress.bad_phases and not escaped
    # The mix is what makes the run a stress test: every outcome happened.
    phases = collections.Counter(t["handle"].status().phase for t in stress.tracked)
    assert set(phases) == TERMINAL, f"outcomes {dict(phases)} (seed {SEED})"
