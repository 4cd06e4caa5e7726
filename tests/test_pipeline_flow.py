"""The pipeline from graph validation to the result, end to end through the
entry points: what each stretch asks of its collaborators and in which order,
the evaluation routes, cancellation at each checkpoint, collaborator
failures, the era re-check and the pending tracking record."""
from types import SimpleNamespace

import pytest

import doubles as d
from doubles import StatusLog, Wiring, collect, wait_done
from pipeline_support import (TimingRecorder, cancel_after_phase, cancel_during, failure, run,
                              signal_pool, start)

LATE_PHASES = ["graph-validation", "evaluating", "backtesting", "computing_mi", "complete"]

PAYLOAD_KEYS = [
    "source", "graph", "named_universe", "era_number", "passed_thresholds", "rejection_reason",
    "expression_elapsed_seconds", "stats", "metaparameters", "per_column_stats",
    "is_correlation", "is_pnl_mi", "agent_is_pnl_mi", "failure_reason", "failure_detail",
    "stats_verdict", "correlation_verdict", "mi_verdict",
]


def late_calls(w):
    """The collaborator calls from graph validation on."""
    names = w.log.names()
    return names[names.index("graph_validator.validate"):]


# ---------------------------------------------------------------------------
# Runs that pass every gate

def test_signal_run_passes_every_gate(ss, monkeypatch):
    w = Wiring().wire(ss)
    statuses = StatusLog.install(monkeypatch, ss)
    handle = start(ss, w)
    res = collect(handle)

    assert statuses.phases()[-5:] == LATE_PHASES
    assert statuses.updates[-5:] == [
        ("graph-validation", 0.0, "Validating graph and simulation parameters..."),
        ("evaluating", 0.0, "Evaluating expression... batch 0/?"),
        ("backtesting", 0.0, "Backtesting signal against thresholds..."),
        ("computing_mi", 0.0, "Computing marginal improvement score..."),
        ("complete", 1.0, "Simulation complete. Results available."),
    ]
    assert late_calls(w) == [
        "graph_validator.validate", "set_phase", "sync_manager.get_manifest",
        "backtester.evaluate_expression", "set_phase", "backtester.run_backtest",
        "load_found_signal_pnl", "load_found_signal_pnl", "evaluate_threshold_gates",
        "correlate_per_pool", "evaluate_threshold_gates", "set_phase", "compute_mi_per_pool",
        "era_thread.get_current_era_number", "set_phase",
        "search_tracker.record_signal_evaluation", "sync_manager.release",
    ]
    graph = handle._graph
    assert w.log.last("graph_validator.validate").args == (graph, "SIGNAL")
    assert handle._universe_rule_id == d.RULE_ID
    evaluate = w.log.last("backtester.evaluate_expression")
    assert evaluate.args == (graph,)
    assert evaluate.kwargs == {"metaparameters": {d.SIGNAL_POOL_ID: {}}, "named_universe": "u1"}
    backtest = w.log.last("backtester.run_backtest")
    assert backtest.args == (graph,)
    assert backtest.kwargs == {"metaparameters": {d.SIGNAL_POOL_ID: {}}, "named_universe": "u1",
                               "return_series": False, "return_weights": False}
    # found ids s1, s2, s1: each loaded once, the repeated one correlated twice
    assert [(c.args, c.kwargs) for c in w.log.of("load_found_signal_pnl")] == [
        (("s1",), {"pool_name": "signals-main"}), (("s2",), {"pool_name": "signals-main"})]
    s1, s2 = w.found_pnl["s1"], w.found_pnl["s2"]
    assert w.log.last("correlate_per_pool").kwargs == {
        "pool_name": "signals-main", "pnl_arrays": [s1, s2, s1], "pnl_column": "pnl",
        "threshold": 0.7}
    assert w.log.last("compute_mi_per_pool").kwargs == {
        "pool_name": "signals-main", "pnl_column": "pnl", "pool_signals": ["s1", "s2", "s1"],
        "threshold": 0.1}

    bt = w.backtester.result
    assert res.passed is True and res.failure_reason is None and res.failure_detail is None
    assert res.stats is bt.stats and res.pnl_matrix is bt.pnl_matrix
    assert res.per_column_stats is bt.per_column_stats
    assert res.portfolio_returns is None and res.processed_weights is bt.processed_weights
    assert (res.pool_kind, res.signal_pool_id, res.strategy_pool_id) == ("signal", "sp1", None)
    assert (res.is_correlation, res.is_pnl_mi, res.mi_score, res.mi_passed) == (0.2, 0.4, 0.4, True)
    assert res.was_diagnostic_only is False and res.structural_failed is False
    assert res.rejection_reason is None
    assert res.stats_verdict == ss._gate_verdict(True)
    assert res.correlation_verdict == ss._gate_verdict(True, value=0.2, threshold=0.7)
    assert res.mi_verdict == ss._gate_verdict(True, value=0.4, threshold=0.1)
    for elapsed in (res.expression_elapsed_seconds, res.backtest_elapsed_seconds):
        assert type(elapsed) is float and elapsed >= 0.0
    assert res.max_backtest_row_elapsed_seconds == bt.max_row_elapsed_seconds
    assert handle.status().phase == "complete"


