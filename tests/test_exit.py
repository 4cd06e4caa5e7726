"""Interpreter exit while simulations are still running. At finalization CPython
ends every daemon (pipeline) thread that asks for the GIL with pthread_exit(),
unwinding through the module's C++ frames. Runs are held in many different
calls (collaborators that sleep, wait on events or locks, spin in bytecode, the
shared sync's wait, result() joining, the constructor's handshake, a graph
node's attribute read inside the module's graph walks) and the
interpreter ends normally, through sys.exit, or with an uncaught exception: the
exit status must be the expected one every time (no segfault, abort or hang).
One driver imports everything once and forks the repetitions; each child exits
through the ordinary finalization of its interpreter."""
import json
import os
import subprocess
import sys

import pytest

from conftest import run_python, subprocess_env

# Under the sanitizers (scripts/sanitize.sh) these exits cannot be judged: the forced
# unwind leaves the stack poisoning of the frames it skips in place, which the
# AddressSanitizer then reports as its own overflow (and GCC's UBSan reports the
# catch parameter of abi::__forced_unwind, which has no object).
pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="the repetitions are forked")
unjudged_under_sanitizers = pytest.mark.skipif(
    bool(os.environ.get("SIMULATE_SIGNAL_SANITIZED")),
    reason="the sanitizer runtimes misreport the forced unwind of daemon threads at exit")

REPETITIONS = int(os.environ.get("SIMULATE_SIGNAL_EXIT_REPETITIONS", "50"))
PARALLEL = 8               # children of one driver alive at once
CHILD_TIMEOUT = 120.0      # a child still alive after this is reported as hung (about 1 s when idle)

ENDINGS = {"normal": ("pass", 0), "sys.exit": ("sys.exit(3)", 3),
           "uncaught": ("raise RuntimeError('main thread failed')", 1)}

