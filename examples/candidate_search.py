"""A candidate search over the reference runtime: seeded signal graphs, each
simulated through ``simulate_signal``, in one process or on Dask workers.

Shared by examples/search_on_dask.py, the benchmark suite's "search" section
and tests/test_search.py.

- ``generate_candidates(n, seed)``: ``n`` distinct signal graphs built from
  the synthetic market's features; the same seed gives the same list (and the
  first ``k`` of a longer list).
- ``evaluate_candidate(graph, universe, pool)``: one simulation in this
  process, summed up as a small picklable ``Outcome`` (never the handle).
- ``WireSimulateSignal``: the worker plugin that wires the module once in
  each worker process, on its own reference runtime and data directory.
- ``search_in_process`` / ``search_on_cluster``: every candidate's
  ``Outcome``, in candidate order, calling ``on_outcome(index, outcome)`` as
  each arrives; ``cluster_client`` starts a local cluster (or connects to a
  scheduler) and registers the plugin.

Importing this module puts the repository root, the stand-in sibling package
and the development build named by SIMULATE_SIGNAL_BUILD on ``sys.path``, so a
worker that can import it finds everything else.
"""
import logging
import math
import os
import queue
import random
import shutil
import signal
import sys
import tempfile
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
for _path in [str(ROOT), str(ROOT / "standin")] + (
        [os.environ["SIMULATE_SIGNAL_BUILD"]] if os.environ.get("SIMULATE_SIGNAL_BUILD") else []):
    if _path not in sys.path:
        sys.path.insert(0, _path)

from reference_runtime import build_runtime, feature, rotation  # noqa: E402
from reference_runtime.market import FEATURE_NAMES  # noqa: E402

try:
    from distributed import WorkerPlugin
except ImportError:  # the in-process search needs no Dask
    WorkerPlugin = object

UNIVERSE = "synth_broad"
POOL = "alpha"
CROSS_SECTION = ("rank", "zscore")
SERIES = ("neg", "lag_1", "delta_1", "ts_mean_5", "ts_mean_20")
COMBINE = ("add", "sub", "mul")


# ---------------------------------------------------------------------------
# Candidates

def _leg(rng):
    """A feature under up to two time-series steps, then a cross-sectional one."""
    node = feature(rng.choice(FEATURE_NAMES))
    for _ in range(rng.randint(0, 2)):
        node = rotation(rng.choice(SERIES), node)
    return rotation(rng.choice(CROSS_SECTION), node)


def _random_signal(rng):
    if rng.random() < 0.3:
        return rotation(rng.choice(CROSS_SECTION),
                        rotation(rng.choice(COMBINE), _leg(rng), _leg(rng)))
    return _leg(rng)


def generate_candidates(n, seed):
    """``n`` distinct signal graphs (plain dicts), the same for the same seed."""
    rng = random.Random(seed)
    seen, candidates = set(), []
    for _ in range(100 * n + 1000):
        if len(candidates) == n:
            break
        graph = _random_signal(rng)
        if short_form(graph) not in seen:
            seen.add(short_form(graph))
            candidates.append(graph)
    else:
        raise ValueError(f"found only {len(candidates)} distinct candidates, not {n}")
    return candidates


def short_form(graph):
    """``rank(sub(value,size))``: a graph in one word."""
    if not isinstance(graph, dict):
        return repr(graph)
    children = graph.get("children") or []
    if not children:
        return str(graph.get("node"))
    return f"{graph.get('node')}({','.join(short_form(c) for c in children)})"


# ---------------------------------------------------------------------------
# One candidate

@dataclass
class Outcome:
    """What a search keeps of one simulation.

    ``verdict`` is "passed" or "failed" (a gate: ``reason`` and ``detail``
    say which), "error" (the run raised: ``reason`` is the exception type) or
    "crashed" (the task was lost, e.g. its worker process died)."""

    verdict: str
    reason: str | None = None
    detail: str | None = None
    sharpe: float | None = None
    turnover: float | None = None
    correlation: float | None = None
    mi: float | None = None
    pid: int | None = None

    @classmethod
    def of_error(cls, verdict, error, pid=None):
        return cls(verdict, type(error).__name__, str(error)[:300], pid=pid)


def _number(value):
    try:
        value = float(value)
    except (TypeError, ValueError):
        return None
    return value if math.isfinite(value) else None


def _field(record, name):
    if isinstance(record, dict):
        return record.get(name)
    return getattr(record, name, None)


def summarize(result, pid=None):
    """The ``Outcome`` of a ``SimulationResult``: the verdict and the figures
    the result offers (net Sharpe, turnover, pool correlation, PnL MI)."""
    return Outcome(
        "passed" if result.passed else "failed",
        reason=result.failure_reason,
        detail=None if result.failure_detail is None else str(result.failure_detail)[:300],
        sharpe=_number(_field(result.per_column_stats, "pnl_net_sharpe")),
        turnover=_number(_field(result.stats, "turnover")),
        correlation=_number(result.is_correlation),
        mi=_number(result.is_pnl_mi),
        pid=pid)


def _outcome(run):
    """``summarize(run())``, or the error ``run`` raised."""
    try:
        result = run()
    except Exception as error:
        return Outcome.of_error("error", error, os.getpid())
    return summarize(result, os.getpid())