def test_strategy_run_passes_every_gate(ss):
    w = Wiring().wire(ss)
    handle = start(ss, w, "strategy")
    res = collect(handle)

    assert w.log.last("graph_validator.validate").args == (handle._graph, "STRATEGY")
    # weights belong to the linked signal pool; the record is keyed by the strategy pool
    assert w.log.last("backtester.evaluate_expression").kwargs["metaparameters"] == {"sp1": {}}
    # no found signals in the strategy pool: only the synced found-strategy PnL
    assert w.log.last("correlate_per_pool").kwargs == {
        "pool_name": "strategies-main", "pnl_arrays": [d.FOUND_STRATEGY_PNL],
        "pnl_column": "pnl", "threshold": 0.7}
    assert w.log.last("compute_mi_per_pool").kwargs["pool_signals"] == []
    assert w.log.last("compute_mi_per_pool").kwargs["threshold"] == 0.05
    assert (res.pool_kind, res.signal_pool_id, res.strategy_pool_id) == ("strategy", "sp1", "stp1")
    assert res.passed is True and res.failure_reason is None
    payload = w.log.last("search_tracker.record_strategy_evaluation").kwargs
    assert list(payload) == PAYLOAD_KEYS + ["strategy_pool_id", "signal_pool_id",
                                            "referenced_signal_ids"]
    assert payload["metaparameters"] == {"stp1": {}}
    assert payload["strategy_pool_id"] == "stp1" and payload["signal_pool_id"] == "sp1"
    assert payload["referenced_signal_ids"] == ["s1"]
    assert w.log.count("search_tracker.record_strategy_evaluation") == 1
    assert w.log.count("search_tracker.record_signal_evaluation") == 0


# ---------------------------------------------------------------------------
# The pending record and result()

def test_result_records_once_with_the_payload(ss):
    w = Wiring().wire(ss)
    handle = start(ss, w)
    wait_done(handle)
    first, second = handle.result(), handle.result()
    assert first is second and isinstance(first, ss.SimulationResult)
    assert w.log.count("search_tracker.record_signal_evaluation") == 1
    assert w.log.count("sync_manager.release") == 1
    assert w.log.names()[-2:] == ["search_tracker.record_signal_evaluation",
                                  "sync_manager.release"]
    assert handle._pending_recording is None and handle._result_retrieved is True
    assert handle._released is True

    call = w.log.last("search_tracker.record_signal_evaluation")
    assert call.args == ()
    payload = call.kwargs
    assert list(payload) == PAYLOAD_KEYS + ["signal_pool_id"]
    assert payload["source"] == "simulate"
    assert payload["graph"] == ss._plain_tracking_graph(handle._graph)
    assert (payload["named_universe"], payload["era_number"]) == ("u1", d.ERA_NUMBER)
    assert payload["passed_thresholds"] is True and payload["rejection_reason"] is None
    assert payload["expression_elapsed_seconds"] == first.expression_elapsed_seconds
    assert payload["stats"] == ss._build_tracking_stats(first.stats, first.per_column_stats,
                                                        w.era_config)
    assert payload["metaparameters"] == {"sp1": {}}
    assert payload["per_column_stats"] is first.per_column_stats
    assert payload["is_correlation"] == 0.2
    assert payload["is_pnl_mi"] == payload["agent_is_pnl_mi"] == 0.4
    assert payload["failure_reason"] is None and payload["failure_detail"] is None
    assert payload["stats_verdict"] is first.stats_verdict
    assert payload["correlation_verdict"] is first.correlation_verdict
    assert payload["mi_verdict"] is first.mi_verdict
    assert payload["signal_pool_id"] == "sp1"