SCENARIO = r"""
import os, random, sys, threading, time
import tallowmere.simulate_signal as ss
import doubles as d

HOLD_TIMEOUT = 10.0


def sleeper(*args, **kwargs):
    while True:
        time.sleep(0.001)


def event_waiter(*args, **kwargs):
    never = threading.Event()
    while not never.wait(0.001):
        pass


def lock_waiter(*args, **kwargs):
    taken = threading.Lock()
    taken.acquire()
    while not taken.acquire(timeout=0.001):
        pass


def spinner(*args, **kwargs):
    # Pure bytecode: the thread gives up the GIL only when asked to.
    n = 0
    while True:
        n += 1


signal, strategy = (lambda: d.start(ss, "signal")), (lambda: d.start(ss, "strategy"))
MAIN = threading.get_ident()


class WatchedNode(d.FunctionGraphNode):
    # Reads of its attributes off the main thread are calls "graph.<attribute>"
    # in the current wiring's log: a pipeline can be held inside a graph walk.
    log = None

    def __getattribute__(self, name):
        if WatchedNode.log is not None and threading.get_ident() != MAIN:
            WatchedNode.log.call("graph." + name, (), dict(), lambda: None)
        return object.__getattribute__(self, name)


def watched(node):
    return WatchedNode(node.type, node.node, [watched(child) for child in node.children])


watched_signal = lambda: d.start(ss, "signal", graph=watched(d.signal_graph()))
watched_strategy = lambda: d.start(ss, "strategy", graph=watched(d.strategy_graph()))


def collect():
    # A finished run whose result() is collected on a daemon thread: held
    # inside the tracker or release(), with the handle's lock taken.
    finished = d.wait_done(signal(), HOLD_TIMEOUT)
    threading.Thread(target=finished.result, daemon=True).start()
    return finished


# Calls in which a run is held: how it waits there, how the run starts, and
# the evaluation route of the wiring.
HOLDS = [
    ("auth.get_wallet_secret", event_waiter, signal, "adapter"),
    ("sync_manager.acquire", lock_waiter, strategy, "adapter"),
    ("set_phase", sleeper, signal, "adapter"),
    ("vault.init_if_needed", spinner, signal, "adapter"),
    ("graph_validator.validate", sleeper, strategy, "adapter"),
    ("backtester.evaluate_expression", event_waiter, signal, "adapter"),
    ("BatchOrchestrator", sleeper, signal, "orchestrator"),
    ("orchestrator.evaluate", event_waiter, strategy, "orchestrator"),
    ("backtester.backtest", lock_waiter, signal, "direct"),
    ("backtester.run_backtest", sleeper, signal, "adapter"),
    ("evaluate_threshold_gates", spinner, strategy, "adapter"),
    ("load_found_signal_pnl", sleeper, signal, "adapter"),
    ("correlate_per_pool", lock_waiter, signal, "adapter"),
    ("compute_mi_per_pool", sleeper, strategy, "adapter"),
    ("era_thread.get_current_era_number", event_waiter, signal, "adapter"),
    ("search_tracker.record_signal_evaluation", sleeper, collect, "adapter"),
    ("sync_manager.release", lock_waiter, collect, "adapter"),
    # Inside the graph walks: the filtration check, the feature names, the tracking graph.
    ("graph.children", sleeper, watched_signal, "adapter"),
    ("graph.node", spinner, watched_strategy, "adapter"),
    ("graph.config", event_waiter, watched_signal, "adapter"),
    # Last: every run started after it waits on the pipeline's own event.
    ("sync_manager.request_for_sync", sleeper, signal, "adapter"),
]


def collector():
    # A caller thread that runs simulations one after another: exit finds
    # it in the constructor, in status(), cancel() or result().
    while True:
        try:
            h = random.choice([signal, strategy])()
        except RuntimeError:   # no new thread once the interpreter shuts down
            return
        h.status()
        if random.random() < 0.3:
            h.cancel()
        try:
            h.result()
        except Exception:
            pass


def hold(call_name, behaviour, start, route):
    w = d.Wiring(route=route).wire(ss)
    WatchedNode.log = w.log
    entered = threading.Event()

    def compute(*args, **kwargs):
        entered.set()
        behaviour()

    w.log.returns(call_name, compute=compute)
    handles = [start()]
    if not entered.wait(HOLD_TIMEOUT):
        print("never held in", call_name, file=sys.stderr)
    w.log.clear_behaviour(call_name)
    return handles


def scenario(points):
    d.Wiring().wire(ss)
    threading.Thread(target=collector, daemon=True).start()
    handles = []
    for point in sorted(points, key=HOLDS.index):
        handles += hold(*point)
    if HOLDS[-1] in points:
        handles += [signal(), strategy()]
    time.sleep(random.random() * 0.01)
    return handles


# A repetition (numbered `repetition`) holds three consecutive points of the
# list; a lone run holds them all.
repetition = globals().get("repetition")
if repetition is None:
    points = HOLDS
else:
    points = [HOLDS[(repetition + j) % len(HOLDS)] for j in range(3)]
handles = scenario(points)
print("started", flush=True)
{ending}
"""

# Forks the repetitions from one interpreter, at most `parallel` alive at
# once; each child redirects its output to its own files, runs the scenario
# and exits on its own; one still alive after `child_timeout` seconds is
# killed and counts as hung. The parent prints one JSON line:
# [[exit status, stdout, stderr], ...] in repetition order.
DRIVER = r"""
import json, os, shutil, sys, tempfile, time
from signal import SIGKILL

repetitions, parallel, child_timeout = {repetitions}, {parallel}, {child_timeout}
outdir = tempfile.mkdtemp(prefix="simsig-exit-")
import tallowmere.simulate_signal
import doubles

running, outcomes = {{}}, []


def reap():
    pid, status = os.waitpid(-1, os.WNOHANG)
    if pid:
        outcomes.append((running.pop(pid)[0], status))
        return
    for pid, (repetition, started) in list(running.items()):
        if time.monotonic() - started > child_timeout:
            os.kill(pid, SIGKILL)
            os.waitpid(pid, 0)
            outcomes.append((running.pop(pid)[0], None))
    time.sleep(0.005)


def output(repetition, stream):
    return os.path.join(outdir, "%d.%s" % (repetition, stream))


is_child = False
for repetition in range(repetitions):
    while len(running) >= parallel:
        reap()
    pid = os.fork()
    if pid == 0:
        is_child = True
        for fd, stream in ((1, "out"), (2, "err")):
            os.dup2(os.open(output(repetition, stream), os.O_WRONLY | os.O_CREAT), fd)
        break
    running[pid] = (repetition, time.monotonic())

if not is_child:
    while running:
        reap()
    report = []
    for repetition, status in sorted(outcomes):
        code = "hung" if status is None else os.waitstatus_to_exitcode(status)
        report.append([code] + [open(output(repetition, s)).read() for s in ("out", "err")])
    shutil.rmtree(outdir)
    print(json.dumps(report), flush=True)
    os._exit(0)
"""


