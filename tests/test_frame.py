"""Module namespace, wiring, records and the function type."""
import dataclasses
import inspect
import logging
import threading
from types import SimpleNamespace

import pytest

from conftest import run_python

import tallowmere.simulate_signal as m

COLLABORATOR_GLOBALS = [
    "_auth", "_sync_manager", "_graph_validator", "_batch_orchestrator", "_backtester",
    "_search_tracker", "_era_thread", "_vault", "_compute_search_plan", "_era_config",
    "_vocabulary", "_load_vocabulary", "_useful_signal_metadata", "_useful_signals",
    "_useful_signal_pool", "_found_signal_pool", "_load_found_signal_pnl", "_signal_dir",
    "_network_client", "_server_client", "_BatchOrchestrator", "_set_phase",
    "_correlate_per_pool", "_compute_mi_per_pool", "_runtime_freshness_guard", "_vocabulary_raw",
]
INIT_PARAMS = [
    "auth", "sync_manager", "vault", "backtester", "search_tracker", "era_thread",
    "graph_validator", "batch_orchestrator", "compute_search_plan", "era_config",
    "load_vocabulary", "useful_signal_metadata", "useful_signals", "useful_signal_pool",
    "found_signal_pool", "load_found_signal_pnl", "signal_dir", "network_client",
    "server_client", "BatchOrchestrator_cls", "set_phase", "correlate_per_pool",
    "compute_mi_per_pool", "vocabulary", "vocabulary_raw", "runtime_freshness_guard",
    "market_id", "era_number",
]


def names_in_order():
    return list(vars(m))


class TestNamespace:
    def test_docstring(self):
        assert m.__doc__ == "Simulate signal subcomponent — single expression evaluation pipeline."

    def test_standard_modules_then_logger_then_siblings(self):
        names = names_in_order()
        std = ["logging", "importlib", "inspect", "math", "os", "sys", "threading", "time",
               "dataclass", "logger"]
        assert [n for n in names if n in std] == std
        assert m.dataclass is dataclasses.dataclass
        assert m.logger is logging.getLogger("tallowmere.simulate_signal")
        assert names.index("logger") < names.index("AuthError")

    def test_sibling_aliases(self):
        import tallowmere._evaluation_verdicts as verdicts
        import tallowmere._pool_identity as pool_identity
        import tallowmere.function_store as function_store
        import tallowmere.search_tracking as search_tracking
        import tallowmere._threshold_gates as gates
        assert m._resolve_pool_config is pool_identity.resolve_pool_config
        assert m._gate_verdict is verdicts.gate_verdict
        assert m._not_evaluated_verdict is verdicts.not_evaluated_verdict
        assert m._TrackingStats is search_tracking.BacktestStats
        assert m._function_store is function_store
        assert m.FunctionStore is function_store.FunctionStore
        assert m._POOL_METRIC_THRESHOLD_SET == {"bypassed_thresholds": gates.SCALAR_THRESHOLD_FIELDS}
        assert m._POOL_METRIC_THRESHOLD_SET["bypassed_thresholds"] is gates.SCALAR_THRESHOLD_FIELDS

    def test_primitives_from_preferred_modules(self):
        import tallowmere.simulate_primitives.graph_shape as gs
        import tallowmere.simulate_primitives.metaparameters as mp
        assert m._canonicalize_metaparameters is mp.canonicalize
        assert m._resolve_metaparameters is mp.resolve_metaparameters
        assert m._resolve_metaparameters_per_pool is mp.resolve_metaparameters_per_pool
        assert m._has_filtration_node is gs.has_filtration_node

    def test_classes_then_collaborators_then_sync_state(self):
        names = names_in_order()
        order = ["CancelledError", "SimulationStatus", "SimulationResult"] + \
            COLLABORATOR_GLOBALS + ["_sync_lock", "_sync_in_progress", "_sync_result_cache",
                                    "_sync_exception_cache", "_sync_event"]
        assert [n for n in names if n in order] == order

    def test_initial_values(self):
        fresh = run_python(
            "import tallowmere.simulate_signal as m\n"
            f"print(all(getattr(m, n) is None for n in {COLLABORATOR_GLOBALS!r}))\n"
            "print(type(m._sync_lock).__name__, m._sync_in_progress, m._sync_result_cache,"
            " m._sync_exception_cache, m._sync_event.is_set())\n")
        assert fresh.returncode == 0, fresh.stderr
        assert fresh.stdout.split("\n")[:2] == ["True", "lock False None None False"]

    def test_classes_module(self):
        for cls in (m.CancelledError, m.SimulationStatus, m.SimulationResult):
            assert cls.__module__ == "tallowmere.simulate_signal"


