"""The gates of a run, end to end: the structural check and scalar thresholds
after the backtest, the pool's correlation and marginal-improvement gates,
fail_fast and the diagnostic-only case, and the failure reason that sums them
up in the result and the tracking record."""
import logging
import math
from types import SimpleNamespace

import pytest

import doubles as d
from doubles import Wiring, wait_done
from pipeline_support import failure, run, signal_pool, start, strategy_pool

DETAILS = {
    "invalid_weights": "Selected pool structural backtest check failed",
    "thresholds": "Selected pool threshold check failed",
    "correlation": "Selected pool correlation threshold failed",
    "pnl_mi": "Selected pool PnL MI threshold failed",
    "mi_unavailable": "Selected pool PnL MI computation unavailable",
}


def structural_failure(w):
    w.backtester.result.structural_failed = True


def low_sharpe(w):
    w.backtester.result.per_column_stats["pnl_sharpe"] = 0.5


def high_correlation(w):
    w.log.returns("correlate_per_pool", 0.9)


def low_mi(w):
    w.log.returns("compute_mi_per_pool", (0.05, False))


def no_mi_callable(w):
    w.compute_mi_per_pool = None


GATES = [
    ("invalid_weights", structural_failure),
    ("thresholds", low_sharpe),
    ("correlation", high_correlation),
    ("pnl_mi", low_mi),
    ("mi_unavailable", no_mi_callable),
]
EARLY = ("invalid_weights", "thresholds")   # the stages that decide `passed`


def record_payload(w):
    return w.log.last("search_tracker.record_signal_evaluation").kwargs


@pytest.mark.parametrize("fail_fast", [True, False], ids=["fail_fast", "diagnostics"])
@pytest.mark.parametrize("gate, make_fail", GATES, ids=[g for g, _ in GATES])
def test_each_gate_failing_alone(ss, caplog, gate, make_fail, fail_fast):
    w = Wiring()
    make_fail(w)
    w.wire(ss)
    handle = start(ss, w, fail_fast=fail_fast)
    res = wait_done(handle).result()
    reason = "pnl_mi" if gate == "mi_unavailable" else gate
    verdict = ss._gate_verdict
    not_evaluated = ss._not_evaluated_verdict()

    assert handle.status().phase == "complete"
    assert (res.failure_reason, res.failure_detail) == (reason, DETAILS[gate])
    assert res.passed is (gate not in EARLY)
    assert res.structural_failed is (gate == "invalid_weights")
    assert res.rejection_reason is None
    assert res.stats_verdict == (verdict(False, gate) if gate in EARLY else verdict(True))

    correlation_runs = not fail_fast or gate not in EARLY
    mi_runs = not fail_fast or gate not in EARLY + ("correlation",)
    assert w.log.count("correlate_per_pool") == int(correlation_runs)
    assert w.log.count("compute_mi_per_pool") == int(mi_runs and gate != "mi_unavailable")
    correlation = 0.9 if gate == "correlation" else 0.2
    if not correlation_runs:
        assert res.correlation_verdict == not_evaluated and res.is_correlation is None
    elif gate == "correlation":
        assert res.correlation_verdict == verdict(False, "correlation", value=0.9, threshold=0.7)
    else:
        assert res.correlation_verdict == verdict(True, value=correlation, threshold=0.7)

    if not mi_runs:
        assert res.mi_verdict == not_evaluated
        assert (res.mi_score, res.mi_passed, res.is_pnl_mi) == (None, None, None)
    elif gate == "pnl_mi":
        assert (res.mi_score, res.mi_passed) == (0.05, False)
        assert res.mi_verdict == verdict(False, "pnl_mi", value=0.05, threshold=0.1)
    elif gate == "mi_unavailable":
        assert (res.mi_score, res.mi_passed) == (None, False)
        assert res.mi_verdict == verdict(False, "pnl_mi", value=None, threshold=0.1)
    else:
        assert (res.mi_score, res.mi_passed) == (0.4, True)
        assert res.mi_verdict == verdict(True, value=0.4, threshold=0.1)

    # MI computed for a pool that had already failed: diagnostics only
    diagnostic = not fail_fast and gate in EARLY + ("correlation",)
    assert res.was_diagnostic_only is diagnostic

    payload = record_payload(w)
    assert payload["passed_thresholds"] is res.passed
    assert payload["rejection_reason"] == DETAILS[gate]
    assert (payload["failure_reason"], payload["failure_detail"]) == (reason, DETAILS[gate])
    assert payload["is_correlation"] == res.is_correlation
    assert payload["is_pnl_mi"] == payload["agent_is_pnl_mi"] == res.mi_score

    unavailable = [r for r in caplog.records if r.getMessage() == "mi_computation_unavailable"]
    if gate == "mi_unavailable" and mi_runs:
        [record] = unavailable
        assert record.levelno == logging.WARNING and record.pool == "signals-main"
    else:
        assert unavailable == []


