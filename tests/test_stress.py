"""Many simulations at once from several caller threads: random polling,
cancellation at random moments, one or two collectors per handle, and
collaborators that sleep or raise at random.

Bounded to a few seconds; SIMULATE_SIGNAL_STRESS_SECONDS runs it longer and
SIMULATE_SIGNAL_STRESS_SEED fixes the random choices (thread scheduling still
varies from run to run).
"""
import collections
import os
import random
import sys
import threading
import time
import traceback

import pytest

import doubles as d
from doubles import Wiring, start_signal, wait_done

STRESS_SECONDS = float(os.environ.get("SIMULATE_SIGNAL_STRESS_SECONDS", "2.5"))
SEED = int(os.environ.get("SIMULATE_SIGNAL_STRESS_SEED", random.randrange(1 << 30)))

LAUNCHERS = 4          # caller threads that start simulations
BATCH = 6              # handles each launcher starts before it waits for them
POLLERS = 2
FAULT_RATE = 0.04      # per chaotic call
SLEEP_RATE = 0.3
MAX_SLEEP = 0.004      # seconds
JOIN_TIMEOUT = 30.0    # generous: a thread still alive after this is stuck

PHASES = {"syncing", "initializing", "feature-reconstruction-deobfuscation",
          "graph-validation", "evaluating", "backtesting", "computing_mi", "complete",
          "cancelled", "error"}
TERMINAL = {"complete", "error", "cancelled"}


class InjectedFault(Exception):
    """Raised at random by a pipeline collaborator."""


class CollectFault(Exception):
    """Raised at random by the tracker or release(), inside result()."""


class Chaos:
    """Random sleeps and faults for the doubles, and per-handle bookkeeping
    of the calls that matter for the invariants."""

    def __init__(self, seed):
        self._seed = seed
        self._local = threading.local()
        self._counter = 0
        self._lock = threading.Lock()
        self.acquired_handles = set()        # ids of handles whose pipeline's acquire() returned
        self.releases = collections.Counter()  # handle id -> release() calls
        self.records = collections.Counter()   # handle id -> tracker calls
        self.record_kinds = {}                 # handle id -> tracker method used

    def rng(self):
        rng = getattr(self._local, "rng", None)
        if rng is None:
            with self._lock:
                self._counter += 1
                rng = self._local.rng = random.Random(self._seed * 1000 + self._counter)
        return rng

    # The handle a caller thread is collecting: release() and the tracker run
    # on that thread, inside result().
    def collecting(self, handle):
        self._local.handle = handle

    def _disturb(self, fault_cls, name):
        rng = self.rng()
        roll = rng.random()
        if roll < FAULT_RATE:
            raise fault_cls(name)
        if roll < FAULT_RATE + SLEEP_RATE:
            time.sleep(rng.uniform(0, MAX_SLEEP))

    def call(self, name, value):
        """A collaborator call that may sleep or raise, else answers value()."""
        def compute(*args, **kwargs):
            self._disturb(InjectedFault, name)
            return value() if callable(value) else value
        return compute

    def acquire(self, *args, **kwargs):
        self._disturb(InjectedFault, "sync_manager.acquire")
        with self._lock:
            self.acquired_handles.add(id(self._local.pipeline))

    def release(self, *args, **kwargs):
        with self._lock:
            self.releases[id(self._local.handle)] += 1
        self._disturb(CollectFault, "sync_manager.release")

    def recorder(self, method):
        def record(*args, **kwargs):
            key = id(self._local.handle)
            with self._lock:
                self.records[key] += 1
                self.record_kinds[key] = method
            self._disturb(CollectFault, method)
        return record