class TestGuardedImport:
    PRELUDE = (
        "import sys, importlib.abc\n"
        "class Block(importlib.abc.MetaPathFinder):\n"
        "    def __init__(self, name, exc): self.name, self.exc = name, exc\n"
        "    def find_spec(self, fullname, path, target=None):\n"
        "        if fullname == self.name: raise self.exc(fullname)\n"
        "        return None\n")

    @pytest.mark.parametrize("blocked", ["tallowmere.simulate_primitives.metaparameters",
                                         "tallowmere.simulate_primitives.graph_shape"])
    def test_falls_back_on_import_error(self, blocked):
        proc = run_python(self.PRELUDE + (
            f"sys.meta_path.insert(0, Block({blocked!r}, ImportError))\n"
            "import tallowmere.simulate_signal as m, tallowmere._simulate_primitives as f\n"
            "print(m._canonicalize_metaparameters is f.canonicalize,"
            " m._has_filtration_node is f.has_filtration_node,"
            " m._resolve_metaparameters is f.resolve_metaparameters,"
            " m._resolve_metaparameters_per_pool is f.resolve_metaparameters_per_pool)\n"))
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.strip() == "True True True True"

    def test_other_errors_are_not_caught(self):
        proc = run_python(self.PRELUDE + (
            "sys.meta_path.insert(0, Block('tallowmere.simulate_primitives.metaparameters',"
            " RuntimeError))\n"
            "try:\n    import tallowmere.simulate_signal\n"
            "except RuntimeError as e: print('RuntimeError', e)\n"))
        assert proc.stdout.strip() == "RuntimeError tallowmere.simulate_primitives.metaparameters"

    def test_failed_fallback_aborts_import(self):
        proc = run_python(self.PRELUDE + (
            "sys.meta_path.insert(0, Block('tallowmere.simulate_primitives.graph_shape', ImportError))\n"
            "sys.meta_path.insert(0, Block('tallowmere._simulate_primitives', ImportError))\n"
            "try:\n    import tallowmere.simulate_signal\n"
            "except ImportError as e: print('ImportError', e)\n"))
        assert proc.stdout.strip() == "ImportError tallowmere._simulate_primitives"

    def test_missing_sibling_name_aborts_import(self):
        proc = run_python(
            "import tallowmere.sync as s\ndel s.EraError\n"
            "try:\n    import tallowmere.simulate_signal\n"
            "except ImportError as e: print(type(e).__name__, e)\n")
        assert proc.stdout.strip() == "ImportError cannot import name 'EraError' from 'tallowmere.sync'"


