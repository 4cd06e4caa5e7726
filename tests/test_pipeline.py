"""The pipeline end to end through the entry points: two golden runs, one table
of outcomes (a set-up and a call, what the run ends in, the calls that must not
happen, and the wallet secret kept to the set-up calls however the run ends),
download progress, the shared single-flight data sync, and the backtester and
validator the evaluation uses."""
import logging
import math
import operator
import re
import threading
from collections import namedtuple
from types import SimpleNamespace

import pytest

import doubles as d
from doubles import (BLOCK_TIMEOUT, CountingEvent, StatusLog, Wiring, collect, failure_of, start,
                     wait_done)
from tallowmere.errors import SdkRuntimeNotReadyError as NotReady
from tallowmere.search_tracking import BacktestStats
from tallowmere.sync import EraError, SyncError

GRAPH = {"type": "rotation", "node": "rank", "children": [
    {"type": "feature", "node": "close", "children": []},
    {"type": "feature", "node": "volume", "children": []}]}
NOT_EVALUATED = "not evaluated"
METRICS = {"sharpe": 1.8, "turnover": 0.3, "delta_exposure": 0.01, "max_weight": 0.2,
           "abs_weight_sum_mean": 1.0}


def verdict(v):
    """(passed, reason, value, bound) of a verdict, or "not evaluated"."""
    return (v.passed, v.reason, v.value, v.bound) if v.evaluated else NOT_EVALUATED


# --- Golden runs ---------------------------------------------------------------------------

def test_signal_run(ss, monkeypatch):
    w = Wiring().wire(ss)
    statuses = StatusLog(monkeypatch, ss)
    handle = wait_done(start(ss))
    graph, meta, pool = handle._graph, {"metaparameters": {"sp1": {}}, "named_universe": "u1"}, \
        {"pool_name": "signals-main"}
    assert statuses.updates == [
        ("syncing", 0.0, "Syncing data from server..."),
        ("syncing", 0.5, "Syncing data... 512/1024 bytes downloaded"),
        ("syncing", 0.0, "Syncing graph feature data from server..."),
        ("initializing", 0.0, "Initializing vault and loading vocabulary for era 12..."),
        ("feature-reconstruction-deobfuscation", 0.0,
         "Initializing feature reconstruction from synced shuffle seed..."),
        ("graph-validation", 0.0, "Validating graph and simulation parameters..."),
        ("evaluating", 0.0, "Evaluating expression... batch 0/?"),
        ("backtesting", 0.0, "Backtesting signal against thresholds..."),
        ("computing_mi", 0.0, "Computing marginal improvement score..."),
        ("complete", 1.0, "Simulation complete. Results available.")]
    assert [c.args for c in w.log.of("set_phase")] == [(u[0],) for u in statuses.updates]
    s1, s2, secret = w.found_pnl["s1"], w.found_pnl["s2"], d.WALLET_SECRET
    calls = [(c.name, c.args, c.kwargs) for c in w.log.calls if c.name != "set_phase"]
    correlation_gate = calls[-3][2].pop("threshold_set")
    assert calls == [
        ("auth.get_wallet_secret", (), {}), ("sync_manager.acquire", (), {}),
        ("sync_manager.request_feature_files_for_sync", (("close", "volume"),),
         {"expression_type": "SIGNAL", "named_universe": "u1"}),
        ("sync_manager.request_for_sync", (), {}), ("sync_manager.get_manifest", (), {}),
        ("vault.initialize", (d.SHUFFLE_BLOB, secret, 12), {}),
        ("vault.init_if_needed", (12,), {}), ("load_vocabulary", (12,), {}),
        ("backtester.init_reconstruction", (), {"shuffle_blob": d.SHUFFLE_BLOB,
                                                "wallet_secret": secret, "market_id": 1,
                                                "era_number": 12}),
        ("graph_validator.validate", (graph, "SIGNAL"), {}), ("sync_manager.get_manifest", (), {}),
        ("backtester.evaluate_expression", (graph,), meta),
        ("backtester.run_backtest", (graph,), {**meta, "return_series": False,
                                               "return_weights": False}),
        # the repeated found id is loaded once and correlated twice
        ("load_found_signal_pnl", ("s1",), pool), ("load_found_signal_pnl", ("s2",), pool),
        ("evaluate_threshold_gates", (), {"metrics": METRICS,
                                          "threshold_set": {"sharpe": {"min": 1.0}}}),
        ("correlate_per_pool", (), {**pool, "pnl_arrays": [s1, s2, s1], "pnl_column": "pnl",
                                    "threshold": 0.7}),
        ("evaluate_threshold_gates", (), {"metrics": {"is_correlation": 0.2},
                                          "pool_thresholds": {"is_correlation_threshold": 0.7}}),
        ("compute_mi_per_pool", (), {**pool, "pnl_column": "pnl",
                                     "pool_signals": ["s1", "s2", "s1"], "threshold": 0.1}),
        ("era_thread.get_current_era_number", (), {})]
    assert set(correlation_gate["bypassed_thresholds"]) == {"sharpe", "turnover",
                                                            "max_drawdown", "fitness"}
    assert ss._backtest_timing.RECORDS[-1] == {
        "frequency": "1d", "row_count": 2, "max_row_elapsed_seconds": 0.001,
        "elapsed_seconds": handle._result.backtest_elapsed_seconds}
    # nothing is recorded or released before result()
    assert w.log.names("search_tracker") == [] and w.log.count("sync_manager.release") == 0

    res = handle.result()
    bt = w.backtester.result
    assert (res.pool_kind, res.signal_pool_id, res.strategy_pool_id) == ("signal", "sp1", None)
    assert (res.passed, res.failure_reason, res.failure_detail, res.rejection_reason) == (
        True, None, None, None)
    assert res.structural_failed is False and res.was_diagnostic_only is False
    assert (res.is_correlation, res.is_pnl_mi, res.mi_score, res.mi_passed) == (0.2, 0.4, 0.4, True)
    assert res.stats is bt.stats and res.per_column_stats is bt.per_column_stats
    assert res.pnl_matrix is bt.pnl_matrix and res.processed_weights is bt.processed_weights
    assert res.portfolio_returns is None and res.resolved_metaparameters == {}
    assert [verdict(v) for v in (res.stats_verdict, res.correlation_verdict, res.mi_verdict)] == [
        (True, None, None, None), (True, None, 0.2, 0.7), (True, None, 0.4, 0.1)]
    for elapsed in (res.expression_elapsed_seconds, res.backtest_elapsed_seconds):
        assert type(elapsed) is float and elapsed >= 0
    assert res.max_backtest_row_elapsed_seconds == 0.001
    assert handle.result() is res
    assert w.log.names()[-2:] == ["search_tracker.record_signal_evaluation",
                                  "sync_manager.release"]
    record = w.log.last("search_tracker.record_signal_evaluation")
    assert record.args == () and record.kwargs == {
        "source": "simulate", "graph": GRAPH, "named_universe": "u1", "era_number": 12,
        "passed_thresholds": True, "rejection_reason": None,
        "expression_elapsed_seconds": res.expression_elapsed_seconds,
        "stats": BacktestStats(sharpe=1.8, returns=0.12, turnover=0.3, drawdown=0.0,
                               delta_exposure=0.01, max_weight=0.2, quality_score=0.0,
                               correlation=0.0, liquidity_metrics={"adv": 2.0},
                               custom_stats={"hit_rate": 0.55}),
        "metaparameters": {"sp1": {}}, "per_column_stats": bt.per_column_stats,
        "is_correlation": 0.2, "is_pnl_mi": 0.4, "agent_is_pnl_mi": 0.4, "failure_reason": None,
        "failure_detail": None, "stats_verdict": res.stats_verdict,
        "correlation_verdict": res.correlation_verdict, "mi_verdict": res.mi_verdict,
        "signal_pool_id": "sp1"}
    assert record.kwargs["stats"].liquidity_metrics is not bt.stats.liquidity_metrics
    assert w.log.count("sync_manager.release") == 1 and handle.status().era_number == 12


