"""Module import, wiring, helpers read from the namespace, the result record's repr."""
import inspect
from types import SimpleNamespace as NS

import pytest

from conftest import run_python
from doubles import Boom, Wiring, collect, hostile, recorder, start, wait_done

BLOCK = ("import sys, importlib.abc\n"
         "class Block(importlib.abc.MetaPathFinder):\n"
         "    def __init__(self, name, exc): self.name, self.exc = name, exc\n"
         "    def find_spec(self, fullname, path, target=None):\n"
         "        if fullname == self.name: raise self.exc(fullname)\n")
IMPORT = ("try:\n    import tallowmere.simulate_signal as m\n"
          "except Exception as e: print(type(e).__name__, e)\nelse: print('imported')\n")


@pytest.mark.parametrize("blocked, exc, expected", [
    (["simulate_primitives.metaparameters"], "ImportError", "imported"),
    (["simulate_primitives.graph_shape"], "ImportError", "imported"),
    (["simulate_primitives.metaparameters"], "RuntimeError",
     "RuntimeError tallowmere.simulate_primitives.metaparameters"),
    (["simulate_primitives.graph_shape", "_simulate_primitives"], "ImportError",
     "ImportError tallowmere._simulate_primitives"),
])
def test_sibling_imports_fall_back_on_import_error_only(blocked, exc, expected):
    blocks = "".join(f"sys.meta_path.insert(0, Block('tallowmere.{b}', {exc}))\n"
                     for b in blocked or [])
    proc = run_python(BLOCK + blocks + IMPORT)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == expected


# In the order import creates them.
COLLABORATOR_GLOBALS = (
    "_auth _sync_manager _graph_validator _batch_orchestrator _backtester _search_tracker "
    "_era_thread _vault _compute_search_plan _era_config _vocabulary _load_vocabulary "
    "_useful_signal_metadata _useful_signals _useful_signal_pool _found_signal_pool "
    "_load_found_signal_pnl _signal_dir _network_client _server_client _BatchOrchestrator "
    "_set_phase _correlate_per_pool _compute_mi_per_pool _runtime_freshness_guard "
    "_vocabulary_raw").split()


def test_missing_sibling_name_aborts_import_and_fresh_globals_are_none():
    proc = run_python(
        "import tallowmere.sync as s, tallowmere.simulate_signal as m\n"
        "import inspect\nparams = inspect.signature(m.init_simulate_signal).parameters\n"
        "names = [n for n in vars(m) if n[1:] in params or n == '_BatchOrchestrator']\n"
        "print(' '.join(names), all(getattr(m, n) is None for n in names), m._sync_in_progress,"
        " m._sync_event.is_set())\n")
    assert proc.stdout.strip() == " ".join(COLLABORATOR_GLOBALS) + " True False False", proc.stderr
    proc = run_python("import tallowmere.sync as s\ndel s.EraError\n" + IMPORT)
    assert proc.stdout.strip() == ("ImportError cannot import name 'EraError' from "
                                   "'tallowmere.sync'")


FIRST_MODULE_WORKS = ("m._era_config = {'market_id': 1, 'era_number': 2, 'loaded': 'first'}\n"
                      "print(m._resolve_runtime_era_config(1, 2)['loaded'])\n")


@pytest.mark.parametrize("second", ["tallowmere.simulate_signal", "copy.simulate_signal",
                                    "subinterpreter"])
def test_loaded_once_per_process(second):
    if second == "subinterpreter":
        pytest.importorskip("_testcapi")
        sub = ("import os\ntry:\n    import tallowmere.simulate_signal\n"
               "except ImportError: os.write(1, b'ImportError once per process\\n')\n")
        load = f"import _testcapi\n_testcapi.run_in_subinterp({sub!r})\n"
    else:
        load = ("import importlib.util\n"
                f"spec = importlib.util.spec_from_file_location({second!r}, m.__file__)\n"
                "try:\n    spec.loader.exec_module(importlib.util.module_from_spec(spec))\n"
                "except ImportError as e: print('ImportError', e)\n")
    proc = run_python("import tallowmere.simulate_signal as m\n" + load + FIRST_MODULE_WORKS)
    assert proc.returncode == 0, proc.stderr
    refusal, first = proc.stdout.splitlines()
    assert refusal.startswith("ImportError ") and "once per process" in refusal
    assert first == "first"


def required(**overrides):
    return {"auth": object(), "sync_manager": NS(), "vault": object(),
            "backtester": NS(raw_backtester="raw"), "search_tracker": object(),
            "era_thread": object(), **overrides}


def guard():
    calls = []
    return NS(register_module_consumer=lambda *a, **k: calls.append((a, k)), calls=calls)


def test_every_parameter_sets_its_global(ss):
    params = list(inspect.signature(ss.init_simulate_signal).parameters)
    values = [object() for _ in params]
    ss.init_simulate_signal(*values)
    for param, value in zip(params[:-2], values):
        name = "_BatchOrchestrator" if param == "BatchOrchestrator_cls" else "_" + param
        assert getattr(ss, name) is value, name