class TestLoadedOncePerProcess:
    """A second load of the extension is refused, and the first module keeps
    reading and writing its own namespace."""

    # Sets a global of the first module and reads it back through one of its functions.
    FIRST_MODULE_WORKS = (
        "m._era_config = {'market_id': 1, 'era_number': 2, 'loaded': 'first'}\n"
        "print(m._resolve_runtime_era_config(1, 2)['loaded'])\n")

    @pytest.mark.parametrize("second_name", ["tallowmere.simulate_signal", "copy.simulate_signal"])
    def test_second_load_from_the_same_file(self, second_name):
        proc = run_python(
            "import importlib.util, tallowmere.simulate_signal as m\n"
            f"spec = importlib.util.spec_from_file_location({second_name!r}, m.__file__)\n"
            "try:\n    spec.loader.exec_module(importlib.util.module_from_spec(spec))\n"
            "except ImportError as e: print('ImportError', e)\n"
            "print(m.__file__)\n" + self.FIRST_MODULE_WORKS)
        assert proc.returncode == 0, proc.stderr
        refusal, path, first = proc.stdout.splitlines()
        assert refusal.startswith("ImportError ") and "once per process" in refusal
        assert f"'tallowmere.simulate_signal' from '{path}'" in refusal
        assert first == "first"

    def test_import_in_a_subinterpreter(self):
        pytest.importorskip("_testcapi")
        sub = ("import os\n"
               "try:\n    import tallowmere.simulate_signal\n"
               "except ImportError: os.write(1, b'subinterpreter: ImportError\\n')\n"
               "else: os.write(1, b'subinterpreter: imported\\n')\n")
        proc = run_python(
            "import _testcapi, tallowmere.simulate_signal as m\n"
            f"print('status', _testcapi.run_in_subinterp({sub!r}))\n" + self.FIRST_MODULE_WORKS)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.splitlines() == ["subinterpreter: ImportError", "status 0", "first"]


class Guard:
    def __init__(self):
        self.calls = []

    def register_module_consumer(self, *args, **kwargs):
        self.calls.append((args, kwargs))


def required(**overrides):
    values = dict(auth=object(), sync_manager=SimpleNamespace(), vault=object(),
                  backtester=SimpleNamespace(raw_backtester=object()), search_tracker=object(),
                  era_thread=object())
    values.update(overrides)
    return values


class TestWiring:
    def test_signature(self):
        params = inspect.signature(m.init_simulate_signal).parameters
        assert list(params) == INIT_PARAMS
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params.values())
        assert [p.default for p in params.values()][6:] == [None] * 22
        assert m.init_simulate_signal.__doc__.startswith(
            "Wire all module-level DI globals for production use.")

    @pytest.mark.parametrize("args, kwargs", [
        ((1, 2, 3, 4, 5), {}),
        (tuple(range(29)), {}),
        (tuple(range(6)), {"unknown": 1}),
        (tuple(range(6)), {"auth": 1}),
        ((), {}),
    ])
    def test_bad_calls_raise_type_error(self, ss, args, kwargs):
        with pytest.raises(TypeError):
            ss.init_simulate_signal(*args, **kwargs)

    def test_all_positional_sets_every_global(self, ss):
        values = [object() for _ in INIT_PARAMS]
        ss.init_simulate_signal(*values)
        by_param = dict(zip(INIT_PARAMS, values))
        for name in COLLABORATOR_GLOBALS:
            param = {"_BatchOrchestrator": "BatchOrchestrator_cls"}.get(name, name[1:])
            assert getattr(ss, name) is by_param[param], name

    def test_required_only_takes_guard_from_sync_manager(self, ss):
        guard = Guard()
        wiring = required(sync_manager=SimpleNamespace(runtime_freshness_guard=guard))
        ss.init_simulate_signal(**wiring)
        assert ss._runtime_freshness_guard is guard
        assert guard.calls == [(("backtester", wiring["backtester"], "raw_backtester"), {})]
        for name in COLLABORATOR_GLOBALS[:]:
            if name not in ("_auth", "_sync_manager", "_vault", "_backtester", "_search_tracker",
                            "_era_thread", "_runtime_freshness_guard"):
                assert getattr(ss, name) is None, name

    def test_sync_manager_without_guard(self, ss):
        ss.init_simulate_signal(**required())
        assert ss._runtime_freshness_guard is None

    def test_explicit_guard_wins_and_sync_manager_not_asked(self, ss):
        class Loud:
            def __getattr__(self, name):
                raise AssertionError(f"asked for {name}")
        guard = Guard()
        ss.init_simulate_signal(**required(sync_manager=Loud()), runtime_freshness_guard=guard)
        assert ss._runtime_freshness_guard is guard

    @pytest.mark.parametrize("backtester, guard", [
        (SimpleNamespace(), Guard()),                                   # no raw_backtester
        (SimpleNamespace(raw_backtester=1), object()),                  # no hook
        (SimpleNamespace(raw_backtester=1), SimpleNamespace(register_module_consumer=5)),
    ])
    def test_no_registration(self, ss, backtester, guard):
        ss.init_simulate_signal(**required(backtester=backtester), runtime_freshness_guard=guard)
        assert getattr(guard, "calls", []) == []

    def test_errors_propagate_after_earlier_assignments(self, ss):
        class Bad:
            @property
            def runtime_freshness_guard(self):
                raise KeyError("boom")
        auth = object()
        with pytest.raises(KeyError):
            ss.init_simulate_signal(**required(auth=auth, sync_manager=Bad()))
        assert ss._auth is auth

    def test_ids_ignored_and_rewiring_replaces_everything(self, ss):
        first = required()
        ss.init_simulate_signal(**first, era_config={"era_number": 3}, market_id=7, era_number=3)
        assert ss._era_config == {"era_number": 3}
        second = required()
        ss.init_simulate_signal(**second)
        assert ss._auth is second["auth"] and ss._era_config is None