def test_strategy_run_on_the_orchestrator_route(ss):
    w = Wiring(route="orchestrator").wire(ss)
    meta = {"normalize": "rank"}
    handle = wait_done(start(ss, "strategy", metaparameters=meta))
    graph, data_dir, bt = handle._graph, w.data_dir, w.backtester
    calls = [(c.name, c.args, c.kwargs) for c in w.log.calls if c.name != "set_phase"]
    evaluate = calls[13][2]
    assert type(evaluate.pop("stage_data")).__name__ == "StageData"
    dirs = {"feature_dir": data_dir, "signal_dir": data_dir, "manifest": w.manifest}
    assert calls[9:17] == [
        ("graph_validator.validate", (graph, "STRATEGY"), {}),
        ("sync_manager.get_manifest", (), {}),
        ("compute_search_plan", ("STRATEGY", w.era_config), {"requested_n_jobs": 1}),
        ("BatchOrchestrator", (), {"search_plan": w.search_plan, **dirs, "backtester": bt,
                                   "named_universe": "u1"}),
        ("orchestrator.evaluate", (), {
            "graph": graph, "expression_type": "STRATEGY", "registry": w.vocabulary,
            "useful_signals": w.useful_signals, "universe": None,
            "metaparameters": {"sp1": meta},       # weights belong to the linked signal pool
            "transform_pipeline": w.era_config["transform_pipeline"],
            "column_labels": ["close", "volume"], "signal_universe_rule_ids": {},
            "search_plan": w.search_plan, **dirs, "backtester": bt}),
        ("backtester.backtest", (), {"weights": bt.weights, "era_config": w.era_config,
                                     "universe": None, "return_series": False,
                                     "return_weights": False, "use_vault": True}),
        ("evaluate_threshold_gates", (), {"metrics": METRICS,
                                          "threshold_set": {"sharpe": {"min": 1.5}}}),
        # no found signals in the strategy pool: only the synced found-strategy PnL
        ("correlate_per_pool", (), {"pool_name": "strategies-main", "pnl_column": "pnl",
                                    "pnl_arrays": [d.FOUND_STRATEGY_PNL], "threshold": 0.7})]
    assert calls[18:] == [("compute_mi_per_pool", (), {
        "pool_name": "strategies-main", "pnl_column": "pnl", "pool_signals": [],
        "threshold": 0.05}), ("era_thread.get_current_era_number", (), {})]
    assert calls[14][2]["era_config"] is not w.era_config     # the run's own copy
    # the route's patches stay on the shared backtester
    assert type(bt.evaluator).__name__ == "_SimulationOrchestratorEvaluator"
    assert bt.search_plan_factory(1, "two", three=3) is w.search_plan

    res = handle.result()
    assert (res.pool_kind, res.signal_pool_id, res.strategy_pool_id) == ("strategy", "sp1", "stp1")
    assert (res.passed, res.failure_reason, res.resolved_metaparameters) == (True, None, meta)
    assert w.log.names("search_tracker") == ["search_tracker.record_strategy_evaluation"]
    payload = w.log.last("search_tracker.record_strategy_evaluation").kwargs
    assert payload["metaparameters"] == {"stp1": meta} and len(payload) == 21
    assert [payload[k] for k in ("strategy_pool_id", "signal_pool_id",
                                 "referenced_signal_ids")] == ["stp1", "sp1", ["s1"]]
    # each holder has its own copy of the metaparameters
    copies = [payload["metaparameters"]["stp1"], res.resolved_metaparameters,
              evaluate["metaparameters"]["sp1"]]
    assert len({id(c) for c in copies}) == 3