def test_unrecorded_run_still_stores_its_result(ss):
    w = Wiring().wire(ss)
    handle = wait_done(start(ss, w, record=False))
    assert handle._pending_recording is None
    assert handle.result().passed is True
    assert w.log.names("search_tracker") == []


@pytest.mark.parametrize("return_series", [False, True])
def test_portfolio_returns_follow_return_series(ss, return_series):
    w = Wiring().wire(ss)
    res = run(ss, w, return_series=return_series, return_weights=True)
    expected = w.backtester.result.portfolio_returns if return_series else None
    assert res.portfolio_returns is expected
    assert res.processed_weights is w.backtester.result.processed_weights
    assert w.log.last("backtester.run_backtest").kwargs["return_series"] is return_series
    assert w.log.last("backtester.run_backtest").kwargs["return_weights"] is True


def test_era_change_during_the_run_is_an_error(ss):
    w = Wiring().wire(ss)
    w.era_thread.current_era = 13
    handle, exc = failure(ss, w)
    message = ("Era changed during simulation. Started with era_number=12, current "
               "era_number=13. Results are invalid. Retry with the new era.")
    assert type(exc) is ss.EraError and str(exc) == message
    assert handle._error is exc and handle._result is None
    assert handle.status().phase == "error"
    assert handle.status().message == "Error: " + message
    assert w.log.names("search_tracker") == []
    assert w.log.count("sync_manager.release") == 1


# ---------------------------------------------------------------------------
# Cancellation

def assert_cancelled(handle, w):
    assert handle.status().phase == "cancelled"
    assert [c.args for c in w.log.of("set_phase")][-1] == ("cancelled",)
    assert handle._result is None and handle._pending_recording is None
    with pytest.raises(Exception) as info:
        handle.result()
    assert type(info.value).__name__ == "CancelledError"
    assert str(info.value) == "Simulation cancelled"
    assert w.log.names("search_tracker") == []
    assert w.log.count("sync_manager.release") == 1


@pytest.mark.parametrize("phase, later_call, count", [
    # validation has no checkpoint of its own: evaluation's first one stops the run
    ("graph-validation", "sync_manager.get_manifest", 1),
    ("evaluating", "sync_manager.get_manifest", 1),
    ("backtesting", "backtester.run_backtest", 0),
    ("computing_mi", "compute_mi_per_pool", 0),
])
def test_cancel_at_the_checkpoint_after_a_phase(ss, monkeypatch, phase, later_call, count):
    w = Wiring().wire(ss)
    cancel_after_phase(monkeypatch, ss, phase)
    handle = wait_done(start(ss, w))
    assert w.log.count(later_call) == count   # the sync stretch reads the manifest once
    assert_cancelled(handle, w)


@pytest.mark.parametrize("held, route, not_reached", [
    ("BatchOrchestrator", "orchestrator", "orchestrator.evaluate"),      # evaluation, 2nd check
    ("era_thread.get_current_era_number", "adapter", None),              # after the era check
])
def test_cancel_during_a_call_stops_at_the_next_checkpoint(ss, held, route, not_reached):
    w = Wiring(route=route).wire(ss)
    handle = cancel_during(ss, w, held)
    names = w.log.names()
    if not_reached:
        assert not_reached not in names[names.index(held):]
    assert_cancelled(handle, w)


