"""The candidate search on Dask (examples/search_on_dask.py): on a local cluster
and in one process, on a scheduler and worker started apart with no PYTHONPATH
(the search ships its sources) and a runtime of a team's own, with a crashing
candidate, a worker killed mid-search and Ctrl-C. Every process started here
runs in its own process group, which is killed if anything is left in it, and
a run whose group is not empty once it has exited fails: it left a process
behind."""
import csv
import importlib.util
import json
import os
import signal
import subprocess
import sys
import time
from contextlib import contextmanager

import pytest

from conftest import ROOT, subprocess_env

pytest.importorskip("numpy", reason="the reference runtime needs numpy")
pytest.importorskip("distributed", reason="needs the distributed extra (dask[distributed])")
if not os.path.isdir("/proc"):
    pytest.skip("process groups are inspected through /proc", allow_module_level=True)

EXAMPLES = ROOT / "examples"
TIMEOUT_S = 180
UNKNOWN = {"type": "feature", "node": "no_such_feature", "children": []}


def env(*paths):  # the tests' environment, with ``paths`` and examples/ on PYTHONPATH
    environment = subprocess_env()
    environment["PYTHONPATH"] = os.pathsep.join(map(str, [*paths, EXAMPLES,
                                                          environment["PYTHONPATH"]]))
    return environment


def live_members(pgid):
    """Processes of the group that have not exited (zombies left to init are gone)."""
    members = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                state, _ppid, group = stat.read().rsplit(")", 1)[1].split()[:3]
        except (OSError, ValueError):
            continue
        if int(group) == pgid and state != "Z":
            members.append(int(entry))
    return members


def wait_until_empty(pgid, timeout=TIMEOUT_S):
    deadline = time.monotonic() + timeout
    while live_members(pgid) and time.monotonic() < deadline:
        time.sleep(0.2)
    return live_members(pgid)


@contextmanager
def group(args, environment=None, cwd=ROOT, **popen):
    """``args`` started in a new process group; whatever is left of the group
    afterwards is killed."""
    process = subprocess.Popen(args, start_new_session=True, env=environment or env(), cwd=cwd,
                               **popen)
    try:
        yield process
    finally:
        if process.poll() is None or live_members(process.pid):
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        process.wait(timeout=30)


