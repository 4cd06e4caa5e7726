"""The measurements. Each returns plain data (dicts of numbers) for the report.

Every comparison is made in the same process, with the module's runs and the
baseline's runs interleaved in rounds. A ratio is the median over the rounds
of each round's ratio, so that a machine that slows down for a while (other
work on it) slows both sides of the rounds it touches alike.
"""
import asyncio
import gc
import os
import statistics
import threading
import time

from benchmarks import collaborators as co
from benchmarks import floor as fl

_clock = time.perf_counter


def _median_us(samples):
    return statistics.median(samples) * 1e6


def _timed(fn, n, out):
    for _ in range(n):
        t0 = _clock()
        fn()
        out.append(_clock() - t0)


def interleaved(first, second, rounds, per_round):
    """Per-call times (seconds) of ``first`` and ``second``, run in alternating
    rounds: one list of times per round for each."""
    a, b = [], []
    for _ in range(rounds):
        a.append([])
        b.append([])
        _timed(first, per_round, a[-1])
        _timed(second, per_round, b[-1])
    return a, b


def paired_ratio(a_rounds, b_rounds):
    """The median over rounds of median(a) / median(b) within the round."""
    return statistics.median(statistics.median(a) / statistics.median(b)
                             for a, b in zip(a_rounds, b_rounds))


def _flat(rounds):
    return [t for times in rounds for t in times]


def own_codes(ss):
    """The module's records: their constructors are the module's own work."""
    return {ss.SimulationStatus.__init__.__code__, ss.SimulationResult.__init__.__code__}


# ---------------------------------------------------------------------------
# Full run against the floor

def record_floor(ss, kind):
    """The floor of one run of ``kind``, derived from a recorded run and verified."""
    start = co.entry(ss, kind)

    def driver():
        start().result()

    driver()  # warm-up: a first run builds the module's lazily made state
    calls, own = fl.record(driver, {driver.__code__, start.__code__}, own_codes(ss),
                           handle_class=ss.SimulationHandle)
    floor, source = fl.build_floor(calls)
    checked = fl.verify(floor, calls)
    return floor, {"collaborator_calls": checked, "module_own_python_calls": dict(own),
                   "source": source}


def split_run(ss, kind, n):
    """Median microseconds of a run's three parts: from the entry-point call
    to the pipeline body's start on its thread (thread start), the pipeline
    body, and result() once the thread has ended."""
    start = co.entry(ss, kind)
    cls = ss.SimulationHandle
    original = cls.__dict__["_run_pipeline"]
    stamps = []

    def stamped_pipeline(self):
        stamps.append(_clock())
        try:
            return original(self)
        finally:
            stamps.append(_clock())

    starts, bodies, results = [], [], []
    cls._run_pipeline = stamped_pipeline
    try:
        for _ in range(n):
            stamps.clear()
            t0 = _clock()
            handle = start()
            handle._thread.join(10.0)
            t1 = _clock()
            handle.result()
            t2 = _clock()
            begun, ended = stamps
            starts.append(begun - t0)
            bodies.append(ended - begun)
            results.append(t2 - t1)
    finally:
        cls._run_pipeline = original
    return {"thread_start_us": _median_us(starts), "pipeline_body_us": _median_us(bodies),
            "result_us": _median_us(results)}