def test_structural_failure_outranks_thresholds(ss):
    w = Wiring()
    structural_failure(w)
    low_sharpe(w)
    w.wire(ss)
    res = run(ss, w)
    assert res.stats_verdict == ss._gate_verdict(False, "invalid_weights")
    assert (res.passed, res.failure_reason) == (False, "invalid_weights")


# ---------------------------------------------------------------------------
# Scalar thresholds

def scalar_gate_call(w):
    return w.log.of("evaluate_threshold_gates")[0]


@pytest.mark.parametrize("present, expected", [
    ({"turnover": 0.4, "avg_turnover": 0.9}, 0.4),
    ({"avg_turnover": 0.9}, 0.9),
    ({}, 0.0),
])
def test_turnover_metric_and_its_fallback(ss, present, expected):
    w = Wiring()
    stats = w.backtester.result.stats
    del stats.turnover, stats.avg_turnover
    vars(stats).update(present)
    w.wire(ss)
    wait_done(start(ss, w))
    call = scalar_gate_call(w)
    assert call.args == () and list(call.kwargs) == ["metrics", "threshold_set"]
    metrics = call.kwargs["metrics"]
    assert list(metrics) == ["sharpe", "turnover", "delta_exposure", "max_weight",
                             "abs_weight_sum_mean"]
    assert metrics == {"sharpe": 1.8, "turnover": expected, "delta_exposure": 0.01,
                       "max_weight": 0.2, "abs_weight_sum_mean": 1.0}


@pytest.mark.parametrize("sharpe", [math.nan, math.inf, "n/a", None])
def test_unusable_sharpe_counts_as_zero(ss, sharpe):
    w = Wiring()
    per_column = w.backtester.result.per_column_stats
    if sharpe is None:
        del per_column["pnl_sharpe"]
    else:
        per_column["pnl_sharpe"] = sharpe
    w.wire(ss)
    res = run(ss, w)
    assert scalar_gate_call(w).kwargs["metrics"]["sharpe"] == 0.0
    assert res.failure_reason == "thresholds"   # below the pool's minimum of 1.0


@pytest.mark.parametrize("kind, expected", [
    ("signal", {"sharpe": {"min": 1.0}, "turnover": {"max": 0.7}}),
    ("strategy", {"sharpe": {"min": 1.0}}),
])
def test_thresholds_of_the_run_universe(ss, kind, expected):
    w = Wiring().wire(ss)
    run(ss, w, kind)
    assert scalar_gate_call(w).kwargs["threshold_set"] == expected


@pytest.mark.parametrize("pool_universe", [None, ["signal_is_thresholds"], {"other": 1}])
def test_no_usable_threshold_entry_means_no_thresholds(ss, monkeypatch, pool_universe):
    w = Wiring().wire(ss)
    low_sharpe(w)
    calls = []
    monkeypatch.setattr(ss, "_resolve_pool_universe_thresholds",
                        lambda *a: calls.append(a) or pool_universe)
    res = run(ss, w)
    assert calls == [(signal_pool(w), d.RULE_ID)]
    assert scalar_gate_call(w).kwargs["threshold_set"] == {}
    assert res.passed is True