# --- Outcomes ------------------------------------------------------------------------------

class Refused(namedtuple("Outcome", "exc message cause", defaults=[type(None)])):
    """The call itself raises ``exc(message)``: no thread, no collaborator call."""


class Fails(Refused):
    """The run ends in "error"; result() raises ``exc`` (from ``cause``). A ``message``
    that starts with "^" is a pattern the text must match (the start of a long
    fixed text), any other is the whole text."""


def assert_text(text, message):
    assert re.match(message, text) if message.startswith("^") else text == message, text


REASONS = {  # reason -> (passed, failure_reason, failure_detail)
    None: (True, None, None),
    "invalid_weights": (False, "invalid_weights", "Selected pool structural backtest check failed"),
    "thresholds": (False, "thresholds", "Selected pool threshold check failed"),
    "correlation": (True, "correlation", "Selected pool correlation threshold failed"),
    "pnl_mi": (True, "pnl_mi", "Selected pool PnL MI threshold failed"),
    "mi_unavailable": (True, "pnl_mi", "Selected pool PnL MI computation unavailable"),
}


class Completes:
    """The run completes with ``reason``; ``fields`` of the result (dotted
    names reach into attributes; a verdict is compared by its prefix);
    ``warns``: the "mi_computation_unavailable" warning is logged."""

    def __init__(self, reason=None, warns=False, **fields):
        self.reason, self.warns, self.fields = reason, warns, fields


class R:
    """A row: ``setup(w)``, ``init`` overrides, ``Wiring(**wiring)``, ``call(ss)`` or start()'s
    ``run`` keywords; calls that must not happen, and keywords one call had (``calls``)."""

    def __init__(self, id, outcome, setup=None, *, init=None, wiring=None, never=(),
                 calls=None, call=None, **run):
        self.id, self.outcome, self.setup, self.call, self.run = id, outcome, setup, call, run
        self.init, self.wiring, self.never = init or {}, wiring or {}, never
        self.calls = calls or {}


def pool(kind="signal", **changes):
    return lambda w: w.pool(kind).update(changes)


def drop(*keys, kind=None):
    return lambda w: [(w.pool(kind) if kind else w.era_config).pop(k) for k in keys]


def config(**changes):
    return lambda w: w.era_config.update(changes)


def fail(name, exc, call=None):
    return lambda w: w.log.fail(name, exc, call)


def answer(name, value):
    return lambda w: w.log.returns(name, value)


def on(owner, **attributes):
    return lambda w: vars(operator.attrgetter(owner)(w)).update(attributes)


def recorded(name):
    return lambda w: w.record_global(name, {})


def both(*setups):
    return lambda w: [s(w) for s in setups]


def no_universe_anywhere(w):
    for p in w.era_config["signal_pools"]:
        del p["allowed_named_universes"]
    del w.era_config["allowed_named_universes"], w.era_config["named_universe"]


def second_empty_pool(w):
    w.pool()["found_signal_ids"] = []
    w.era_config["signal_pools"].append(dict(w.pool(), id="sp2"))


def refreshing(pending_to_loaded, refreshed):
    def arrange(w):
        path = "data/u1/vocabulary.json"
        w.guard.snapshot.pending_data_artifact_shas = {path: "h1"}

        def ensure_fresh():
            if pending_to_loaded:
                w.guard.snapshot.pending_data_artifact_shas = {}
                w.guard.snapshot.loaded_data_artifact_shas = {path: "h1"}
            return refreshed
        w.log.returns("guard.ensure_fresh_before_evaluation", compute=ensure_fresh)
        w.record_global("_reload_runtime_vocabulary_after_freshness")
    return arrange


def injected_orchestrator(w):
    w.overrides["batch_orchestrator"] = d.double(w.log, "injected",
                                                 {"evaluate": w.orchestrator.evaluated})


def validator_runtime_raises(exc_type):
    def import_runtime():
        raise exc_type("not synced")
    return lambda w: w.patches.update(_import_graph_validator_runtime=import_runtime)


ORCHESTRATED, GUARDED = {"route": "orchestrator"}, {"guard": True}
NO_VALIDATOR, NO_LOADER = {"graph_validator": None}, {"load_vocabulary": None}
NO_MI, NO_POOL_GATES = ("compute_mi_per_pool",), ("correlate_per_pool", "compute_mi_per_pool")
RELOAD = "_reload_runtime_vocabulary_after_freshness"
STRUCTURAL = on("backtester.result", structural_failed=True)
LOW_SHARPE = lambda w: w.backtester.result.per_column_stats.update(pnl_sharpe=0.5)  # noqa: E731
IN_EVALUATION = {"backtester.evaluate_expression": {"named_universe": "u1"}}
BOOTSTRAP = "^GraphValidator runtime is required for simulation. Initialize the synced"
NO_CORRELATE = "^Per-pool correlation function required. Inject _correlate_per_pool"
NO_STRATEGY_LINK = "Strategy pool 'stp1' must declare a linked signal pool via signal_pool_name."

