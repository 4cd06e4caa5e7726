"""Reference leaks and memory over thousands of complete runs (signal and
strategy, adapter and orchestrator route; passing, failing a gate, failing with
an error, cancelled): every object handed to the module keeps its reference
count, and object count, memory blocks and resident memory stay flat."""
import gc
import os
import sys
import threading

from doubles import Wiring, signal_graph, start, strategy_graph, wait_done

RUNS = int(os.environ.get("SIMULATE_SIGNAL_LEAK_RUNS", "2000"))
WARM_UP = 640     # long enough for the doubles' call counters to pass the small-int cache
SANITIZED = bool(os.environ.get("SIMULATE_SIGNAL_SANITIZED"))


def vault_failure(*args, **kwargs):
    raise ValueError("vault unavailable")   # a new exception each run


# What each run is made to do (a behaviour of the call log) and what result()
# then gives: the failure reason, or the name of the error it raises.
OUTCOMES = {
    "pass": (None, None),
    "gate failure": (("correlate_per_pool", {"value": 0.95}), "correlation"),
    "error": (("vault.init_if_needed", {"compute": vault_failure}), "ValueError"),
    "cancel": (None, "CancelledError"),
}


class Runner:
    """Runs the outcome cycle over both routes and both expression kinds,
    reusing one graph of each kind and one wiring per route."""

    def __init__(self, ss):
        self.ss = ss
        self.wirings = [Wiring(route="adapter"), Wiring(route="orchestrator")]
        self.graphs = {"signal": signal_graph(), "strategy": strategy_graph()}

    def run_once(self, w, kind, outcome):
        behaviour, expected = OUTCOMES[outcome]
        if behaviour:
            w.log.returns(behaviour[0], **behaviour[1])
        handle = start(self.ss, kind, self.graphs[kind])
        if outcome == "cancel":
            handle.cancel()
        try:
            got = wait_done(handle).result().failure_reason
        except Exception as exc:  # noqa: BLE001 - the outcome is checked below
            got = type(exc).__name__
        assert got == expected, (outcome, kind, got)
        if behaviour:
            w.log.clear_behaviour(behaviour[0])
        # The doubles and the stand-in timing sibling keep what they are given.
        w.log.calls.clear()
        self.ss._backtest_timing.RECORDS.clear()

    def cycle(self):
        """One run of every combination; 16 runs."""
        for w in self.wirings:
            w.wire(self.ss)
            # A collaborator that asks for its thread, as logging does: the
            # pipeline thread gets the threading module's stand-in object.
            self.ss._set_phase = lambda phase: threading.current_thread()
            for kind in ("signal", "strategy"):
                for outcome in OUTCOMES:
                    self.run_once(w, kind, outcome)

    def runs(self, count):
        for _ in range(count // 16):
            self.cycle()

    def watched(self):
        """Everything the runs were given: graphs, every wired collaborator
        and value, the era configs down to their pools, and what the doubles
        hand back."""
        objects = list(self.graphs.values())
        for w in self.wirings:
            objects += [v for v in w.init_kwargs().values() if v is not None]
            objects += [w.era_config[key] for key in ("signal_pools", "strategy_pools",
                                                      "transform_pipeline", "universe_rules")]
            objects += w.era_config["signal_pools"] + w.era_config["strategy_pools"]
            objects += [w.backtester.result, w.backtester.weights, w.search_plan,
                        w.sync_result, w.manifest, w.orchestrator, w.gates]
        return objects


def rss_bytes():  # 0 where there is no /proc (the bound is then not judged)
    if not os.path.exists("/proc/self/statm"):
        return 0
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure(runner):
    # The type attribute cache holds on to recently looked-up attribute names
    # (the doubles look up names built at each call).
    sys._clear_type_cache()
    gc.collect()
    return {
        "refcounts": [sys.getrefcount(obj) for obj in runner.watched()],
        "objects": len(gc.get_objects()),
        "blocks": sys.getallocatedblocks(),
        "rss": rss_bytes(),
        "threads": len(threading.enumerate()),
    }


def test_thousands_of_runs_leave_references_and_memory_flat(ss):
    runner = Runner(ss)
    runner.runs(WARM_UP)
    first = measure(runner)
    runner.runs(RUNS // 2)
    middle = measure(runner)
    runner.runs(RUNS // 2)
    last = measure(runner)

    assert first["refcounts"] == middle["refcounts"] == last["refcounts"]
    # The threading module's bookkeeping of the pipeline threads stays bounded.
    assert last["threads"] <= middle["threads"] + 2
    # Interpreter caches (thread bookkeeping, dict resizes) may still settle
    # in the first half; in the second half, one object or memory block left
    # behind every 25 runs is caught.
    assert last["objects"] - middle["objects"] < RUNS // 50
    assert last["blocks"] - middle["blocks"] < RUNS // 50
    if not SANITIZED:   # the sanitizer's allocator keeps freed memory quarantined
        assert last["rss"] - first["rss"] < 2 * 1024 * 1024
