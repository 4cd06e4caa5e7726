"""A candidate search: seeded signal graphs, each simulated through
``simulate_signal``, in one process or on Dask workers, on any runtime.

Shared by examples/search_on_dask.py, the benchmark suite's "search" section
and tests/test_search.py.

- ``generate_candidates(n, seed)``: ``n`` distinct signal graphs built from
  the synthetic market's features; the same seed gives the same list (and the
  first ``k`` of a longer list).
- A runtime is named ``"MODULE:FUNCTION"``: a factory that takes a data
  directory and a seed and returns the keyword arguments of
  ``init_simulate_signal`` (default: ``reference_runtime:build_runtime``).
  ``wire(runtime, data_dir, seed)`` wires this process through it.
- ``evaluate_candidate(graph, universe, pool)``: one simulation in this
  (wired) process, summed up as a small picklable ``Outcome`` (never the
  handle), with the seconds it spent in each phase; ``evaluate_batch`` runs
  several, one after the other: one Dask task.
- ``search_in_process`` / ``search_on_cluster``: every candidate's
  ``Outcome``, in candidate order, calling ``on_outcome(index, outcome)`` as
  each arrives. ``cluster_client`` starts a local cluster (or connects to a
  scheduler), ships this module and the runtime's sources to the workers and
  the scheduler, and wires every worker through the runtime factory.

Importing this module puts the repository's paths on ``sys.path``
(``dev_paths``); the copy shipped to a worker imports the ``dev_paths``
shipped beside it, which adds the development build named by
SIMULATE_SIGNAL_BUILD.
"""
import hashlib
import importlib
import io
import itertools
import logging
import math
import os
import queue
import random
import shutil
import signal
import site
import sys
import sysconfig
import tempfile
import threading
import time
import traceback
import zipfile
from collections import deque
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
if (ROOT / "dev_paths.py").is_file():  # in the repository, not a copy shipped to a worker
    sys.path.insert(0, str(ROOT))
import dev_paths  # noqa: E402,F401  (shipped beside this module to the workers)

try:
    from distributed import SchedulerPlugin, WorkerPlugin
except ImportError:  # the in-process search needs no Dask
    SchedulerPlugin = WorkerPlugin = object

DEFAULT_RUNTIME = "reference_runtime:build_runtime"
UNIVERSE = "synth_broad"
POOL = "alpha"
CROSS_SECTION = ("rank", "zscore")
SERIES = ("neg", "lag_1", "delta_1", "ts_mean_5", "ts_mean_20")
COMBINE = ("add", "sub", "mul")
# The phases a run reports before it ends, in pipeline order.
PHASES = ("syncing", "initializing", "feature-reconstruction-deobfuscation",
          "graph-validation", "evaluating", "backtesting", "computing_mi")
# A batch holds enough candidates that the per-task cost of the cluster path
# is at most this share of the batch's simulation time.
TASK_OVERHEAD_SHARE = 0.02
MAX_BATCH = 64


# ---------------------------------------------------------------------------
# Candidates

def _leg(rng):
    """A feature under up to two time-series steps, then a cross-sectional one."""
    from reference_runtime import feature, rotation
    from reference_runtime.market import FEATURE_NAMES
    node = feature(rng.choice(FEATURE_NAMES))
    for _ in range(rng.randint(0, 2)):
        node = rotation(rng.choice(SERIES), node)
    return rotation(rng.choice(CROSS_SECTION), node)


def _random_signal(rng):
    from reference_runtime import rotation
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
# The runtime

class WorkerCannotServe(RuntimeError):
    """A worker (or the scheduler) cannot take part in the search: the search's
    sources do not import there, or the runtime factory failed. The message
    holds the whole error."""


def load_factory(runtime):
    """The runtime factory named ``"MODULE:FUNCTION"`` (imported here)."""
    module_name, colon, name = runtime.partition(":")
    if not colon or not module_name or not name:
        raise ValueError(f"{runtime!r} is not MODULE:FUNCTION")
    factory = importlib.import_module(module_name)
    for part in name.split("."):
        factory = getattr(factory, part)
    if not callable(factory):
        raise TypeError(f"{runtime} is not callable")
    return factory