def evaluate_candidate(graph, named_universe=UNIVERSE, signal_pool_id=POOL):
    """Simulate one signal graph in this (wired) process; its ``Outcome``."""
    import tallowmere.simulate_signal as ss
    return _outcome(lambda: ss.simulate_signal(
        graph, named_universe=named_universe, signal_pool_id=signal_pool_id).result())


# ---------------------------------------------------------------------------
# Searches

def search_in_process(candidates, *, universe=UNIVERSE, pool=POOL, on_outcome=None):
    """Start every candidate's handle in this (wired) process, then collect
    them as they end. Ctrl-C cancels the runs still going."""
    import tallowmere.simulate_signal as ss
    outcomes = [None] * len(candidates)
    ended = queue.SimpleQueue()
    handles = {}
    try:
        for index, graph in enumerate(candidates):
            try:
                handles[index] = ss.simulate_signal(graph, named_universe=universe,
                                                    signal_pool_id=pool)
            except Exception as error:  # refused before any run started
                ended.put((index, Outcome.of_error("error", error, os.getpid())))
                continue
            handles[index].add_done_callback(lambda _, index=index: ended.put((index, None)))
        for _ in candidates:
            index, outcome = ended.get()
            outcomes[index] = outcome or _outcome(handles[index].result)
            if on_outcome:
                on_outcome(index, outcomes[index])
    except BaseException:
        for handle in handles.values():
            handle.cancel()
        raise
    return outcomes


def search_on_cluster(client, candidates, *, universe=UNIVERSE, pool=POOL, on_outcome=None,
                      evaluate=evaluate_candidate):
    """Submit one task per candidate (the graph and the names only) and collect
    the outcomes as they complete. A task that fails (its worker died, say)
    becomes a "crashed" outcome and the search goes on; Ctrl-C cancels the
    tasks still outstanding."""
    from distributed import as_completed
    outcomes = [None] * len(candidates)
    run = os.urandom(4).hex()
    # One map (one graph update for the scheduler) rather than a submit per
    # candidate: a cancel then always finds every task registered.
    futures = {future: index for index, future in enumerate(client.map(
        evaluate, candidates, [universe] * len(candidates), [pool] * len(candidates),
        key=[f"candidate-{index}-{run}" for index in range(len(candidates))]))}
    try:
        for future in as_completed(futures):
            index = futures[future]
            if future.status == "finished":
                outcome = future.result()
            elif future.status == "error":
                outcome = Outcome.of_error("crashed", future.exception())
            else:
                outcome = Outcome("crashed", reason=future.status)
            outcomes[index] = outcome
            if on_outcome:
                on_outcome(index, outcome)
    except BaseException:
        client.cancel(list(futures))
        raise
    finally:
        futures.clear()
    return outcomes


class WireSimulateSignal(WorkerPlugin):
    """Wires the module once in each worker process: its own reference
    runtime, built from ``market_seed``, in its own data directory under the
    worker's local directory (removed when the worker closes)."""

    name = "tallowmere-simulate-signal-wiring"

    def __init__(self, market_seed):
        self.market_seed = market_seed
        self.data_dir = None

    def setup(self, worker):
        import tallowmere.simulate_signal as ss
        self.data_dir = tempfile.mkdtemp(prefix="simulate-signal-", dir=worker.local_directory)
        ss.init_simulate_signal(**build_runtime(self.data_dir, seed=self.market_seed))

    def teardown(self, worker):
        if self.data_dir:
            shutil.rmtree(self.data_dir, ignore_errors=True)


class LeaveInterruptsToClient(WorkerPlugin):
    """For the workers of a local cluster: Ctrl-C in a terminal reaches every
    process of the foreground group, so they ignore it and leave it to the
    client, which cancels the outstanding tasks and closes the cluster."""

    name = "leave-interrupts-to-client"

    def setup(self, worker):
        signal.signal(signal.SIGINT, signal.SIG_IGN)


@contextmanager
def cluster_client(*, workers=None, scheduler=None, market_seed=1, worker_timeout=60):
    """A ``distributed.Client`` whose workers are wired: on a new local cluster
    of ``workers`` processes (default: one per core; one thread each, on
    127.0.0.1, no dashboard), or on the running cluster at ``scheduler``
    (nothing is started locally). The client, and a local cluster, are closed
    on the way out."""
    from distributed import Client, LocalCluster
    cluster = None if scheduler else LocalCluster(
        n_workers=workers or os.cpu_count(), threads_per_worker=1, processes=True,
        host="127.0.0.1", dashboard_address=None, silence_logs=logging.ERROR)
    try:
        with Client(scheduler or cluster, timeout=worker_timeout) as client:
            client.wait_for_workers(1 if scheduler else len(cluster.workers),
                                    timeout=worker_timeout)
            if cluster is not None:
                client.register_plugin(LeaveInterruptsToClient())
            client.register_plugin(WireSimulateSignal(market_seed))
            yield client
    finally:
        if cluster is not None:
            cluster.close()


def ranked(outcomes):
    """Candidate indexes, best first: passed, then failed, errors, crashes;
    within each, by net Sharpe (highest first, none last)."""
    order = {"passed": 0, "failed": 1, "error": 2, "crashed": 3}
    return sorted(range(len(outcomes)), key=lambda i: (
        order.get(outcomes[i].verdict, 4),
        -outcomes[i].sharpe if outcomes[i].sharpe is not None else math.inf, i))