def test_timing_module_is_called_with_the_backtest(ss, monkeypatch):
    w = Wiring().wire(ss)
    timing = TimingRecorder(row_count=7, max_row_elapsed=0.5)
    monkeypatch.setattr(ss, "_backtest_timing", timing)
    handle = start(ss, w)
    res = collect(handle)
    bt = w.backtester.result
    assert [c[0] for c in timing.calls] == ["extract_backtest_row_count",
                                            "extract_max_row_elapsed_seconds",
                                            "record_backtest_timing"]
    assert timing.calls[0][1:] == ((bt,), {"weights": w.backtester.weights})
    assert timing.calls[1][1:] == ((bt,), {})
    assert timing.calls[2][1] == ()
    assert timing.calls[2][2] == {"graph": handle._graph, "frequency": "1d", "row_count": 7,
                                  "elapsed_seconds": res.backtest_elapsed_seconds,
                                  "max_row_elapsed_seconds": 0.5}
    assert res.max_backtest_row_elapsed_seconds == 0.5


def test_unreadable_manifest_is_no_manifest(ss):
    w = Wiring(route="orchestrator").wire(ss)
    manifests = iter([w.manifest])   # the sync stretch reads it first

    def manifest():
        for m in manifests:
            return m
        raise OSError("manifest gone")

    w.log.returns("sync_manager.get_manifest", compute=manifest)
    res = run(ss, w)
    assert res.passed is True
    assert w.log.last("BatchOrchestrator").kwargs["manifest"] is None
    assert w.log.last("orchestrator.evaluate").kwargs["manifest"] is None


# ---------------------------------------------------------------------------
# Evaluation routes

def test_orchestrator_route_and_direct_backtest(ss):
    w = Wiring(route="orchestrator").wire(ss)
    handle = start(ss, w)
    res = collect(handle)
    data_dir = w.data_dir
    assert w.log.last("compute_search_plan").args == ("SIGNAL", w.era_config)
    assert w.log.last("compute_search_plan").kwargs == {"requested_n_jobs": 1}
    built = w.log.last("BatchOrchestrator")
    assert built.args == ()
    assert list(built.kwargs.items()) == [
        ("search_plan", w.search_plan), ("feature_dir", data_dir), ("signal_dir", data_dir),
        ("manifest", w.manifest), ("backtester", w.backtester), ("named_universe", "u1")]

    evaluate = w.log.last("orchestrator.evaluate")
    assert evaluate.args == ()
    assert list(evaluate.kwargs) == [
        "graph", "expression_type", "registry", "useful_signals", "universe", "metaparameters",
        "transform_pipeline", "stage_data", "column_labels", "signal_universe_rule_ids",
        "search_plan", "feature_dir", "signal_dir", "manifest", "backtester"]
    kw = evaluate.kwargs
    assert kw["graph"] is handle._graph and kw["expression_type"] == "SIGNAL"
    assert kw["registry"] is w.vocabulary and kw["useful_signals"] is w.useful_signals
    assert kw["universe"] is None and kw["metaparameters"] == {"sp1": {}}
    assert kw["transform_pipeline"] == w.era_config["transform_pipeline"]
    assert type(kw["stage_data"]).__name__ == "StageData"
    assert kw["column_labels"] == ["close", "volume"] and kw["signal_universe_rule_ids"] == {}
    assert kw["search_plan"] is w.search_plan and kw["manifest"] == w.manifest
    assert kw["feature_dir"] == kw["signal_dir"] == data_dir and kw["backtester"] is w.backtester

    backtest = w.log.last("backtester.backtest")
    assert backtest.args == ()
    assert backtest.kwargs == {"weights": w.backtester.weights, "era_config": w.era_config,
                               "universe": None, "return_series": False,
                               "return_weights": False, "use_vault": True}
    assert backtest.kwargs["era_config"] is not w.era_config   # the run's own copy
    assert res.passed is True
    # the orchestrator route leaves its patches on the shared backtester
    evaluator = w.backtester.evaluator
    assert type(evaluator).__name__ == "_SimulationOrchestratorEvaluator"
    assert w.backtester.search_plan_factory(1, "two", three=3) is w.search_plan
    assert w.backtester.search_plan_factory() is w.search_plan