ROWS = [
    # refused on the caller's thread
    R("aggregation graph", Refused(ValueError, "graph node type 'aggregation' is not allowed"),
      graph={"type": "aggregation", "node": "sum"}, pool=""),    # the graph is checked first
    R("unsafe named universe", Refused(ValueError, "named_universe must be a single safe path "
                                                   "segment, got '../u1'"), universe="../u1"),
    R("empty pool id", Refused(ValueError, "signal_pool_id must be a non-empty string"), pool=""),
    R("no named universe anywhere", Refused(ValueError, "^named_universe is required; call "
                                                        "tallowmere.configure"),
      no_universe_anywhere, universe=None),
    R("signal pool keyword for a strategy", Refused(
        TypeError, "simulate_strategy() got an unexpected keyword argument 'signal_pool_id'"),
      call=lambda ss: ss.simulate_strategy(d.strategy_graph(), "u1", signal_pool_id="sp1")),
    R("plain graph handed to the handle", Refused(TypeError, "^graph must be FunctionGraphNode "
                                                             "at the simulation runtime boundary"),
      call=lambda ss: ss.SimulationHandle(GRAPH, "u1", "SIGNAL", selected_pool_id="sp1")),

    # data sync
    R("strategy graph as a signal", Fails(ValueError, "^simulate_signal only accepts signal "
                                                      "graphs"),
      graph=d.strategy_graph(), never=["auth.get_wallet_secret"]),
    R("strategy graph without filtration", Fails(ValueError, "^Strategy graph must contain at "
                                                             "least one filtration node."),
      kind="strategy", graph=d.signal_graph(), never=["auth.get_wallet_secret"]),
    R("other expression type not checked", Completes(pool_kind="signal"),
      call=lambda ss: ss.SimulationHandle(d.strategy_graph(), "u1", "CUSTOM",
                                          selected_pool_id="sp1")),
    R("auth not wired", Fails(RuntimeError, "Pipeline dependencies not initialized. Call "
                                            "register() or login() first."),
      init={"auth": None}, never=["sync_manager.acquire"]),
    R("sync result not a list", Fails(TypeError, r"^request_for_sync\(\) must return a list "
                                                 r"or tuple of synced file paths, got NoneType$"),
      answer("sync_manager.request_for_sync", None), kind="strategy"),
    R("no market identity", Fails(NotReady, ""),
      both(lambda w: w.manifest.pop("market_id"), config(market_id=0))),
    R("market id from the era config", Completes(), lambda w: w.manifest.pop("market_id")),
    R("era number never from the era config", Fails(NotReady, ""),
      lambda w: w.manifest.pop("era_number")),

    # set-up
    R("no era config", Fails(RuntimeError, "^era_config is required for simulation."),
      init={"era_config": None}),
    R("era config of another era", Fails(
        EraError, "Synced era_number=12 does not match era_config era_number=11"),
      config(era_number=11)),
    R("no vault", Fails(RuntimeError, "^Vault runtime is required for simulation."),
      init={"vault": None}, wiring={"era_vault_hook": True},
      never=["backtester.initialize_era_vault"]),
    R("seed file missing", Fails(FileNotFoundError, "^shuffle_seed.enc is required"),
      on("sync_manager", _data_dir="/nowhere"), never=["vault.initialize"]),
    R("data directory from the public attribute", Completes(),
      lambda w: vars(w.sync_manager).update(_data_dir="", data_dir=w.data_dir)),
    R("data directory from the signal directory", Completes(), both(
        on("sync_manager", _data_dir=None, data_dir=None),
        lambda w: w.overrides.update(signal_dir=w.data_dir))),
    R("private data directory first", Completes(), on("sync_manager", data_dir="/nowhere")),
    R("phase callback fails", Completes(), fail("set_phase", RuntimeError("phase sink down"))),
    R("vault locked", Fails(RuntimeError, "vault locked"),
      fail("vault.initialize", RuntimeError("vault locked")), never=["vault.init_if_needed"]),
    R("vault already initialized", Completes(),
      fail("vault.initialize", RuntimeError("vault already initialized")),
      calls={"vault.init_if_needed": {}}),
    R("era vault hook", Completes(), wiring={"era_vault_hook": True},
      never=["vault.initialize", "vault.init_if_needed"],
      calls={"backtester.initialize_era_vault": {
          "shuffle_blob": d.SHUFFLE_BLOB, "wallet_secret": d.WALLET_SECRET, "market_id": 1,
          "era_number": 12}}),
    R("loaded vocabulary not a mapping", Fails(ValueError, "load_vocabulary returned empty or "
                                                           "invalid vocabulary"),
      answer("load_vocabulary", [("era_number", 12)]), never=["backtester.init_reconstruction"]),
    R("loaded vocabulary lacking keys", Fails(
        ValueError, r"^Vocabulary missing required keys: \{.*'metadata'.*\}\. "
                    r"Present keys: \['era_number', 'features'\]$"),
      answer("load_vocabulary", {"era_number": 12, "features": []})),
    R("no loader, no vocabulary", Fails(RuntimeError, "^Vocabulary is required for simulation."),
      init={**NO_LOADER, "vocabulary": None}),
    R("no loader, raw vocabulary", Fails(TypeError, "^Raw vocabulary dict is not accepted at "
                                                    "runtime."),
      init={**NO_LOADER, "vocabulary": d.vocabulary_dict()}),

    # validation and configuration
    R("no transform pipeline", Fails(NotReady, "missing required era config field: "
                                               "transform_pipeline"), drop("transform_pipeline")),
    R("universe rules under the old key", Fails(NotReady, ""),
      both(drop("universe_rules"), config(universes={}))),
    R("unknown named universe", Fails(
        ValueError, "Unknown named_universe 'u1'. Available named_universe values: ['aa', 'zz']. "
                    "Allowed named_universe values: ['u1']"),
      config(universe_rules={"zz": {"rule_id": 9}, "aa": {"rule_id": 8}}),
      never=["graph_validator.validate"]),
    R("named universe outside the pool", Fails(
        ValueError, "named_universe 'u1' is not in selected pool "
                    "allowed_named_universes=['u2', 'u3']"),
      pool(allowed_named_universes=["u2", "u3"])),
    R("unknown pool", Fails(ValueError, "Unknown signal_pool_id 'zz'. Available signal_pools: 1.",
                            KeyError), pool="zz"),
    R("strategy pool without a linked pool", Fails(ValueError, NO_STRATEGY_LINK),
      pool("strategy", signal_pool_name=""), kind="strategy"),
    R("useful signal of another pool", Fails(
        ValueError, "^Strategy pool 'stp1' is linked to signal pool 'sp1', but useful signal "
                    "'s1' belongs to signal pool 'sp9'."),
      init={"useful_signal_metadata": {"s1": {"signal_id": "s1", "signal_pool_id": "sp9"}}},
      kind="strategy"),
    R("validator runtime not synced", Fails(NotReady, "not synced"),
      validator_runtime_raises(NotReady), init=NO_VALIDATOR),
    R("validator over a registry not a FunctionStore", Fails(RuntimeError, BOOTSTRAP, TypeError),
      init={**NO_VALIDATOR, **NO_LOADER, "vocabulary": ["rank"]}),
    R("metaparameters checked", Completes(), recorded("_resolve_metaparameters"),
      metaparameters={"normalize": "rank"}, calls={"_resolve_metaparameters": {}}),
    R("metaparameters with per-pool defaults not checked", Completes(), both(
        lambda w: w.era_config["transform_pipeline"].append({"name": "x",
                                                            "per_pool_default": True}),
        recorded("_resolve_metaparameters")),
      metaparameters={"normalize": "rank"}, never=["_resolve_metaparameters"]),
    R("named universe from the pool", Completes(), universe=None, calls=IN_EVALUATION),
    R("optional graph fields tracked", Completes(), graph=d.FunctionGraphNode(
        "rotation", "rank", [d.FunctionGraphNode("feature", "f", config={})], config={"w": 1},
        canonical_id="c", family=0, value=1.5),     # an empty config is no config
      calls={"search_tracker.record_signal_evaluation": {"graph": {
          "type": "rotation", "node": "rank", "children": [
              {"type": "feature", "node": "f", "children": []}], "config": {"w": 1},
          "canonical_id": "c", "family": 0, "value": 1.5}}}),

    # evaluation
    R("strategy without useful signals", Fails(ValueError, "^No useful signals match the "
                                                           "filtration criteria."),
      init={"useful_signals": [], "useful_signal_pool": []}, kind="strategy",
      never=["backtester.evaluate_expression"]),
    R("strategy without useful signals or their pool", Completes(),
      init={"useful_signals": [], "useful_signal_pool": None}, kind="strategy"),
    R("no evaluation route", Fails(RuntimeError, "^RuntimeEvaluationAdapter is required for "
                                                 "simulation."),
      wiring={"route": "direct"}, init={"BatchOrchestrator_cls": None}),
    R("orchestrator weights without the pool", Completes(), answer("orchestrator.evaluate",
      SimpleNamespace(per_pool_weights={"other": "x"}, weights="plain-weights")),
      wiring=ORCHESTRATED, calls={"backtester.backtest": {"weights": "plain-weights"}}),
    R("bare orchestrator result", Completes(), answer("orchestrator.evaluate", [[1.0, -1.0]]),
      wiring=ORCHESTRATED, init={"useful_signals": None}, calls={"orchestrator.evaluate": {
          "useful_signals": {}}, "backtester.backtest": {"weights": [[1.0, -1.0]]}}),
    R("orchestrator class before the injected one", Completes(), injected_orchestrator,
      wiring=ORCHESTRATED, never=["injected.evaluate"], calls={"BatchOrchestrator": {}}),
    R("injected orchestrator", Completes(), injected_orchestrator, wiring=ORCHESTRATED,
      init={"BatchOrchestrator_cls": None}, never=["BatchOrchestrator"],
      calls={"injected.evaluate": {}, "compute_search_plan": {}}),
    R("unreadable manifest is no manifest", Completes(),
      fail("sync_manager.get_manifest", OSError("gone"), call=2), wiring=ORCHESTRATED,
      calls={"BatchOrchestrator": {"manifest": None}, "orchestrator.evaluate": {"manifest": None}}),
    R("vocabulary refreshed", Completes(), refreshing(False, True), wiring=GUARDED,
      calls={RELOAD: {}}),
    R("vocabulary artifact loaded", Completes(), refreshing(True, False), wiring=GUARDED,
      calls={RELOAD: {}}),
    R("nothing refreshed", Completes(), refreshing(False, False), wiring=GUARDED, never=[RELOAD]),

    # backtest and thresholds
    R("series without weights", Completes(portfolio_returns=[0.015, -0.005]), return_series=True,
      calls={"backtester.run_backtest": {"return_series": True, "return_weights": False}}),
    R("structural failure", Completes(
        "invalid_weights", structural_failed=True, stats_verdict=(False, "invalid_weights"),
        correlation_verdict=NOT_EVALUATED, is_correlation=None, mi_verdict=NOT_EVALUATED,
        mi_score=None, mi_passed=None, is_pnl_mi=None), STRUCTURAL, never=NO_POOL_GATES),
    R("structural failure, diagnostics", Completes("invalid_weights", was_diagnostic_only=True),
      STRUCTURAL, fail_fast=False, calls={"compute_mi_per_pool": {}}),
    R("structural failure outranks thresholds", Completes(
        "invalid_weights", stats_verdict=(False, "invalid_weights")), both(STRUCTURAL, LOW_SHARPE)),
    R("low sharpe", Completes("thresholds", stats_verdict=(False, "thresholds")), LOW_SHARPE,
      never=NO_POOL_GATES),
    R("sharpe not finite", Completes("thresholds"),
      lambda w: w.backtester.result.per_column_stats.update(pnl_sharpe=math.inf),
      calls={"evaluate_threshold_gates": {"metrics": {**METRICS, "sharpe": 0.0}}}),
    R("turnover from the average", Completes("thresholds"),
      both(lambda w: delattr(w.backtester.result.stats, "turnover"),
           on("backtester.result.stats", avg_turnover=0.9)),
      calls={"evaluate_threshold_gates": {"metrics": {**METRICS, "turnover": 0.9}}}),
    R("no turnover", Fails(AttributeError, "'BacktestStats' object has no attribute "
                                           "'avg_turnover'"),
      lambda w: [delattr(w.backtester.result.stats, a) for a in ("turnover", "avg_turnover")],
      calls={"evaluate_threshold_gates": {"metrics": {**METRICS, "turnover": 0.0}}}),
    R("no threshold entry for the universe", Completes(), pool(universes={d.RULE_ID: None}),
      calls={"evaluate_threshold_gates": {"threshold_set": {}}}),

    # correlation gate
    R("found signal PnL missing", Fails(ValueError, "Signal PnL data is missing for found "
                                                    "signal IDs: 7"),
      both(pool(found_signal_ids=[8, 7, 8]), lambda w: setattr(w, "found_pnl", {8: [0.1]})),
      never=NO_POOL_GATES),
    R("found signals without a loader", Fails(ValueError, "^Signal PnL data could not be loaded "
                                                          "for found signal IDs: s1, s2. Inject"),
      init={"load_found_signal_pnl": None}),
    R("synced found-strategy PnL unreadable", Fails(
        ValueError, "^Synced found-strategy PnL data could not be loaded for correlation: .*/fs2/"),
      lambda w: w.sync_result.append(w.found_strategy_pnl_path.replace("fs1", "fs2")),
      kind="strategy"),
    R("no correlation callable", Fails(ValueError, NO_CORRELATE),
      init={"correlate_per_pool": None}),
    R("no correlation callable for an empty pool", Fails(ValueError, NO_CORRELATE),
      pool(found_signal_ids=[]), init={"correlate_per_pool": None}),
    R("no correlation threshold", Fails(ValueError, "era config selected pool missing required "
                                                    "is_correlation_threshold"),
      drop("is_correlation_threshold", kind="signal"), never=NO_POOL_GATES),
    R("correlation not asked for", Completes(
        is_correlation=None, correlation_verdict=NOT_EVALUATED, **{"stats.correlation": None}),
      init={"load_found_signal_pnl": None}, include_correlation=False,
      never=["correlate_per_pool"]),
    R("high correlation", Completes("correlation", mi_verdict=NOT_EVALUATED,
                                    correlation_verdict=(False, "correlation", 0.9, 0.7)),
      answer("correlate_per_pool", 0.9), never=NO_MI),
    R("high correlation, diagnostics", Completes("correlation", was_diagnostic_only=True),
      answer("correlate_per_pool", 0.9), fail_fast=False, calls={"compute_mi_per_pool": {}}),
    R("empty pool among several", Completes(is_correlation=0.0, mi_score=1.0), second_empty_pool,
      never=NO_POOL_GATES,
      calls={"evaluate_threshold_gates": {"metrics": {"is_correlation": 0.0}}}),
    R("empty pool of several, diagnostics", Completes(was_diagnostic_only=False), second_empty_pool,
      fail_fast=False,
      calls={"correlate_per_pool": {"pnl_arrays": []},
             "compute_mi_per_pool": {"pool_signals": []}}),
    R("pool PnL columns", Completes(),
      pool(correlation_pnl_column="pnl_net", mi_pnl_column="pnl_gross"),
      calls={"correlate_per_pool": {"pnl_column": "pnl_net"},
             "compute_mi_per_pool": {"pnl_column": "pnl_gross"}}),

    # MI gate
    R("no signal MI threshold", Fails(ValueError, "era config selected signal pool missing "
                                                  "required is_pnl_mi_threshold"),
      drop("is_pnl_mi_threshold", kind="signal"), never=NO_MI),
    R("no strategy MI threshold", Fails(ValueError, "^era config selected strategy pool missing "
                                                    "required strategy_is_pnl_mi_threshold$"),
      drop("strategy_is_pnl_mi_threshold", kind="strategy"), kind="strategy"),
    R("strategy MI threshold of the signal kind", Completes(),
      both(drop("strategy_is_pnl_mi_threshold", kind="strategy"),
           pool("strategy", is_pnl_mi_threshold=0.3)),
      kind="strategy", calls={"compute_mi_per_pool": {"threshold": 0.3}}),
    R("low MI", Completes("pnl_mi", mi_score=0.05, mi_passed=False, is_pnl_mi=0.05,
                          mi_verdict=(False, "pnl_mi", 0.05, 0.1)),
      answer("compute_mi_per_pool", (0.05, False))),
    R("low sharpe, diagnostics without MI", Completes("thresholds", was_diagnostic_only=False),
      LOW_SHARPE, fail_fast=False, include_mi=False),
    R("no MI callable", Completes("mi_unavailable", warns=True, mi_score=None, mi_passed=False,
                                  mi_verdict=(False, "pnl_mi", None, 0.1)),
      init={"compute_mi_per_pool": None}),
    R("MI score not a number", Completes("mi_unavailable", mi_score=None),
      answer("compute_mi_per_pool", (math.nan, True))),
    R("MI pass flag falsy", Completes("pnl_mi", mi_score=0, mi_passed=False),
      answer("compute_mi_per_pool", (0, ""))),
    R("infinite MI", Completes(mi_score=math.inf, mi_passed=True),
      answer("compute_mi_per_pool", (math.inf, True)), kind="strategy"),
    R("MI result of three", Fails(ValueError, "too many values to unpack (expected 2)"),
      answer("compute_mi_per_pool", (0.4, True, "extra"))),
    R("empty pool without MI callable", Completes("pnl_mi", mi_score=1.0, mi_passed=False),
      pool(found_signal_ids=[], is_pnl_mi_threshold=1.5), init={"compute_mi_per_pool": None}),
    R("injected found signal pool", Completes(), init={"found_signal_pool": ["x", "y"]},
      calls={"compute_mi_per_pool": {"pool_signals": ["x", "y"]}}),
    R("injected empty found signal pool", Completes(mi_score=1.0),
      init={"found_signal_pool": []}, never=NO_MI),
    R("MI not asked for", Completes(mi_score=None, mi_passed=None, is_pnl_mi=None,
                                    mi_verdict=NOT_EVALUATED), include_mi=False, never=NO_MI),

    # the end
    R("era changed during the run", Fails(
        EraError, "Era changed during simulation. Started with era_number=12, current "
                  "era_number=13. Results are invalid. Retry with the new era."),
      on("era_thread", current_era=13)),
    R("unrecorded run", Completes(), record=False),
]