def chaotic_wiring(ss, chaos):
    w = Wiring().wire(ss)
    log = w.log
    for name, value in [
        ("auth.get_wallet_secret", d.WALLET_SECRET),
        ("sync_manager.request_feature_files_for_sync", None),
        ("sync_manager.request_for_sync", lambda: w.sync_result),
        ("vault.initialize", None),
        ("vault.init_if_needed", None),
        ("load_vocabulary", d.vocabulary_dict),
        ("backtester.init_reconstruction", None),
        ("graph_validator.validate", None),
        ("backtester.evaluate_expression", lambda: w.backtester.weights),
        ("backtester.run_backtest", lambda: w.backtester.result),
        ("correlate_per_pool", 0.2),
        ("compute_mi_per_pool", (0.4, True)),
        ("era_thread.get_current_era_number", d.ERA_NUMBER),
    ]:
        log.returns(name, compute=chaos.call(name, value))
    log.returns("load_found_signal_pnl",
                compute=chaos.call("load_found_signal_pnl", lambda: w.found_pnl["s1"]))
    log.returns("sync_manager.acquire", compute=chaos.acquire)
    log.returns("sync_manager.release", compute=chaos.release)
    for method in ("record_signal_evaluation", "record_strategy_evaluation"):
        log.returns(f"search_tracker.{method}", compute=chaos.recorder(method))
    return w


class Tracked:
    """One handle, what it was started with, and what its collectors saw."""

    def __init__(self, handle, kind, record):
        self.handle = handle
        self.kind = kind
        self.record = record
        self.outcomes = []            # ("returned", value) / ("raised", exc), in order
        self._lock = threading.Lock()

    def observe(self, outcome):
        with self._lock:
            self.outcomes.append(outcome)


def collect_until_settled(chaos, tracked, rng):
    """result() until it returns or raises the run's own outcome; a fault of
    the tracker or of release() is retried, as a caller would."""
    time.sleep(rng.uniform(0, 0.01))
    chaos.collecting(tracked.handle)
    for _ in range(10):
        try:
            value = tracked.handle.result()
        except CollectFault:
            continue
        except BaseException as exc:  # noqa: B902 - the run's error is an outcome
            tracked.observe(("raised", exc))
            return
        tracked.observe(("returned", value))
        return
    tracked.observe(("raised", AssertionError("result() kept failing in the collector")))


def where_waiting():
    """The stacks of every other thread still alive, for the failure report."""
    frames = sys._current_frames()
    return "\n".join(
        f"--- {t.name}\n" + "".join(traceback.format_stack(frames[t.ident]))
        for t in threading.enumerate()
        if t is not threading.current_thread() and t.ident in frames)


class Stress:
    def __init__(self, ss, chaos, deadline):
        self.ss = ss
        self.chaos = chaos
        self.deadline = deadline
        self.tracked = []
        self.live = []
        self.stuck = []             # where the threads left waiting were
        self.bad_phases = []
        self._lock = threading.Lock()

    def spawn(self, target, *args):
        thread = threading.Thread(target=target, args=args, daemon=True)
        thread.start()
        return thread

    def join_all(self, threads):
        """Join threads that end by themselves at most JOIN_TIMEOUT after the
        deadline."""
        for thread in threads:
            thread.join(max(0.0, self.deadline - time.monotonic()) + JOIN_TIMEOUT)
            if thread.is_alive():
                self.stuck.append(where_waiting())

    def start_one(self, rng):
        kind = rng.choice(["signal", "strategy"])
        record = rng.random() < 0.8
        if kind == "signal":
            handle = self.ss.simulate_signal(d.signal_graph(), d.NAMED_UNIVERSE,
                                             signal_pool_id=d.SIGNAL_POOL_ID, record=record)
        else:
            handle = self.ss.simulate_strategy(d.strategy_graph(), d.NAMED_UNIVERSE,
                                               strategy_pool_id=d.STRATEGY_POOL_ID,
                                               record=record)
        tracked = Tracked(handle, kind, record)
        with self._lock:
            self.tracked.append(tracked)
            self.live.append(tracked)
        return tracked

    def cancel_later(self, handle, delay):
        time.sleep(delay)
        handle.cancel()

    def launcher(self, index):
        rng = random.Random(SEED + index)
        while time.monotonic() < self.deadline:
            helpers = []
            for _ in range(BATCH):
                tracked = self.start_one(rng)
                for _ in range(rng.choice([1, 1, 2])):
                    helpers.append(self.spawn(collect_until_settled, self.chaos, tracked,
                                              random.Random(rng.random())))
                if rng.random() < 0.35:
                    helpers.append(self.spawn(self.cancel_later, tracked.handle,
                                              rng.uniform(0, 0.03)))
            self.join_all(helpers)
            with self._lock:
                self.live = [t for t in self.live if not t.handle._done_event.is_set()]

    def poller(self, index):
        """status() of random live handles. Seen from one thread, a terminal
        phase stays, except that cancel() may still turn "complete" or "error"
        into "cancelled"."""
        rng = random.Random(SEED - index)
        last_seen = {}
        while time.monotonic() < self.deadline:
            with self._lock:
                candidates = list(self.live)
            if not candidates:
                time.sleep(0.001)
                continue
            handle = rng.choice(candidates).handle
            phase = handle.status().phase
            before = last_seen.get(id(handle), phase)
            last_seen[id(handle)] = phase
            if phase not in PHASES or (before in TERMINAL and phase not in (before, "cancelled")):
                self.bad_phases.append((before, phase))

    def run(self):
        threads = [self.spawn(self.launcher, i) for i in range(LAUNCHERS)]
        threads += [self.spawn(self.poller, i) for i in range(POLLERS)]
        self.join_all(threads)


