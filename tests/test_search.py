"""The candidate search on Dask (examples/search_on_dask.py): on a local cluster
and in one process, on a scheduler and worker started apart, with a crashing
candidate and with Ctrl-C. Every process started here runs in its own process
group, which is killed if anything is left in it, and a run whose group is
not empty once it has exited fails: it left a process behind."""
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


def env():
    environment = subprocess_env()
    environment["PYTHONPATH"] = os.pathsep.join([str(EXAMPLES), environment["PYTHONPATH"]])
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
def group(args, **popen):
    """``args`` started in a new process group; whatever is left of the group
    afterwards is killed."""
    process = subprocess.Popen(args, start_new_session=True, env=env(), cwd=ROOT, **popen)
    try:
        yield process
    finally:
        if process.poll() is None or live_members(process.pid):
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        process.wait(timeout=30)


def run_example(*args):
    """(stdout, pid) of a run that exits 0 and leaves no process behind."""
    with group([sys.executable, str(EXAMPLES / "search_on_dask.py"), *args],
               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as process:
        out, err = process.communicate(timeout=TIMEOUT_S)
        assert process.returncode == 0, out + err
        assert wait_until_empty(process.pid) == [], "processes left behind"
    return out, process.pid


def table_rows(out):
    lines = out.splitlines()
    start = next(i for i, line in enumerate(lines) if line.split()[:2] == ["#", "graph"])
    end = lines.index("", start)
    return lines[start + 1:end]


def simulating_pids(out):
    line = next(line for line in out.splitlines() if line.startswith("processes that simulated:"))
    return {int(pid) for pid in line.split(":")[1].split(",")}


def test_local_cluster_ranks_every_candidate_like_one_process_does():
    args = ["--candidates", "6", "--seed", "3", "--graph", json.dumps(UNKNOWN)]
    cluster_out, cluster_pid = run_example(*args, "--workers", "2")
    rows = table_rows(cluster_out)
    assert len(rows) == 7
    for row in rows[:-1]:
        assert row.split()[2] in ("passed", "failed"), row
        float(row.split()[3])  # a Sharpe ratio
    # The bad candidate is reported in its row, ranked last; the others completed.
    assert rows[-1].split()[1:3] == ["no_such_feature", "error"]
    assert "ValueError: unknown feature 'no_such_feature'" in rows[-1]
    assert "simulations/s" in cluster_out and "wall time:" in cluster_out
    assert cluster_pid not in simulating_pids(cluster_out)  # the workers simulated

    in_process_out, in_process_pid = run_example(*args, "--in-process")
    assert table_rows(in_process_out) == rows  # same candidates, same market, same figures
    assert simulating_pids(in_process_out) == {in_process_pid}


def test_example_on_a_scheduler_and_worker_started_apart(tmp_path):
    scheduler_file = tmp_path / "scheduler.json"
    dask_cli = [sys.executable, "-m"]
    with group(dask_cli + ["distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port",
                           "0", "--no-dashboard", "--scheduler-file", str(scheduler_file)],
               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) as scheduler:
        deadline = time.monotonic() + 60
        while not scheduler_file.exists():
            assert scheduler.poll() is None and time.monotonic() < deadline, "no scheduler"
            time.sleep(0.2)
        time.sleep(0.2)  # the file is written in one go, but give it a moment
        address = json.loads(scheduler_file.read_text())["address"]
        assert address.startswith("tcp://127.0.0.1:")
        with group(dask_cli + ["distributed.cli.dask_worker", "--scheduler-file",
                               str(scheduler_file), "--no-nanny", "--nthreads", "1", "--host",
                               "127.0.0.1", "--no-dashboard", "--local-directory",
                               str(tmp_path / "worker")],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) as worker:
            out, _ = run_example("--candidates", "4", "--scheduler", address)
            assert f"cluster at {address}: 1 worker(s)" in out
            assert len(table_rows(out)) == 4 and "simulations/s" in out
            assert simulating_pids(out) == {worker.pid}  # nothing was started locally
            worker.terminate()
            worker.wait(timeout=60)
        scheduler.terminate()
        scheduler.wait(timeout=60)


CRASH_DRIVER = """
import json, os, sys
import dask
import candidate_search as cs

def evaluate(graph, universe, pool):
    if graph["node"] == "crash":
        os._exit(3)
    return cs.evaluate_candidate(graph, universe, pool)

dask.config.set({"distributed.scheduler.allowed-failures": 0,
                 "distributed.scheduler.worker-saturation": 1.0})
graphs = cs.generate_candidates(4, 0)
graphs.insert(1, cs.feature("crash"))
with cs.cluster_client(workers=1) as client:
    outcomes = cs.search_on_cluster(client, graphs, evaluate=evaluate)
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
    out, err = tmp_path / "out", tmp_path / "err"
    with open(out, "w") as stdout, open(err, "w") as stderr, group(
            [sys.executable, str(EXAMPLES / "search_on_dask.py"), "--candidates", "3000",
             "--workers", "2"], stdout=stdout, stderr=stderr) as process:
        deadline = time.monotonic() + TIMEOUT_S
        while "/3000" not in err.read_text():  # the progress bar: results are arriving
            assert process.poll() is None and time.monotonic() < deadline, err.read_text()
            time.sleep(0.1)
        os.killpg(process.pid, signal.SIGINT)  # as a terminal's Ctrl-C: the whole group
        assert process.wait(timeout=TIMEOUT_S) == 130   # Dask shuts down slowly under load
        assert wait_until_empty(process.pid) == [], "processes left behind"
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
        assert search[key]["errors"] == 0 and search[key]["simulations_per_s"] > 0
    assert search["speed_up_2_over_1_worker"] > 0