class PhaseClock:
    """The ``set_phase`` collaborator: notes when each run, known by its
    pipeline thread, entered each phase, and passes the phase on to the
    runtime's own ``set_phase`` when it has one."""

    def __init__(self, forward=None):
        self.forward = forward
        self.marks = {}

    def __call__(self, phase):
        self.marks.setdefault(threading.current_thread(), []).append(
            (phase, time.perf_counter()))
        if self.forward is not None:
            self.forward(phase)

    def seconds(self, handle, ended):
        """{phase: seconds} of the run of ``handle``, which ended at ``ended``."""
        marks = self.marks.pop(getattr(handle, "_thread", None), [])
        spent = {}
        for (phase, start), (_, end) in zip(marks, marks[1:] + [(None, ended)]):
            if phase in PHASES:
                spent[phase] = spent.get(phase, 0.0) + end - start
        return spent


_CLOCK = None           # this process's PhaseClock, once wired
WIRING_FAILURE = None   # why this worker cannot serve, once its wiring failed


def wire(runtime, data_dir, seed):
    """Build this process's collaborators with the runtime factory (in
    ``data_dir``, from ``seed``) and wire the module with them."""
    global _CLOCK
    import tallowmere.simulate_signal as ss
    collaborators = dict(load_factory(runtime)(data_dir, seed))
    clock = PhaseClock(collaborators.get("set_phase"))
    collaborators["set_phase"] = clock
    ss.init_simulate_signal(**collaborators)
    _CLOCK = clock


def wire_worker(runtime, data_dir, seed, address):
    """``wire`` in a worker; a failure is kept for every batch the worker is
    given, and raised."""
    global WIRING_FAILURE
    try:
        wire(runtime, data_dir, seed)
        WIRING_FAILURE = None
    except BaseException:
        WIRING_FAILURE = (f"worker {address} cannot serve the search: the runtime "
                          f"{runtime} failed to wire it:\n{traceback.format_exc()}")
        raise WorkerCannotServe(WIRING_FAILURE) from None


# ---------------------------------------------------------------------------
# One candidate

@dataclass
class Outcome:
    """What a search keeps of one simulation.

    ``verdict`` is "passed" or "failed" (a gate: ``reason`` names it,
    ``detail`` is its text and ``bound`` the missed bound as its verdict reads
    it, "Sharpe 0.60 < 1.00"), "error" (the run raised: ``reason`` is the
    exception type, ``error`` the whole error) or "crashed" (the task was
    lost, e.g. its worker process died). ``phases`` holds the seconds spent
    in each phase, ``seconds`` the whole run's."""

    verdict: str
    reason: str | None = None
    detail: str | None = None
    bound: str | None = None
    sharpe: float | None = None
    turnover: float | None = None
    correlation: float | None = None
    mi: float | None = None
    stats_verdict: str | None = None
    correlation_verdict: str | None = None
    mi_verdict: str | None = None
    error: str | None = None
    pid: int | None = None
    worker: str | None = None
    seconds: float | None = None
    phases: dict = field(default_factory=dict)

    @property
    def ran(self):
        """The simulation ran to a verdict."""
        return self.verdict in ("passed", "failed")

    @classmethod
    def of_error(cls, verdict, error, pid=None):
        whole = "".join(traceback.format_exception(error)).strip() or repr(error)
        return cls(verdict, type(error).__name__, str(error)[:300], error=whole, pid=pid)


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


def _text(value):
    return None if value is None else str(value)


def summarize(result, pid=None):
    """The ``Outcome`` of a ``SimulationResult``: the verdict, the bound it
    missed, the gates' verdicts and the figures the result offers (net Sharpe,
    turnover, pool correlation, PnL MI)."""
    missed = {"thresholds": result.stats_verdict, "correlation": result.correlation_verdict,
              "pnl_mi": result.mi_verdict}.get(result.failure_reason)
    return Outcome(
        "passed" if result.passed else "failed",
        reason=result.failure_reason,
        detail=None if result.failure_detail is None else str(result.failure_detail)[:300],
        bound=str(missed) if getattr(missed, "metric", None) is not None else None,
        sharpe=_number(_field(result.per_column_stats, "pnl_net_sharpe")),
        turnover=_number(_field(result.stats, "turnover")),
        correlation=_number(result.is_correlation),
        mi=_number(result.is_pnl_mi),
        stats_verdict=_text(result.stats_verdict),
        correlation_verdict=_text(result.correlation_verdict),
        mi_verdict=_text(result.mi_verdict),
        pid=pid)


def _collect(handle, started, ended=None):
    """The ``Outcome`` of a run that has ended (or ends now), timed."""
    try:
        outcome = summarize(handle.result(), os.getpid())
    except Exception as error:
        outcome = Outcome.of_error("error", error, os.getpid())
    ended = time.perf_counter() if ended is None else ended
    outcome.seconds = ended - started
    if _CLOCK is not None:
        outcome.phases = _CLOCK.seconds(handle, ended)
    return outcome