@pytest.mark.parametrize("case", ROWS, ids=[r.id for r in ROWS])
def test_outcome(ss, caplog, case):
    caplog.set_level(logging.DEBUG)     # every logger, for the secret
    w = Wiring(**case.wiring)
    if case.setup:
        case.setup(w)
    w.wire(ss, **case.init)
    threads, outcome = threading.active_count(), case.outcome
    begin = (lambda: case.call(ss)) if case.call else (lambda: start(ss, **case.run))
    if type(outcome) is Refused:
        with pytest.raises(Exception) as info:
            begin()
        assert type(info.value) is outcome.exc
        assert_text(str(info.value), outcome.message)
        assert threading.active_count() == threads and w.log.calls == []
        return
    handle = wait_done(begin())
    status = handle.status()
    if type(outcome) is Fails:
        error = failure_of(handle)
        assert (type(error), type(error.__cause__)) == (outcome.exc, outcome.cause), repr(error)
        assert_text(str(error), outcome.message)
        assert (status.phase, status.message) == ("error", f"Error: {error}")
        assert w.log.names("search_tracker") == []
    else:
        assert status.phase == "complete", handle._error
        res = handle.result()
        passed, reason, detail = REASONS[outcome.reason]
        assert (res.passed, res.failure_reason, res.failure_detail) == (passed, reason, detail)
        for name, expected in outcome.fields.items():
            value = operator.attrgetter(name)(res)
            if name.endswith("_verdict"):
                value = verdict(value)
                value = value if value == NOT_EVALUATED else value[:len(expected)]
            assert value == expected, name
        records = [c.kwargs for c in w.log.calls if c.name.startswith("search_tracker.")]
        assert len(records) == (0 if case.run.get("record") is False else 1)
        for record in records:
            assert (record["passed_thresholds"], record["failure_reason"],
                    record["failure_detail"], record["rejection_reason"]) == (
                passed, reason, detail, detail)
        warned = [r for r in caplog.records if r.getMessage() == "mi_computation_unavailable"]
        assert [r.pool for r in warned] == (["signals-main"] if outcome.warns else [])
    assert w.log.count("sync_manager.release") == w.log.count("sync_manager.acquire")
    d.assert_secret_kept(ss, w, handle, caplog.records)
    for name in case.never:
        assert w.log.count(name) == 0, name
    for name, kwargs in case.calls.items():
        seen = [c.kwargs for c in w.log.of(name)]
        assert any(kwargs.items() <= c.items() for c in seen), (name, seen)