@pytest.mark.parametrize("eval_result, expected", [
    (d.EvalResult({"sp1": "pool-weights", "other": "x"}), "pool-weights"),
    (SimpleNamespace(per_pool_weights={"other": "x"}, weights="plain-weights"), "plain-weights"),
    (SimpleNamespace(per_pool_weights=[("sp1", "x")], weights="plain-weights"), "plain-weights"),
    ([[1.0, -1.0]], [[1.0, -1.0]]),     # a bare result is the weights themselves
])
def test_orchestrator_weights_for_the_selected_pool(ss, eval_result, expected):
    w = Wiring(route="orchestrator").wire(ss)
    w.log.returns("orchestrator.evaluate", eval_result)
    run(ss, w)
    assert w.log.last("backtester.backtest").kwargs["weights"] == expected


@pytest.mark.parametrize("with_class", [True, False])
def test_injected_orchestrator(ss, with_class):
    w = Wiring(route="orchestrator")
    injected = d.Orchestrator(w.log, w.backtester.weights)
    injected._prefix = "injected"
    w.wire(ss, batch_orchestrator=injected,
           BatchOrchestrator_cls=w.BatchOrchestrator_cls if with_class else None)
    assert run(ss, w).passed is True
    # a wired class builds a new orchestrator; the injected one is used only without it
    assert w.log.count("BatchOrchestrator") == int(with_class)
    assert w.log.count("injected.evaluate") == int(not with_class)
    # without a built orchestrator the plan is computed for the direct route alone
    assert w.log.count("compute_search_plan") == 1


def test_no_evaluation_route_is_an_error(ss):
    w = Wiring(route="direct").wire(ss, BatchOrchestrator_cls=None)
    handle, exc = failure(ss, w)
    assert type(exc) is RuntimeError
    assert str(exc) == ("RuntimeEvaluationAdapter is required for simulation. Call "
                        "register()/login() so the synced evaluation runtime is initialized.")


@pytest.mark.parametrize("fails", [False, True])
def test_adapter_route_patches_the_backtester_for_the_evaluation_only(ss, fails):
    w = Wiring()
    w.BatchOrchestrator_cls = d._recorded_callable(w.log, "BatchOrchestrator", w.orchestrator)
    w.wire(ss, batch_orchestrator=d.Orchestrator(w.log, "unused"))
    seen = {}

    def evaluate_expression(*args, **kwargs):
        seen["evaluator"] = w.backtester.evaluator
        seen["plan"] = w.backtester.search_plan_factory("any", arg=1)
        if fails:
            raise KeyError("evaluation failed")
        return w.backtester.weights

    w.log.returns("backtester.evaluate_expression", compute=evaluate_expression)
    handle = wait_done(start(ss, w))
    assert type(seen["evaluator"]).__name__ == "_SimulationOrchestratorEvaluator"
    assert seen["plan"] is w.search_plan
    assert w.backtester.evaluator == "original-evaluator"
    assert w.backtester.search_plan_factory == "original-search-plan-factory"
    assert handle.status().phase == ("error" if fails else "complete")


@pytest.mark.parametrize("refreshed, artifact_loaded, reloads", [
    (True, False, 1), (False, True, 1), (False, False, 0)])
def test_vocabulary_freshness_before_evaluation(ss, monkeypatch, refreshed, artifact_loaded,
                                                reloads):
    w = Wiring(guard=True).wire(ss)
    path = "data/u1/vocabulary.json"
    w.guard.snapshot.pending_data_artifact_shas = {path: "h1"}

    def ensure_fresh():
        if artifact_loaded:
            w.guard.snapshot.pending_data_artifact_shas = {}
            w.guard.snapshot.loaded_data_artifact_shas = {path: "h1"}
        return refreshed

    w.log.returns("guard.ensure_fresh_before_evaluation", compute=ensure_fresh)
    calls = []
    monkeypatch.setattr(ss, "_reload_runtime_vocabulary_after_freshness",
                        lambda *a, **k: calls.append((a, k)))
    run(ss, w)
    assert w.log.last("guard.ensure_fresh_before_evaluation").args == ()
    assert calls == [(("u1",), {})] * reloads
    assert w.log.last("guard.ensure_fresh_before_backtest").args == ()