def settle(ss, chaos, tracked):
    """The handle's final outcome, checked against every invariant; returns
    the violations found."""
    h = tracked.handle
    problems = []
    h._thread.join(JOIN_TIMEOUT)
    if h._thread.is_alive():
        return ["pipeline thread still running"]
    if not (h._acquire_done.is_set() and h._post_acquire_gate.is_set()
            and h._done_event.is_set()):
        problems.append("an event was left unset")

    status = h.status()
    chaos.collecting(h)
    try:
        final = ("returned", h.result())
    except BaseException as exc:  # noqa: B902 - compared below
        final = ("raised", exc)

    phase = status.phase
    returned = [o[1] for o in tracked.outcomes if o[0] == "returned"]
    if phase not in TERMINAL:
        problems.append(f"ended in phase {phase!r}")
    elif phase == "complete":
        value = final[1]
        if final[0] != "returned" or not isinstance(value, ss.SimulationResult):
            problems.append(f"complete but result() gave {final!r}")
        elif any(v is not value for v in returned) or len(returned) != len(tracked.outcomes):
            problems.append(f"complete but collectors saw {tracked.outcomes!r}")
        if h._error is not None:
            problems.append(f"complete with a stored error {h._error!r}")
    else:
        exc = final[1]
        if final[0] != "raised" or exc is not h._error:
            problems.append(f"{phase} but result() gave {final!r}, error {h._error!r}")
        elif returned:
            problems.append(f"{phase} but a collector got a result")
        elif phase == "cancelled":
            if not isinstance(exc, ss.CancelledError) or str(exc) != "Simulation cancelled":
                problems.append(f"cancelled but result() raised {exc!r}")
        elif isinstance(exc, ss.CancelledError) or not isinstance(exc, InjectedFault):
            problems.append(f"error but result() raised {exc!r}")
        elif status.message != "Error: " + str(exc):
            problems.append(f"error status {status.message!r} for {exc!r}")

    acquired = id(h) in chaos.acquired_handles
    if h._pipeline_acquired is not acquired:
        problems.append(f"_pipeline_acquired {h._pipeline_acquired} but acquired {acquired}")
    releases = chaos.releases[id(h)]
    if releases != (1 if acquired else 0):
        problems.append(f"release() called {releases} times (acquired: {acquired})")

    records = chaos.records[id(h)]
    expected_method = ("record_signal_evaluation" if tracked.kind == "signal"
                       else "record_strategy_evaluation")
    if records > 1:
        problems.append(f"tracker called {records} times")
    elif records and chaos.record_kinds[id(h)] != expected_method:
        problems.append(f"{tracked.kind} run recorded through {chaos.record_kinds[id(h)]}")
    elif phase == "complete" and records != (1 if tracked.record else 0):
        problems.append(f"complete run (record={tracked.record}) recorded {records} times")
    elif phase == "error" and records:
        problems.append("failed run was recorded")
    return problems