# --- Download progress ---------------------------------------------------------------------

@pytest.mark.parametrize("downloaded, total, expected", [
    (1.5, 6.0, (0.25, "Syncing data... 1.5/6.0 bytes downloaded")),
    ("512", 1024, (0.0, "Syncing data... 0/1024 bytes downloaded")),
    (512, 0, (0.0, "Syncing data from server...")),
])
def test_download_progress(ss, monkeypatch, downloaded, total, expected):
    w = Wiring().wire(ss)
    w.sync_manager.bytes_downloaded, w.sync_manager.total_bytes = downloaded, total
    statuses = StatusLog(monkeypatch, ss)
    wait_done(start(ss))
    assert statuses.updates[1] == ("syncing",) + expected


# --- The shared data sync ------------------------------------------------------------------

def overlapping(ss, w, waiters):
    """One run syncing (held in request_for_sync) and ``waiters`` runs waiting on it."""
    ss._sync_event = event = CountingEvent()
    gate = w.log.block("sync_manager.request_for_sync")
    runs = [start(ss, "strategy")]
    assert gate.wait_entered()
    runs += [start(ss, "strategy") for _ in range(waiters)]
    for _ in range(waiters):
        assert event.waiting.acquire(timeout=BLOCK_TIMEOUT), "waiter never arrived"
    gate.release()
    return runs