def full_run(ss, kind, rounds, per_round):
    floor, floor_info = record_floor(ss, kind)
    start = co.entry(ss, kind)

    def module_run():
        start().result()

    module_rounds, floor_rounds = interleaved(module_run, fl.floor_on_thread(floor), rounds,
                                             per_round)
    module_times = _flat(module_rounds)
    out = {
        "runs_per_s": len(module_times) / sum(module_times),
        "us_per_run": _median_us(module_times),
        "floor_us_per_run": _median_us(_flat(floor_rounds)),
        "ratio_to_floor": paired_ratio(module_rounds, floor_rounds),
        "runs": len(module_times),
    }
    out.update(split_run(ss, kind, max(50, rounds * per_round // 10)))
    out["floor"] = floor_info
    return out


# ---------------------------------------------------------------------------
# Handle creation

def _noop():
    pass


def bare_thread():
    thread = threading.Thread(target=_noop)
    thread.start()
    thread.join()


def creation(ss, collaborators, rounds, per_round):
    """simulate_signal() until it returns the handle (acquire at once), against a
    bare threading.Thread started and joined; then with a 50 ms acquire().
    Each handle's run is collected before the next one is created."""
    start = co.entry(ss, "signal")

    def create_one(out):
        t0 = _clock()
        handle = start()
        out.append(_clock() - t0)
        handle.result()

    created, bare = [], []
    for _ in range(rounds):
        created.append([])
        bare.append([])
        for _ in range(per_round):
            create_one(created[-1])
        _timed(bare_thread, per_round, bare[-1])

    slow = []
    collaborators.sync_manager.acquire_delay = 0.05
    try:
        for _ in range(5):
            create_one(slow)
    finally:
        collaborators.sync_manager.acquire_delay = 0.0
    return {"at_once_us": _median_us(_flat(created)), "bare_thread_us": _median_us(_flat(bare)),
            "ratio_to_bare_thread": paired_ratio(created, bare),
            "acquire_after_50ms_ms": statistics.median(slow) * 1e3}


# ---------------------------------------------------------------------------
# status()

class _StatusState:
    """What the plain-Python status() baseline reads: a lock, a status, a start time."""

    def __init__(self, ss):
        self.lock = threading.Lock()
        self.status = ss.SimulationStatus("complete", 1.0, "done", co.ERA_NUMBER, 0.5)
        self.start_time = time.monotonic()


def _baseline_status(state, SimulationStatus, monotonic=time.monotonic):
    with state.lock:
        current = state.status
        return SimulationStatus(current.phase, current.progress, current.message,
                                current.era_number, monotonic() - state.start_time)


def _poll_module(handle, n):
    for _ in range(n):
        handle.status()


def _poll_baseline(state, cls, n):
    for _ in range(n):
        _baseline_status(state, cls)


def _per_call(poll, args, n, threads):
    """Seconds per call when ``threads`` threads each make ``n`` calls at once."""
    if threads == 1:
        t0 = _clock()
        poll(*args, n)
        return (_clock() - t0) / n
    barrier = threading.Barrier(threads + 1)

    def worker():
        barrier.wait(10.0)
        poll(*args, n)

    workers = [threading.Thread(target=worker) for _ in range(threads)]
    for w in workers:
        w.start()
    barrier.wait(10.0)
    t0 = _clock()
    for w in workers:
        w.join(60.0)
    return (_clock() - t0) / (n * threads)


def status_cost(ss, rounds, n):
    handle = co.entry(ss, "signal")()
    handle.result()
    state = _StatusState(ss)
    out = {}
    for threads in (1, 8):
        module, baseline = [], []
        # Pollers each make enough calls to share the interpreter lock for
        # many switch intervals, not just to start and stop.
        per_thread = n if threads == 1 else n // 2
        for _ in range(rounds):
            module.append([_per_call(_poll_module, (handle,), per_thread, threads)])
            baseline.append([_per_call(_poll_baseline, (state, ss.SimulationStatus),
                                       per_thread, threads)])
        label = "alone" if threads == 1 else "8_threads"
        out[label] = {"ns_per_call": statistics.median(_flat(module)) * 1e9,
                      "baseline_ns_per_call": statistics.median(_flat(baseline)) * 1e9,
                      "ratio_to_baseline": paired_ratio(module, baseline)}
    return out


# ---------------------------------------------------------------------------
# Many live handles

def _rss_bytes():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def many_handles(ss, collaborators, count):
    """``count`` handles alive at once while the one shared data sync is slow."""
    sync = collaborators.sync_manager
    start = co.entry(ss, "signal")
    start().result()
    gc.collect()
    rss_before = _rss_bytes()
    sync.sync_gate = gate = threading.Event()
    sync.sync_calls = 0
    sync.arrivals = 0
    handles = []
    try:
        t0 = _clock()
        for _ in range(count):
            handles.append(start())
        created_s = _clock() - t0
        rss_alive = _rss_bytes()
        threads_alive = threading.active_count()
        # Every run has reached the shared sync (one syncs, the others wait on
        # it) before the sync may return; a run arriving after it would sync anew.
        deadline = time.monotonic() + 30.0
        while sync.arrivals < count and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(0.2)
        gate.set()
        for handle in handles:
            handle._done_event.wait(30.0)
        all_done = _clock()
        passed = sum(1 for handle in handles if handle.result().passed)
    finally:
        gate.set()
        sync.sync_gate = None
    return {
        "handles": count,
        "request_for_sync_calls": sync.sync_calls,
        "all_passed": passed == count,
        "create_all_s": created_s,
        "complete_after_sync_s": all_done - sync.sync_finished_at,
        "threads_alive": threads_alive,
        "rss_per_handle_kib": (rss_alive - rss_before) / count / 1024,
    }


# ---------------------------------------------------------------------------
# Rounds of handles awaited through asyncio.gather

GATHER_TIMEOUT_S = 120.0


def gather_rounds(ss, rounds, warm_up, per_round):
    """``rounds`` rounds (after ``warm_up`` ones) on one event loop, each
    ``per_round`` handles awaited through asyncio.gather: RSS after each
    round (collected), and threading.enumerate() before and after."""
    start = co.entry(ss, "signal")

    async def one_round():
        results = await asyncio.wait_for(asyncio.gather(*(start() for _ in range(per_round))),
                                         GATHER_TIMEOUT_S)
        return sum(1 for result in results if result.passed)

    async def all_rounds():
        for _ in range(warm_up):
            await one_round()
        gc.collect()
        listed_before = threading.enumerate()
        rss, times, passed = [_rss_bytes()], [], 0
        for _ in range(rounds):
            t0 = _clock()
            passed += await one_round()
            times.append(_clock() - t0)
            gc.collect()
            rss.append(_rss_bytes())
        return listed_before, rss, times, passed

    listed_before, rss, times, passed = asyncio.run(all_rounds())
    # A pipeline thread may still be ending when its run's result is in:
    # join what was started since, as a shutdown would.
    for thread in set(threading.enumerate()) - set(listed_before):
        thread.join(GATHER_TIMEOUT_S)
    kib = [value / 1024 for value in rss]
    return {
        "handles_per_round": per_round,
        "rounds": rounds,
        "warm_up_rounds": warm_up,
        "all_passed": passed == rounds * per_round,
        "s_per_round": statistics.median(times),
        "rss_kib_after_each_round": kib,
        "rss_growth_kib_per_round": statistics.linear_regression(range(len(kib)), kib).slope,
        "threads_listed_before": len(listed_before),
        "threads_listed_after": len(threading.enumerate()),
    }