def test_guard_from_the_sync_manager_registers_the_backtester(ss):
    g = guard()
    wiring = required(sync_manager=NS(runtime_freshness_guard=g))
    ss.init_simulate_signal(**wiring)
    assert ss._runtime_freshness_guard is g
    assert g.calls == [(("backtester", wiring["backtester"], "raw_backtester"), {})]
    ss.init_simulate_signal(**required(sync_manager=hostile("__getattr__")()),
                            runtime_freshness_guard=g)      # the sync manager is not asked


@pytest.mark.parametrize("backtester, g", [(NS(), guard()), (NS(raw_backtester=1), object()),
                                           (NS(raw_backtester=1), NS(register_module_consumer=5))])
def test_no_registration(ss, backtester, g):
    ss.init_simulate_signal(**required(backtester=backtester), runtime_freshness_guard=g)
    assert getattr(g, "calls", []) == []


def test_rewiring(ss):
    auth = object()
    with pytest.raises(Boom):
        ss.init_simulate_signal(**required(auth=auth, sync_manager=hostile(
            props=["runtime_freshness_guard"])()))
    assert ss._auth is auth                       # assigned before the failure
    ss.init_simulate_signal(**required(), era_config={"era_number": 3}, market_id=7,
                            era_number=3)
    second = required()
    ss.init_simulate_signal(**second)
    assert ss._auth is second["auth"] and ss._era_config is None


def test_result_repr(ss):
    lines = repr(ss.SimulationResult()).split("\n")
    assert (len(lines), lines[:2], lines[4], lines[-2:]) == (23, ["SimulationResult(",
        "  pool_kind=None,"], "  passed=True,", ["  resolved_metaparameters=None,", ")"])
    lines = repr(ss.SimulationResult(was_diagnostic_only=True, signal_pool_id="p1",
                                     pnl_matrix=[1])).split("\n")
    assert len(lines) == 24 and "  signal_pool_id='p1'," in lines
    assert lines[0].startswith("WARNING: selected pool computed diagnostically")
    assert not any("pnl_matrix" in line for line in lines)
    with pytest.raises(Boom):
        repr(ss.SimulationResult(stats=hostile("__repr__")()))


# Runs that between them reach every module-level helper a run calls.
HELPER_RUNS = [
    ({"kind": "signal"}, {}, {}),
    ({"kind": "strategy", "universe": None}, {}, {}),
    ({"kind": "signal", "metaparameters": {"normalize": "rescale"}},
     {"route": "orchestrator", "guard": True}, {}),
    ({"kind": "signal"}, {"guard": True}, {"found_signal_pool": []}),
    ({"kind": "signal"}, {}, {"graph_validator": None, "vocabulary": None}),
]
# Helpers no run calls: the options surface, the published signature, and the
# artifact test, which only a guard that lists artifacts reaches.
OUTSIDE_RUNS = {"_engine_definitions_from_agent_payload", "_plain_engine_definition_payload",
                "_pool_v2_signature", "_stage_attr", "_universe_options",
                "_is_vocabulary_artifact_path"}


def test_every_helper_a_run_calls_is_the_one_the_namespace_holds(ss, monkeypatch):
    own = type(ss._typed_runtime_graph)
    helpers = {name: fn for name, fn in vars(ss).items()
               if isinstance(fn, own) and name.startswith("_")}
    reached = set()
    for run, wiring, wire in HELPER_RUNS:
        w = Wiring(**wiring)
        w.log.returns("guard.ensure_fresh_before_evaluation", wiring.get("route") is not None)
        w.wire(ss, **wire)
        baseline = wait_done(start(ss, **run))
        w.wire(ss, **wire)  # a run may have bootstrapped a validator or loaded a vocabulary
        for name, fn in helpers.items():
            monkeypatch.setattr(ss, name, recorder(w.log, name, fn))
        replaced = wait_done(start(ss, **run))
        monkeypatch.undo()
        reached |= set(w.log.names()) & set(helpers)
        assert replaced.status().phase == baseline.status().phase
        if baseline.status().phase == "complete":
            assert replaced.result().passed == baseline.result().passed
    assert reached == set(helpers) - OUTSIDE_RUNS
    # A helper called with its defaults left out is called so when replaced.
    assert {len(c.args) for c in w.log.of("_tracking_metric")} <= {1}
    assert {len(c.args) for c in w.log.of("_stage_value")} == {2, 3}


def test_a_replaced_filtration_walk_is_asked_at_every_node(ss, monkeypatch):
    w = Wiring().wire(ss)
    walk = ss._has_filtration_runtime_graph
    monkeypatch.setattr(ss, "_has_filtration_runtime_graph", recorder(w.log, "walk", walk))
    collect(start(ss))
    assert [call.args[0].node for call in w.log.of("walk")] == ["rank", "close", "volume"]