@pytest.mark.parametrize("fails", [False, True])
def test_one_sync_serves_overlapping_runs(ss, fails):
    w = Wiring().wire(ss)
    boom = ConnectionError("sync failed")
    if fails:
        w.log.fail("sync_manager.request_for_sync", boom)
    runs = overlapping(ss, w, 3)
    if fails:      # every run fails with its exception; a later run syncs again
        assert [failure_of(h) for h in runs] == [boom] * 4
        assert (ss._sync_in_progress, ss._sync_exception_cache) == (False, boom)
        w.log.clear_behaviour("sync_manager.request_for_sync")
        assert collect(start(ss)).passed is True
        assert w.log.count("sync_manager.request_for_sync") == 2
        assert ss._sync_exception_cache is None
        return
    assert all(collect(h).passed for h in runs)
    assert w.log.count("sync_manager.request_for_sync") == 1
    # every run correlates against the synced found-strategy PnL
    assert [c.kwargs["pnl_arrays"] for c in w.log.of("correlate_per_pool")] == [
        [d.FOUND_STRATEGY_PNL]] * 4
    assert (ss._sync_in_progress, ss._sync_result_cache, ss._sync_exception_cache,
            ss._sync_event.is_set()) == (False, w.sync_result, None, True)


def test_waiter_gives_up_after_30_seconds_and_the_syncing_run_goes_on(ss):
    w = Wiring().wire(ss)
    ss._sync_event = event = CountingEvent()
    gate = w.log.block("sync_manager.request_for_sync")
    syncing = start(ss)
    assert gate.wait_entered()
    event.answer = False                  # the waiter's 30 s pass at once
    error = failure_of(start(ss))
    assert (type(error), str(error)) == (
        SyncError, "Timed out waiting for simulation data sync to complete")
    assert event.waits == [30] and ss._sync_in_progress is True
    gate.release()
    assert collect(syncing).passed is True
    assert (ss._sync_in_progress, ss._sync_result_cache) == (False, w.sync_result)
    assert w.log.count("sync_manager.request_for_sync") == 1