def evaluate_candidate(graph, named_universe=UNIVERSE, signal_pool_id=POOL):
    """Simulate one signal graph in this (wired) process; its ``Outcome``."""
    import tallowmere.simulate_signal as ss
    started = time.perf_counter()
    try:
        handle = ss.simulate_signal(graph, named_universe=named_universe,
                                    signal_pool_id=signal_pool_id)
    except Exception as error:  # refused before any run started
        return Outcome.of_error("error", error, os.getpid())
    return _collect(handle, started)


class Batch(list):
    """The outcomes of one batch, in order; ``seconds``: the batch's wall time."""

    seconds = None


def evaluate_batch(graphs, universe=UNIVERSE, pool=POOL, evaluate=None):
    """One task: the graphs simulated in this worker, all started at once and
    collected as they end (or one after the other through ``evaluate``);
    their outcomes, in order, as a ``Batch``. Raises ``WorkerCannotServe`` on
    a worker whose wiring failed."""
    if WIRING_FAILURE:
        raise WorkerCannotServe(WIRING_FAILURE)
    try:
        from distributed import get_worker
        address = get_worker().address
    except (ImportError, ValueError):
        address = None
    started = time.perf_counter()
    batch = Batch([evaluate(graph, universe, pool) for graph in graphs] if evaluate
                  else search_in_process(graphs, universe=universe, pool=pool))
    batch.seconds = time.perf_counter() - started
    for outcome in batch:
        outcome.worker = address
    return batch


# ---------------------------------------------------------------------------
# Searches

def search_in_process(candidates, *, universe=UNIVERSE, pool=POOL, on_outcome=None):
    """Start every candidate's handle in this (wired) process, then collect
    them as they end. Ctrl-C cancels the runs still going."""
    import tallowmere.simulate_signal as ss
    outcomes = [None] * len(candidates)
    ended = queue.SimpleQueue()
    handles, started = {}, {}
    try:
        for index, graph in enumerate(candidates):
            started[index] = time.perf_counter()
            try:
                handles[index] = ss.simulate_signal(graph, named_universe=universe,
                                                    signal_pool_id=pool)
            except Exception as error:  # refused before any run started
                ended.put((index, Outcome.of_error("error", error, os.getpid())))
                continue
            handles[index].add_done_callback(
                lambda _, index=index: ended.put((index, time.perf_counter())))
        for _ in candidates:
            index, end = ended.get()
            outcomes[index] = (end if isinstance(end, Outcome)
                               else _collect(handles[index], started[index], end))
            if on_outcome:
                on_outcome(index, outcomes[index])
    except BaseException:
        for handle in handles.values():
            handle.cancel()
        raise
    return outcomes


def measure_task_overhead(client, tasks=None):
    """Seconds of the cluster path per task: a round of no-op tasks, timed
    from this client once the workers have run one each."""
    workers = max(1, len(client.scheduler_info()["workers"]))
    client.gather(client.map(abs, range(workers), pure=False))
    tasks = tasks or max(10, 5 * workers)
    t0 = time.perf_counter()
    client.gather(client.map(abs, range(tasks), pure=False))
    return (time.perf_counter() - t0) / tasks


def batch_size(overhead, simulation_s, remaining, workers):
    """Candidates per task: enough that ``overhead`` (seconds per task) is at
    most TASK_OVERHEAD_SHARE of the batch's simulations, few enough that every
    worker still gets two batches of what remains."""
    if not simulation_s:
        return 1
    wanted = math.ceil(overhead / (TASK_OVERHEAD_SHARE * simulation_s))
    return max(1, min(wanted, math.ceil(remaining / (2 * workers)), MAX_BATCH))