class TestRecords:
    def test_cancelled_error(self):
        assert m.CancelledError.__bases__ == (Exception,)
        assert m.CancelledError.__doc__ == "Raised when simulation is cancelled."

    def test_status_dataclass(self):
        s = m.SimulationStatus()
        assert s == m.SimulationStatus("", 0.0, "", 0, 0.0)
        assert repr(s) == "SimulationStatus(phase='', progress=0.0, message='', era_number=0, elapsed_s=0.0)"
        assert [f.name for f in dataclasses.fields(s)] == [
            "phase", "progress", "message", "era_number", "elapsed_s"]
        s.phase = "x"
        assert s.phase == "x"
        with pytest.raises(TypeError):
            hash(s)
        assert m.SimulationStatus.__doc__ == "Snapshot of simulation progress."

    def test_result_fields_and_equality(self):
        fields = dataclasses.fields(m.SimulationResult)
        assert len(fields) == 25 and fields[0].name == "stats" and fields[-1].name == "resolved_metaparameters"
        assert all(f.type is object for f in fields)
        assert m.SimulationResult(passed=False) == m.SimulationResult(passed=False)
        assert m.SimulationResult(passed=False) != m.SimulationResult()
        with pytest.raises(TypeError):
            hash(m.SimulationResult())

    def test_result_repr(self):
        lines = repr(m.SimulationResult()).split("\n")
        assert len(lines) == 23
        assert lines[0] == "SimulationResult(" and lines[1] == "  pool_kind=None,"
        assert lines[-2] == "  resolved_metaparameters=None," and lines[-1] == ")"
        r = m.SimulationResult(was_diagnostic_only=True, signal_pool_id="p1", pnl_matrix=[1])
        lines = repr(r).split("\n")
        assert len(lines) == 24
        assert lines[0].startswith("WARNING: selected pool computed diagnostically")
        assert "  signal_pool_id='p1'," in lines and not any("pnl_matrix" in x for x in lines)

    def test_result_repr_propagates_errors(self):
        class BadRepr:
            def __repr__(self):
                raise ValueError("no repr")
        with pytest.raises(ValueError, match="no repr"):
            repr(m.SimulationResult(stats=BadRepr()))


class TestFunctionType:
    def test_signature_can_be_set_and_functions_have_a_dict(self, ss):
        f = ss.init_simulate_signal
        sig = inspect.Signature([])
        f.__signature__ = sig
        try:
            assert inspect.signature(f) is sig
        finally:
            del f.__signature__
        assert "auth" in inspect.signature(f).parameters
        assert f.__name__ == "init_simulate_signal" and f.__module__ == "tallowmere.simulate_signal"

    def test_callable_from_threads(self, ss):
        errors = []

        def work():
            try:
                for _ in range(200):
                    ss.init_simulate_signal(*range(6))
            except BaseException as exc:  # noqa: BLE001
                errors.append(exc)
        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=30)
        assert not errors