@pytest.mark.parametrize("hook", ["absent", "not callable"])
def test_freshness_guard_without_a_backtest_hook(ss, hook):
    w = Wiring(guard=True)
    if hook == "absent":
        w.guard = SimpleNamespace(snapshot=None)
    else:
        w.guard.ensure_fresh_before_backtest = "not callable"
    w.wire(ss)
    assert run(ss, w).passed is True
    assert w.log.count("guard.ensure_fresh_before_backtest") == 0


# ---------------------------------------------------------------------------
# Found-signal PnL

def test_every_found_id_is_asked_before_missing_ones_are_reported(ss):
    w = Wiring()
    signal_pool(w)["found_signal_ids"] = [7, 8, 9, 8]
    w.found_pnl = {8: [0.1, 0.2]}
    w.wire(ss)
    _, exc = failure(ss, w)
    assert [c.args for c in w.log.of("load_found_signal_pnl")] == [(7,), (8,), (9,)]
    assert type(exc) is ValueError
    assert str(exc) == "Signal PnL data is missing for found signal IDs: 7, 9"
    assert w.log.count("correlate_per_pool") == 0


def test_found_ids_need_a_loader(ss):
    w = Wiring().wire(ss, load_found_signal_pnl=None)
    _, exc = failure(ss, w)
    assert type(exc) is ValueError
    assert str(exc) == ("Signal PnL data could not be loaded for found signal IDs: s1, s2. "
                        "Inject _load_found_signal_pnl to provide per-ID PnL loading.")


# ---------------------------------------------------------------------------
# Correlation gate

def add_second_pool(w, kind="signal"):
    pools = w.era_config[f"{kind}_pools"]
    pools.append(dict(pools[0], id=pools[0]["id"] + "-b"))


@pytest.mark.parametrize("fail_fast", [True, False])
def test_empty_pool_among_several(ss, fail_fast):
    w = Wiring()
    signal_pool(w)["found_signal_ids"] = []
    add_second_pool(w)
    w.wire(ss)
    res = run(ss, w, fail_fast=fail_fast)
    if fail_fast:
        # nothing to correlate or measure against: 0.0 and the empty-pool MI, judged by the gates
        assert w.log.count("correlate_per_pool") == 0
        assert w.log.count("compute_mi_per_pool") == 0
        assert res.is_correlation == 0.0 and res.mi_score == ss.empty_pool_pnl_mi()
        pool_gates = [c.kwargs for c in w.log.of("evaluate_threshold_gates")[1:]]
        assert [g["metrics"] for g in pool_gates] == [{"is_correlation": 0.0},
                                                      {"is_pnl_mi": res.mi_score}]
        assert pool_gates[1]["pool_thresholds"] == {"is_pnl_mi_threshold": 0.1}
    else:
        assert w.log.last("correlate_per_pool").kwargs["pnl_arrays"] == []
        assert w.log.last("compute_mi_per_pool").kwargs["pool_signals"] == []
    assert res.passed is True and res.failure_reason is None


@pytest.mark.parametrize("found_ids", [["s1"], []])
def test_correlation_needs_its_callable(ss, found_ids):
    w = Wiring()
    signal_pool(w)["found_signal_ids"] = found_ids
    w.wire(ss, correlate_per_pool=None)
    _, exc = failure(ss, w)
    assert type(exc) is ValueError
    assert str(exc) == ("Per-pool correlation function required. Inject _correlate_per_pool "
                        "to compute pool-level correlations.")


@pytest.mark.parametrize("kind, pool, key, message", [
    ("signal", signal_pool, ["is_correlation_threshold"],
     "era config selected pool missing required is_correlation_threshold"),
    ("signal", signal_pool, ["is_pnl_mi_threshold"],
     "era config selected signal pool missing required is_pnl_mi_threshold"),
    ("strategy", strategy_pool, ["strategy_is_pnl_mi_threshold"],
     "era config selected strategy pool missing required strategy_is_pnl_mi_threshold"),
])
def test_missing_pool_thresholds(ss, kind, pool, key, message):
    w = Wiring()
    for k in key:
        del pool(w)[k]
    w.wire(ss)
    _, exc = failure(ss, w, kind)
    assert type(exc) is ValueError and str(exc) == message
    if "correlation" in message:
        assert w.log.count("correlate_per_pool") == 0