def search_on_cluster(client, candidates, *, universe=UNIVERSE, pool=POOL, on_outcome=None,
                      evaluate=None, batch=None, overhead=None):
    """Simulate the candidates on the cluster's workers in batches, two per
    worker in flight, and collect the outcomes as the batches complete.

    A batch holds ``batch`` candidates, or as many as the measured per-task
    ``overhead`` calls for at the simulation time seen so far (the first
    ones hold one). A batch lost with its worker, once the scheduler gives it
    up, is split into single candidates, so that a candidate that kills its
    worker is "crashed" alone and the others are simulated again. A batch
    that raises (a worker that cannot serve) stops the search:
    ``WorkerCannotServe``. Ctrl-C cancels the tasks still outstanding."""
    from distributed import as_completed
    from distributed.scheduler import KilledWorker
    workers = max(1, len(client.scheduler_info()["workers"]))
    if overhead is None and batch is None:
        overhead = measure_task_overhead(client)
    outcomes = [None] * len(candidates)
    pending, alone = deque(range(len(candidates))), deque()
    in_flight, seconds = {}, []
    run, serial = os.urandom(4).hex(), itertools.count()
    extra = (evaluate,) if evaluate else ()
    done = as_completed()

    def submit():
        while (pending or alone) and len(in_flight) < 2 * workers:
            size = batch or batch_size(overhead, sorted(seconds)[len(seconds) // 2]
                                       if seconds else None, len(pending), workers)
            indexes = [alone.popleft()] if alone else [pending.popleft()
                                                       for _ in range(min(size, len(pending)))]
            future = client.submit(evaluate_batch, [candidates[i] for i in indexes], universe,
                                   pool, *extra, key=f"candidates-{run}-{next(serial)}",
                                   pure=False)
            in_flight[future] = indexes
            done.add(future)

    def arrived(index, outcome):
        outcomes[index] = outcome
        if on_outcome:
            on_outcome(index, outcome)

    try:
        submit()
        for future in done:
            indexes = in_flight.pop(future)
            if future.status == "finished":
                results = future.result()
                seconds.append(results.seconds / len(results))
                for index, outcome in zip(indexes, results):
                    arrived(index, outcome)
            elif future.status == "error" and isinstance(future.exception(), KilledWorker):
                if len(indexes) > 1:
                    alone.extend(indexes)
                else:
                    arrived(indexes[0], Outcome.of_error("crashed", future.exception()))
            elif future.status == "error":
                raise _cannot_serve(future.exception(), future.traceback())
            else:
                for index in indexes:
                    arrived(index, Outcome("crashed", reason=future.status))
            submit()
    except BaseException:
        client.cancel(list(in_flight))
        raise
    finally:
        in_flight.clear()
    return outcomes


# ---------------------------------------------------------------------------
# What the workers and the scheduler are given

def _installed(path):
    """``path`` is part of the interpreter's installation (its standard
    library or site-packages), which every host of the cluster has its own of."""
    path = os.path.realpath(path)
    roots = [sysconfig.get_paths()[key] for key in ("stdlib", "platstdlib", "purelib", "platlib")]
    roots += site.getsitepackages() + [site.getusersitepackages()]
    return any(path.startswith(os.path.realpath(root) + os.sep) for root in roots if root)


def shipped_sources(runtime=DEFAULT_RUNTIME):
    """(archive name, zip bytes, top-level names): this module, the runtime
    factory's top-level package (or module), the reference runtime and the
    ``tallowmere`` sibling package, each only where this process imports it
    from outside the installed environment. The compiled module is never
    shipped: the hosts have their own build of it."""
    load_factory(runtime)
    names = [__name__, "dev_paths", runtime.partition(":")[0].split(".")[0], "reference_runtime",
             "tallowmere"]
    files = {}
    for name in dict.fromkeys(names):
        try:
            module = importlib.import_module(name)
        except ImportError:
            continue
        origin = getattr(module, "__file__", None)
        if not origin or not origin.endswith(".py") or _installed(origin):
            continue
        if os.path.basename(origin) == "__init__.py":
            for source in sorted(Path(origin).parent.rglob("*.py")):
                files[f"{name}/{source.relative_to(Path(origin).parent).as_posix()}"] = source
        else:
            files[f"{name}.py"] = Path(origin)
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for arcname, source in files.items():
            archive.writestr(zipfile.ZipInfo(arcname, (1980, 1, 1, 0, 0, 0)),
                             source.read_bytes(), zipfile.ZIP_DEFLATED)
    data = buffer.getvalue()
    tops = sorted({arcname.split("/")[0].removesuffix(".py") for arcname in files})
    return f"candidate-search-{hashlib.sha256(data).hexdigest()[:16]}.zip", data, tops


def _put_on_path(directory, archive_name, data, tops):
    """Write the shipped sources to ``directory`` and import from them first:
    modules of an earlier shipment are forgotten (not the ``tallowmere``
    package, which holds the compiled module)."""
    path = os.path.join(directory, archive_name)
    if not os.path.exists(path):
        with open(path + ".part", "wb") as archive:
            archive.write(data)
        os.replace(path + ".part", path)
    if path not in sys.path:
        sys.path.insert(0, path)
    for name in tops:
        if name == "tallowmere":
            continue
        for key in [key for key in sys.modules if key == name or key.startswith(name + ".")]:
            if not (getattr(sys.modules[key], "__file__", None) or "").startswith(path):
                del sys.modules[key]
    importlib.invalidate_caches()


class ShipToScheduler(SchedulerPlugin):
    """Puts the search's sources on the scheduler's path, which unpickles the
    task graphs. Pickled by value: the scheduler needs none of them first."""

    def __init__(self, archive_name, data, tops):
        self.archive_name, self.data, self.tops = archive_name, data, tops
        self.name = archive_name

    def start(self, scheduler):
        try:
            _put_on_path(scheduler.local_directory, self.archive_name, self.data, self.tops)
            importlib.import_module(__name__)
        except BaseException:
            raise WorkerCannotServe("the scheduler cannot serve the search: the search's "
                                    f"sources do not import there:\n{traceback.format_exc()}"
                                    ) from None


class SearchWorker(WorkerPlugin):
    """Makes a worker serve the search, once per worker process (one that
    joins later too): puts the shipped sources on its path, then builds its
    own collaborators with the runtime factory, from ``market_seed``, in its
    own data directory under the worker's local directory (removed when the
    worker closes), and wires the module. Pickled by value: the worker needs
    none of the sources first. A failure is raised with its whole traceback
    (to the client that registers the plugin) and kept for the batches the
    worker is given."""

    name = "tallowmere-candidate-search"

    def __init__(self, runtime, market_seed, sources=None):
        self.runtime, self.market_seed, self.sources = runtime, market_seed, sources
        self.data_dir = None

    def setup(self, worker):
        try:
            if self.sources:
                _put_on_path(worker.local_directory, *self.sources)
            search = importlib.import_module(__name__)
        except BaseException:
            raise WorkerCannotServe(f"worker {worker.address} cannot serve the search: its "
                                    f"sources do not import there:\n{traceback.format_exc()}"
                                    ) from None
        self.data_dir = tempfile.mkdtemp(prefix="simulate-signal-", dir=worker.local_directory)
        search.wire_worker(self.runtime, self.data_dir, self.market_seed, worker.address)

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


def _cannot_serve(error, traceback_=None):
    """``WorkerCannotServe`` for an error a plugin or a batch raised: its own
    report (whichever copy of the class the plugin raised), or the error whole."""
    if type(error).__name__ == WorkerCannotServe.__name__:
        return WorkerCannotServe(str(error))
    return WorkerCannotServe("a worker cannot serve the search:\n" + "".join(
        traceback.format_exception(type(error), error, traceback_ or error.__traceback__)))


@contextmanager
def cluster_client(*, workers=None, scheduler=None, market_seed=1, runtime=DEFAULT_RUNTIME,
                   worker_timeout=60):
    """A ``distributed.Client`` whose workers serve the search: on a new
    local cluster of ``workers`` processes (default: one per core; one thread
    each, on 127.0.0.1, no dashboard), or on the running cluster at
    ``scheduler`` (nothing is started locally; its scheduler and workers are
    sent the sources). Every worker is wired through ``runtime``; one that
    cannot serve raises ``WorkerCannotServe``. The client, and a local
    cluster, are closed on the way out."""
    import cloudpickle
    from distributed import Client, LocalCluster
    sources = shipped_sources(runtime)
    cluster = None if scheduler else LocalCluster(
        n_workers=workers or os.cpu_count(), threads_per_worker=1, processes=True,
        host="127.0.0.1", dashboard_address=None, silence_logs=logging.ERROR)
    try:
        with Client(scheduler or cluster, timeout=worker_timeout) as client:
            client.wait_for_workers(1 if scheduler else len(cluster.workers),
                                    timeout=worker_timeout)
            plugins = [ShipToScheduler(*sources)] if cluster is None else [
                LeaveInterruptsToClient()]
            # The plugins travel by value, so that a host with none of the
            # sources can load them; tasks name this module, which they provide.
            cloudpickle.register_pickle_by_value(sys.modules[__name__])
            try:
                for plugin in plugins + [SearchWorker(runtime, market_seed, sources)]:
                    client.register_plugin(plugin)
            except Exception as error:
                raise _cannot_serve(error) from None
            finally:
                cloudpickle.unregister_pickle_by_value(sys.modules[__name__])
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