def run_example(*args, code=0, environment=None):
    """(stdout, stderr, pid) of a run that exits with ``code`` and leaves no
    process behind."""
    with group([sys.executable, str(EXAMPLES / "search_on_dask.py"), *map(str, args)],
               environment, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as process:
        out, err = process.communicate(timeout=TIMEOUT_S)
        assert process.returncode == code, out + err
        assert wait_until_empty(process.pid) == [], "processes left behind"
    return out, err, process.pid


def table_rows(out):
    lines = out.splitlines()
    start = next(i for i, line in enumerate(lines) if line.split()[:2] == ["#", "graph"])
    end = lines.index("", start)
    return lines[start + 1:end]


def simulating_pids(out):
    line = next(line for line in out.splitlines() if line.startswith("processes that simulated:"))
    return {int(pid) for pid in line.split(":")[1].split(",")}


def read_rows(path):
    if path.suffix == ".parquet":
        import pyarrow.parquet
        return pyarrow.parquet.read_table(path).to_pylist()
    with open(path, newline="") as rows:
        return [{k: v or None for k, v in row.items()} for row in csv.DictReader(rows)]


def test_local_cluster_ranks_every_candidate_like_one_process_does(tmp_path):
    args = ["--candidates", "6", "--seed", "3", "--graph", json.dumps(UNKNOWN)]
    cluster_out, _, cluster_pid = run_example(*args, "--workers", "2", "--out",
                                              tmp_path / "rows.csv")
    rows = table_rows(cluster_out)
    assert len(rows) == 7
    for row in rows[:-1]:
        assert row.split()[2] in ("passed", "failed"), row
        float(row.split()[3])  # a Sharpe ratio
    # A failed gate shows the bound it missed; the bad candidate is reported
    # in its row, ranked last, and counted as crashed.
    assert any(" failed " in row and row.endswith(" < 1.00)") for row in rows), rows
    assert rows[-1].split()[1:3] == ["no_such_feature", "error"]
    assert "ValueError: unknown feature 'no_such_feature'" in rows[-1]
    assert ", 1 crashed" in cluster_out and "(6 that ran, in" in cluster_out
    assert cluster_pid not in simulating_pids(cluster_out)  # the workers simulated

    # In one process (and to Parquet where pyarrow is installed): the same rows.
    kept = tmp_path / ("rows.parquet" if importlib.util.find_spec("pyarrow") else "rows.txt")
    in_process_out, _, in_process_pid = run_example(*args, "--in-process", "--out", kept)
    assert table_rows(in_process_out) == rows  # same candidates, same market, same figures
    assert simulating_pids(in_process_out) == {in_process_pid}
    on_cluster, in_process = read_rows(tmp_path / "rows.csv"), read_rows(kept)
    for row in on_cluster[:-1] + in_process[:-1]:  # in candidate order, with seconds per phase
        assert row["stats_verdict"].startswith("Sharpe ") and float(row["evaluating_s"]) > 0
    assert [[str(row[key]) for key in ("candidate", "graph", "verdict", "bound")]
            for row in in_process] == [[str(row[key]) for key in ("candidate", "graph",
                                       "verdict", "bound")] for row in on_cluster]
    assert [row["candidate"] for row in on_cluster] == [str(i) for i in range(7)]
    assert on_cluster[-1]["graph"] == "no_such_feature" and "Traceback" in on_cluster[-1]["error"]


def test_batches_keep_the_task_overhead_within_its_share():
    import candidate_search as cs
    # (task overhead s, simulation s, candidates left, workers): candidates per task
    for args, size in [((0.004, None, 100, 1), 1), ((0.0045, 0.02, 100, 1), 12),
                       ((0.0045, 0.02, 6, 2), 2), ((1.0, 0.001, 10**6, 1), 64)]:
        assert cs.batch_size(*args) == size, args


@pytest.mark.parametrize("args, complaint", [
    (["--runtime", "no_such_module:build"],
     "argument --runtime: no_such_module:build: ModuleNotFoundError"),
    (["--runtime", "reference_runtime"], "'reference_runtime' is not MODULE:FUNCTION"),
    (["--out", "rows.parquet"], "argument --out: writing Parquet needs pyarrow"),
])
def test_bad_arguments_are_refused(tmp_path, args, complaint):
    (tmp_path / "pyarrow").mkdir()  # an environment without pyarrow
    (tmp_path / "pyarrow" / "__init__.py").write_text("raise ImportError('no pyarrow here')\n")
    _, err, _ = run_example(*args, code=2, environment=env(tmp_path))
    assert complaint in err, err


@contextmanager
def searching(err, *args):
    """The example started with ``args`` (stderr to the file ``err``), once its
    progress bar shows that outcomes are arriving."""
    with open(err, "w") as stderr, group([sys.executable, str(EXAMPLES / "search_on_dask.py"),
                                          *map(str, args)], stdout=subprocess.PIPE,
                                         stderr=stderr, text=True) as process:
        deadline = time.monotonic() + TIMEOUT_S
        while f"/{args[1]}" not in err.read_text():
            assert process.poll() is None and time.monotonic() < deadline, err.read_text()
            time.sleep(0.05)
        yield process


@contextmanager
def cluster(tmp_path):
    """(address, nanny) of a scheduler and a worker under a nanny, on
    127.0.0.1, started apart in the project's environment with no PYTHONPATH,
    in a directory with nothing of the search: it reaches them by itself."""
    scheduler_file = tmp_path / "scheduler.json"
    clean = {k: v for k, v in subprocess_env().items() if k != "PYTHONPATH"}
    dask = dict(environment=clean, cwd=tmp_path, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
    with group([sys.executable, "-m", "dask", "scheduler", "--host", "127.0.0.1", "--port", "0",
                "--no-dashboard", "--scheduler-file", scheduler_file], **dask) as scheduler:
        deadline = time.monotonic() + 60
        while not scheduler_file.exists():
            assert scheduler.poll() is None and time.monotonic() < deadline, "no scheduler"
            time.sleep(0.2)
        time.sleep(0.2)  # the file is written in one go, but give it a moment
        address = json.loads(scheduler_file.read_text())["address"]
        assert address.startswith("tcp://127.0.0.1:")
        with group([sys.executable, "-m", "dask", "worker", address, "--host", "127.0.0.1",
                    "--nthreads", "1", "--no-dashboard", "--local-directory",
                    tmp_path / "worker"], **dask) as nanny:
            yield address, nanny
            nanny.terminate()
            nanny.wait(timeout=60)
        scheduler.terminate()
        scheduler.wait(timeout=60)


def worker_pid(nanny):  # the worker process the nanny runs (not its resource tracker)
    deadline = time.monotonic() + TIMEOUT_S
    while time.monotonic() < deadline:
        for pid in live_members(nanny.pid):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                    command = cmdline.read()
            except OSError:
                continue
            # Titled by setproctitle when it is installed, else a spawned process.
            if b"dask worker" in command or b"spawn_main" in command:
                return pid
        time.sleep(0.1)
    raise AssertionError("the nanny runs no worker")


TRACKED = """from reference_runtime import build_runtime

def build(data_dir, seed):
    phases = open({tracking!r} + ".phases", "a")
    return dict(build_runtime(data_dir, seed, n_dates=120, tracking_path={tracking!r}),
                set_phase=lambda phase: print(phase, file=phases, flush=True))
"""
BROKEN = """def build(data_dir, seed):
    raise RuntimeError("no licence server")
"""
# (the team's runtime module, more arguments, exit code, what stderr says, once each)
TEAM_RUNTIMES = [
    (TRACKED, [], 0, []),
    (BROKEN, [], 1, ["cannot serve the search: the runtime team_1:build failed to wire it",
                     'team_1.py", line 2, in build', "RuntimeError: no licence server"]),
    (TRACKED, ["--universe", "nowhere"], 1, ["every candidate crashed; the first, ",
                                              "Traceback", "Unknown named_universe 'nowhere'"]),
]


def test_runtimes_of_ones_own_on_a_cluster_started_apart(tmp_path):
    with cluster(tmp_path) as (address, nanny):
        for number, (source, args, code, said) in enumerate(TEAM_RUNTIMES):
            tracking = tmp_path / f"tracking_{number}.jsonl"
            (tmp_path / f"team_{number}.py").write_text(source.format(tracking=str(tracking)))
            out, err, _ = run_example("--candidates", "4", "--scheduler", address, "--runtime",
                                      f"team_{number}:build", *args, code=code,
                                      environment=env(tmp_path))
            assert all(err.count(text) == 1 for text in said), (number, err)
            assert ("simulations/s" in out) == (code == 0), (number, out)
            if code == 0:
                assert f"cluster at {address}: 1 worker(s)" in out and len(table_rows(out)) == 4
                assert simulating_pids(out) == {worker_pid(nanny)}  # nothing started locally
                # The worker simulated through the team's runtime, which recorded
                # each run and was told each phase.
                assert len(tracking.read_text().splitlines()) == 4
                phases = tracking.with_name(tracking.name + ".phases").read_text()
                assert phases.count("backtesting\n") == 4


def test_a_worker_killed_mid_search_loses_no_candidate(tmp_path):
    rows, err = tmp_path / "rows.csv", tmp_path / "err"
    with cluster(tmp_path) as (address, nanny), searching(
            err, "--candidates", 150, "--scheduler", address, "--out", rows) as search:
        killed = worker_pid(nanny)
        os.kill(killed, signal.SIGKILL)  # mid-search; the nanny starts another worker
        out, _ = search.communicate(timeout=TIMEOUT_S)
        assert search.returncode == 0, out + err.read_text()
    kept = read_rows(rows)
    assert [int(row["candidate"]) for row in kept] == list(range(150))  # one row each
    assert {row["verdict"] for row in kept} <= {"passed", "failed"}
    pids = {int(row["pid"]) for row in kept}
    assert killed in pids and len(pids) == 2  # the restarted worker did the rest


CRASH_DRIVER = """
import json, os, sys
import dask
import candidate_search as cs
from reference_runtime import feature

def evaluate(graph, universe, pool):
    if graph["node"] == "crash":
        os._exit(3)
    return cs.evaluate_candidate(graph, universe, pool)

dask.config.set({"distributed.scheduler.allowed-failures": 0,
                 "distributed.scheduler.worker-saturation": 1.0})
graphs = cs.generate_candidates(4, 0)
graphs.insert(1, feature("crash"))
with cs.cluster_client(workers=1) as client:  # the crash takes its batch down with it
    outcomes = cs.search_on_cluster(client, graphs, evaluate=evaluate, batch=3)
print(json.dumps([[o.verdict, o.reason] for o in outcomes]))
"""


def test_a_crashing_candidate_is_reported_and_the_search_goes_on():
    with group([sys.executable, "-c", CRASH_DRIVER], stdout=subprocess.PIPE,
               stderr=subprocess.PIPE, text=True) as process:
        out, err = process.communicate(timeout=TIMEOUT_S)
        assert process.returncode == 0, out + err
        assert wait_until_empty(process.pid) == []
    outcomes = json.loads(out.splitlines()[-1])
    assert outcomes[1] == ["crashed", "KilledWorker"]
    assert all(verdict in ("passed", "failed") for verdict, _ in outcomes[:1] + outcomes[2:])


def test_ctrl_c_cancels_the_search_and_stops_the_local_cluster(tmp_path):
    err = tmp_path / "err"
    with searching(err, "--candidates", 3000, "--workers", 2) as process:
        os.killpg(process.pid, signal.SIGINT)  # as a terminal's Ctrl-C: the whole group
        process.communicate(timeout=TIMEOUT_S)  # Dask shuts down slowly under load
        assert process.returncode == 130 and wait_until_empty(process.pid) == []
    assert "interrupted:" in err.read_text() and "the rest cancelled" in err.read_text()
    # Dask's own event loop may log a callback it could not run while the
    # cluster shuts down; what must not appear is a traceback through the search.
    assert "candidate_search.py" not in err.read_text()
    assert "search_on_dask.py\", line" not in err.read_text()


def test_search_benchmark_section(tmp_path):
    results = tmp_path / "results.json"
    skip = [arg for section in ("full", "creation", "status", "many", "gather", "instructions")
            for arg in ("--skip", section)]
    with group([sys.executable, "-m", "benchmarks", "--quick", *skip, "--json", str(results)],
               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as process:
        out, err = process.communicate(timeout=TIMEOUT_S)
        assert process.returncode == 0, out + err
    search = json.loads(results.read_text())["results"]["search"]
    for key in ("in_process", "workers_1", "workers_2"):
        assert search[key]["crashed"] == 0 and search[key]["simulations_per_s"] > 0
    assert search["overhead_1_worker"] > -1 and search["efficiency_2_workers"] > 0