def test_many_handles_from_many_threads(ss, monkeypatch):
    escaped = []
    monkeypatch.setattr(threading, "excepthook", lambda args: escaped.append(args.exc_value))
    chaos = Chaos(SEED)
    chaotic_wiring(ss, chaos)
    run_pipeline = ss.SimulationHandle._run_pipeline

    def noting_the_handle(self):  # which handle a pipeline thread runs
        chaos._local.pipeline = self
        return run_pipeline(self)

    monkeypatch.setattr(ss.SimulationHandle, "_run_pipeline", noting_the_handle)

    stress = Stress(ss, chaos, time.monotonic() + STRESS_SECONDS)
    stress.run()
    assert not stress.stuck, f"seed {SEED}, threads left waiting:\n{stress.stuck[0]}"

    violations = []
    for tracked in stress.tracked:
        for problem in settle(ss, chaos, tracked):
            violations.append(f"{tracked.kind} handle {id(tracked.handle):#x}: {problem}")
    assert not violations, f"seed {SEED}, {len(violations)} violations:\n" + \
        "\n".join(violations[:20])
    assert not stress.bad_phases
    assert not escaped

    phases = collections.Counter(t.handle.status().phase for t in stress.tracked)
    # The mix is what makes the run a stress test: every outcome happened.
    assert len(stress.tracked) >= LAUNCHERS * BATCH
    assert set(phases) == TERMINAL, f"outcomes {dict(phases)} (seed {SEED})"


# ---------------------------------------------------------------------------
# The moments at which a cancel() meets the end of a run, opened on purpose:
# the stress run above reaches them only now and then.

def cancel_inside_update(monkeypatch, ss, phase, before):
    """Cancel the handle inside its _update_status(phase), before or after
    the status is replaced."""
    original = ss.SimulationHandle._update_status

    def update(handle, new_phase, progress=0.0, message=""):
        if new_phase == phase and before:
            handle.cancel()
        original(handle, new_phase, progress, message)
        if new_phase == phase and not before:
            handle.cancel()
    monkeypatch.setattr(ss.SimulationHandle, "_update_status", update)


def cancel_while_recording(monkeypatch, ss):
    """Cancel the handle while the pipeline builds its tracking record (after
    its last cancellation check)."""
    holder = []
    started = threading.Event()
    original = ss._build_tracking_stats

    def build(*args):
        assert started.wait(d.BLOCK_TIMEOUT)
        holder[0].cancel()
        return original(*args)
    monkeypatch.setattr(ss, "_build_tracking_stats", build)
    return holder, started


@pytest.mark.parametrize("moment", [
    "while the record is built", "before complete", "after complete",
    "before error", "after error",
])
def test_cancel_at_the_end_of_a_run_decides_the_outcome(ss, monkeypatch, moment):
    w = Wiring().wire(ss)
    holder, started = [], threading.Event()
    if moment == "while the record is built":
        holder, started = cancel_while_recording(monkeypatch, ss)
    else:
        when, phase = moment.split()
        cancel_inside_update(monkeypatch, ss, phase, when == "before")
    if "error" in moment:
        w.log.fail("era_thread.get_current_era_number", InjectedFault("era thread broke"))
    handle = start_signal(ss)
    holder.append(handle)
    started.set()
    wait_done(handle)

    status = handle.status()
    assert (status.phase, status.message) == ("cancelled", "Simulation cancelled by user.")
    with pytest.raises(ss.CancelledError, match="^Simulation cancelled$"):
        handle.result()
    assert handle._pending_recording is None
    assert w.log.names("search_tracker") == []
    assert w.log.count("sync_manager.release") == 1
    if moment == "while the record is built":   # nothing of the run was published
        assert handle._result is None
        assert [c.args for c in w.log.of("set_phase")][-1] == ("cancelled",)