# --- The backtester and validator the evaluation uses --------------------------------------

@pytest.mark.parametrize("fails", [False, True])
def test_adapter_route_patches_the_backtester_during_the_evaluation_only(ss, fails):
    w = Wiring()
    w.BatchOrchestrator_cls = d.recorder(w.log, "BatchOrchestrator", w.orchestrator)
    w.wire(ss, batch_orchestrator=d.double(w.log, "injected", {"evaluate": "unused"}))
    bt, seen = w.backtester, []

    def evaluate_expression(*args, **kwargs):
        seen.extend([type(bt.evaluator).__name__, bt.search_plan_factory("any", arg=1)])
        bt.evaluator.evaluate(manifest="mine")      # the caller's keywords win over the extras
        return {}["evaluation failed"] if fails else bt.weights
    w.log.returns("backtester.evaluate_expression", compute=evaluate_expression)
    assert wait_done(start(ss)).status().phase == ("error" if fails else "complete")
    assert seen == ["_SimulationOrchestratorEvaluator", w.search_plan]
    assert w.log.last("orchestrator.evaluate").kwargs["manifest"] == "mine"
    assert (bt.evaluator, bt.search_plan_factory) == ("original-evaluator",
                                                      "original-search-plan-factory")


def test_rescaling_pipeline_finalizes_and_installs_the_weights(ss):
    w = Wiring()
    w.backtester.weights = [[1.0, -3.0]]
    w.record_global("_install_finalized_weights")
    w.wire(ss)
    handle = wait_done(start(ss, metaparameters={"normalize": "rescale"}))
    final = [[0.25, -0.75]]      # rows scaled to absolute sum one
    assert w.log.last("_install_finalized_weights").args == (
        w.backtester, handle._graph, {"sp1": {"normalize": "rescale"}}, "u1", final)
    assert handle.result().passed is True


def test_validator_is_built_once_from_the_synced_runtime(ss):
    w = Wiring().wire(ss, graph_validator=None)
    assert collect(start(ss)).passed is True
    validator = ss._graph_validator
    assert type(validator).__module__ == "tallowmere.simulator_engine.graph_validator"
    assert validator.registry is w.vocabulary
    assert collect(start(ss)).passed is True and ss._graph_validator is validator