def test_rescaling_pipeline_finalizes_and_installs_the_weights(ss, monkeypatch):
    w = Wiring().wire(ss)
    installed = []
    monkeypatch.setattr(ss, "_pipeline_applies_rescale", lambda pipeline, meta: True)
    monkeypatch.setattr(ss, "_finalize_rescaled_weights", lambda weights: ("final", weights))
    monkeypatch.setattr(ss, "_install_finalized_weights", lambda *a: installed.append(a))
    monkeypatch.setattr(ss, "_backtest_timing", TimingRecorder())
    handle = start(ss, w)
    collect(handle)
    final = ("final", w.backtester.weights)
    assert installed == [(w.backtester, handle._graph, {"sp1": {}}, "u1", final)]
    assert ss._backtest_timing.calls[0][2] == {"weights": final}


# ---------------------------------------------------------------------------
# Graph validation and configuration

class FakeValidator:
    instances = []

    def __init__(self, *args):
        self.args = args
        self.validated = []
        FakeValidator.instances.append(self)

    def validate(self, graph, expression_type):
        self.validated.append((graph, expression_type))


class FakeConfig:
    pass


@pytest.fixture
def bootstrap(ss, monkeypatch):
    """Wiring without a graph validator, whose runtime comes from fakes."""
    import tallowmere._runtime as runtime
    FakeValidator.instances = []
    calls = []
    monkeypatch.setattr(ss, "_import_graph_validator_runtime",
                        lambda: (FakeValidator, FakeConfig))
    monkeypatch.setattr(runtime, "_graph_validator_names",
                        lambda raw: calls.append(("names", raw)) or (("close",), ("mean",)))
    monkeypatch.setattr(runtime, "_graph_validator_config",
                        lambda cls, cfg: calls.append(("config", cls, cfg)) or "gv-config")
    return calls


def test_graph_validator_is_built_once_from_the_vocabulary(ss, bootstrap):
    w = Wiring().wire(ss, graph_validator=None)
    handle = start(ss, w)
    collect(handle)
    [validator] = FakeValidator.instances
    assert ss._graph_validator is validator
    assert validator.args == (w.vocabulary, ("close",), ("mean",), "gv-config")
    assert validator.validated == [(handle._graph, "SIGNAL")]
    assert bootstrap == [("names", w.vocabulary_raw_dict), ("config", FakeConfig, w.era_config)]
    run(ss, w)
    assert len(FakeValidator.instances) == 1


@pytest.mark.parametrize("raised", ["KeyError", "SdkRuntimeNotReadyError", "registry"])
def test_graph_validator_bootstrap_failure(ss, monkeypatch, bootstrap, caplog, raised):
    if raised == "registry":
        w = Wiring().wire(ss, graph_validator=None, load_vocabulary=None, vocabulary=["rank"])
        cause = None
    else:
        w = Wiring().wire(ss, graph_validator=None)
        cause = (KeyError("no runtime") if raised == "KeyError"
                 else ss.SdkRuntimeNotReadyError("not synced"))

        def import_runtime():
            raise cause
        monkeypatch.setattr(ss, "_import_graph_validator_runtime", import_runtime)
    _, exc = failure(ss, w)
    warnings = [r.getMessage() for r in caplog.records if r.levelname == "WARNING"]
    assert ss._graph_validator is None
    if raised == "SdkRuntimeNotReadyError":
        assert exc is cause and warnings == []     # passes unchanged
        return
    assert type(exc) is RuntimeError
    assert str(exc) == ("GraphValidator runtime is required for simulation. Initialize the "
                        "synced graph validation runtime before calling simulate_signal().")
    assert exc.__suppress_context__ and exc.__context__ is exc.__cause__
    if raised == "KeyError":
        assert exc.__cause__ is cause
    else:
        assert type(exc.__cause__) is TypeError
        assert str(exc.__cause__) == ("GraphValidator requires a FunctionStore registry in "
                                      "runtime simulation")
    assert warnings == [f"Failed to bootstrap _graph_validator: {exc.__cause__}"]