def launch(code):
    return subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=subprocess_env())


def finish(proc, timeout):
    try:
        stdout, stderr = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise AssertionError("the interpreter did not exit in time") from None
    return proc.returncode, stdout, stderr


@pytest.fixture(scope="module")
def launched():
    """Every interpreter of this file, started at once: per mode, one lone
    run in a fresh interpreter and one driver of the forked repetitions."""
    procs = {}
    for mode, (ending, _) in ENDINGS.items():
        scenario = SCENARIO.format(ending=ending)
        procs[mode, "fresh"] = launch(scenario)
        procs[mode, "forked"] = launch(DRIVER.format(
            repetitions=REPETITIONS, parallel=PARALLEL, child_timeout=CHILD_TIMEOUT) + scenario)
    yield procs
    for proc in procs.values():
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


def check_exit(status, stdout, stderr, expected, mode):
    assert status == expected, f"exit status {status}, expected {expected}:\n{stderr}"
    assert stdout == "started\n"
    for sign in ("FATAL", "Fatal", "terminate called", "Segmentation", "Aborted", "leaked",
                 "Exception in thread", "Exception ignored"):
        assert sign not in stderr, stderr
    if mode == "uncaught":
        assert stderr.rstrip().endswith("RuntimeError: main thread failed"), stderr
    else:
        assert stderr == ""


@unjudged_under_sanitizers
@pytest.mark.parametrize("mode", list(ENDINGS))
def test_exit_with_live_runs_in_a_fresh_interpreter(launched, mode):
    check_exit(*finish(launched[mode, "fresh"], CHILD_TIMEOUT + 30), ENDINGS[mode][1], mode)


@unjudged_under_sanitizers
@pytest.mark.parametrize("mode", list(ENDINGS))
def test_exit_with_live_runs_repeatedly(launched, mode):
    expected = ENDINGS[mode][1]
    status, stdout, stderr = finish(launched[mode, "forked"],
                                    REPETITIONS * CHILD_TIMEOUT / PARALLEL + 60)
    assert status == 0, stderr
    report = json.loads(stdout.splitlines()[-1])
    assert len(report) == REPETITIONS
    failures = [(i, code, err[-2000:]) for i, (code, _, err) in enumerate(report)
                if code != expected]
    assert not failures, json.dumps(failures, indent=1)
    for code, out, err in report:
        check_exit(code, out, err, expected, mode)


# A fork() while runs are live: in the child their pipelines do not exist, so
# the runs have ended there with an error that says so, the shared sync starts
# anew and new runs work; the parent goes on untouched.
FORK = r"""
import os, threading, traceback
import tallowmere.simulate_signal as ss
import doubles as d

w = d.Wiring().wire(ss)
block = w.log.block({held!r})
handles = [d.start(ss)]
assert block.wait_entered(10)
if {held!r} == "sync_manager.request_for_sync":
    handles.append(d.start(ss))   # waits on the shared sync's event
pid = os.fork()
if pid == 0:
    try:
        for h in handles:
            assert h.done() and not h._thread.is_alive() and h._thread not in threading.enumerate()
            h._thread.join()
            assert h.status().phase == "error" and "did not survive fork()" in str(h.exception(0))
        syncs = w.log.count("sync_manager.request_for_sync")
        assert d.collect(d.start(ss), 10).passed
        assert w.log.count("sync_manager.request_for_sync") == syncs + 1
        assert w.log.count("sync_manager.release") == 1   # the new run's alone
    except BaseException:
        traceback.print_exc()
        os._exit(1)
    os._exit(0)
block.release()
assert all(d.collect(h, 10).passed for h in handles)
print("child exit status", os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""


@pytest.mark.parametrize("held", ["backtester.run_backtest", "sync_manager.request_for_sync"])
def test_fork_with_live_runs(held):
    done = run_python(FORK.format(held=held))
    assert done.stdout == "child exit status 0\n", done.stderr