def test_strategy_pool_falls_back_to_the_signal_mi_threshold(ss):
    w = Wiring()
    del strategy_pool(w)["strategy_is_pnl_mi_threshold"]
    strategy_pool(w)["is_pnl_mi_threshold"] = 0.3
    w.wire(ss)
    run(ss, w, "strategy")
    assert w.log.last("compute_mi_per_pool").kwargs["threshold"] == 0.3


def test_pool_columns_override_the_primary_column(ss):
    w = Wiring()
    signal_pool(w).update(correlation_pnl_column="pnl_net", mi_pnl_column="pnl_gross")
    w.wire(ss)
    run(ss, w)
    assert w.log.last("correlate_per_pool").kwargs["pnl_column"] == "pnl_net"
    assert w.log.last("compute_mi_per_pool").kwargs["pnl_column"] == "pnl_gross"


# ---------------------------------------------------------------------------
# MI gate

@pytest.mark.parametrize("mi_result, score, passed", [
    ((math.nan, True), None, False),
    ((-math.inf, True), None, False),
    ((True, True), None, False),        # a bool is no score
    (("0.3", True), None, False),       # neither is a string
    ((0.3, 1), 0.3, True),
    ((0, ""), 0, False),
    ([0.2, True], 0.2, True),
])
def test_mi_score_vetting(ss, mi_result, score, passed):
    w = Wiring()
    w.log.returns("compute_mi_per_pool", mi_result)
    w.wire(ss)
    res = run(ss, w)
    assert res.mi_score == score and res.mi_passed is passed
    if passed:
        assert res.failure_reason is None
    else:
        detail = DETAILS["mi_unavailable" if score is None else "pnl_mi"]
        assert (res.failure_reason, res.failure_detail) == ("pnl_mi", detail)


def test_infinite_score_of_an_empty_pool_stays(ss):
    w = Wiring()
    w.log.returns("compute_mi_per_pool", (math.inf, True))
    w.wire(ss)
    res = run(ss, w, "strategy")    # the strategy pool has no found signals
    assert res.mi_score == math.inf and res.mi_passed is True


@pytest.mark.parametrize("mi_result", [(0.4, True, "extra"), (0.4,), 0.4])
def test_mi_result_must_be_a_pair(ss, mi_result):
    w = Wiring()
    w.log.returns("compute_mi_per_pool", mi_result)
    w.wire(ss)
    handle, exc = failure(ss, w)
    assert type(exc) is (TypeError if mi_result == 0.4 else ValueError)
    assert handle.status().phase == "error"


@pytest.mark.parametrize("found_signal_pool, computed", [(["x", "y"], True), ([], False)])
def test_injected_found_signal_pool_replaces_the_ids(ss, found_signal_pool, computed):
    w = Wiring().wire(ss, found_signal_pool=found_signal_pool)
    res = run(ss, w)
    assert w.log.count("compute_mi_per_pool") == int(computed)
    if computed:
        assert w.log.last("compute_mi_per_pool").kwargs["pool_signals"] is found_signal_pool
    else:
        assert res.mi_score == ss.empty_pool_pnl_mi()


def test_empty_pool_without_mi_callable(ss, caplog):
    w = Wiring()
    signal_pool(w)["found_signal_ids"] = []
    w.wire(ss, compute_mi_per_pool=None)
    res = run(ss, w)
    assert res.mi_score == ss.empty_pool_pnl_mi() and res.mi_passed is True
    assert not [r for r in caplog.records if r.getMessage() == "mi_computation_unavailable"]


def test_mi_skipped_when_not_asked_for(ss):
    w = Wiring().wire(ss)
    res = run(ss, w, include_mi=False)
    assert w.log.count("compute_mi_per_pool") == 0
    assert res.mi_verdict == ss._not_evaluated_verdict()
    assert (res.mi_score, res.mi_passed, res.failure_reason) == (None, None, None)
    assert "computing_mi" not in [c.args[0] for c in w.log.of("set_phase")]