def test_missing_transform_pipeline(ss):
    w = Wiring()
    del w.era_config["transform_pipeline"]
    w.wire(ss)
    _, exc = failure(ss, w)
    assert type(exc) is ss.SdkRuntimeNotReadyError
    assert str(exc) == "missing required era config field: transform_pipeline"
    assert exc.__cause__ is None and exc.__suppress_context__


@pytest.mark.parametrize("per_pool_default, checked", [(False, True), (True, False)])
def test_metaparameters_checked_unless_a_stage_has_per_pool_defaults(ss, monkeypatch,
                                                                      per_pool_default, checked):
    w = Wiring()
    w.era_config["transform_pipeline"].append({"name": "extra",
                                               "per_pool_default": per_pool_default})
    w.wire(ss)
    calls = []
    monkeypatch.setattr(ss, "_resolve_metaparameters", lambda *a: calls.append(a))
    meta = {"normalize": "rank"}
    run(ss, w, metaparameters=meta)
    assert calls == ([(meta, w.era_config["transform_pipeline"])] if checked else [])


def test_per_pool_metaparameters_are_keyed_by_pool(ss, monkeypatch):
    w = Wiring().wire(ss)
    resolved = {"sp1": {"normalize": "rank"}}
    calls = []
    monkeypatch.setattr(ss, "_resolve_metaparameters_per_pool",
                        lambda *a: calls.append(a) or resolved)
    handle = start(ss, w, "strategy", metaparameters={"normalize": "rank"})
    res = collect(handle)
    assert calls == [({"normalize": "rank"}, w.era_config["transform_pipeline"], ["sp1"])]
    evaluation = w.log.last("backtester.evaluate_expression").kwargs["metaparameters"]
    record = w.log.last("search_tracker.record_strategy_evaluation").kwargs["metaparameters"]
    assert evaluation == {"sp1": {"normalize": "rank"}}
    assert record == {"stp1": {"normalize": "rank"}}
    assert res.resolved_metaparameters == {"normalize": "rank"}
    assert evaluation["sp1"] is not record["stp1"]
    assert res.resolved_metaparameters is not evaluation["sp1"]


def test_unknown_named_universe(ss):
    w = Wiring()
    w.era_config["universe_rules"] = {"zz": {"rule_id": 9}, "aa": {"rule_id": 8}}
    w.wire(ss)
    _, exc = failure(ss, w)
    assert type(exc) is ValueError
    assert str(exc) == ("Unknown named_universe 'u1'. Available named_universe values: "
                        "['aa', 'zz']. Allowed named_universe values: ['u1']")
    assert w.log.count("graph_validator.validate") == 0


def test_named_universe_outside_the_pool(ss):
    w = Wiring()
    signal_pool(w)["allowed_named_universes"] = ["u2", "u3"]
    w.era_config["allowed_named_universes"] = ["u1", "u2"]
    w.wire(ss)
    _, exc = failure(ss, w)
    assert type(exc) is ValueError
    assert str(exc) == ("named_universe 'u1' is not in selected pool "
                        "allowed_named_universes=['u2', 'u3']")


@pytest.mark.parametrize("useful_signal_pool, fails", [([], True), (None, False)])
def test_strategy_needs_useful_signals(ss, useful_signal_pool, fails):
    w = Wiring().wire(ss, useful_signals=[], useful_signal_pool=useful_signal_pool)
    handle = wait_done(start(ss, w, "strategy"))
    if fails:
        with pytest.raises(ValueError, match="^No useful signals match the filtration "
                                             "criteria. Cannot execute strategy graph "
                                             "without useful signals.$"):
            handle.result()
        assert w.log.count("backtester.evaluate_expression") == 0
    else:
        assert handle.result().passed is True


def test_pool_pnl_loaded_only_for_correlation(ss):
    w = Wiring().wire(ss, load_found_signal_pnl=None)
    res = run(ss, w, include_correlation=False)
    assert res.stats.correlation is None
    assert res.is_correlation is None
    assert res.correlation_verdict == ss._not_evaluated_verdict()
    assert w.log.count("correlate_per_pool") == 0
    assert res.mi_score == 0.4
