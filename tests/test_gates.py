"""Metric gates and the tracking-stats bridge."""
import math
from types import SimpleNamespace

import pytest

from tallowmere.search_tracking import BacktestStats

HUGE = 10 ** 400
DEFAULT = object()  # expected: the default object itself


class FloatSub(float):
    pass


class BadFloat:
    def __float__(self):
        raise RuntimeError("no float")


@pytest.mark.parametrize("value, default, expected", [
    (None, 0.0, 0.0), ("not a number", 5, DEFAULT), (math.nan, None, DEFAULT),
    (math.inf, 0.0, 0.0), ("-inf", [], DEFAULT), ("3", 0.0, 3.0), (True, 0.0, 1.0),
    (4, 0.0, 4.0), (FloatSub(1.5), 0.0, 1.5), (object(), "d", DEFAULT),
])
def test_tracking_metric(ss, value, default, expected):
    result = ss._tracking_metric(value, default)
    if expected is DEFAULT:
        assert result is default
    else:
        assert result == expected and type(result) is float


@pytest.mark.parametrize("value, error", [(HUGE, OverflowError), (BadFloat(), RuntimeError)])
def test_tracking_metric_lets_other_errors_through(ss, value, error):
    with pytest.raises(error):
        ss._tracking_metric(value)


@pytest.mark.parametrize("value, expected", [
    (True, False), (0, True), (-0.5, True), (math.inf, True), (-math.inf, True),
    (math.nan, False), ("0.5", False), (None, False), (HUGE, False), (FloatSub(0.5), False),
    (type("IntSub", (int,), {})(1), False),
])
def test_is_mi_score(ss, value, expected):
    assert ss._is_mi_score(value) is expected


class Evaluator:
    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return SimpleNamespace(passed="verdict")


@pytest.mark.parametrize("gate, metric_key, threshold_key", [
    ("_pnl_mi_gate_passed", "is_pnl_mi", "is_pnl_mi_threshold"),
    ("_correlation_gate_passed", "is_correlation", "is_correlation_threshold"),
])
def test_named_gates_call_the_evaluator_of_the_namespace(ss, gate, metric_key, threshold_key):
    ss.evaluate_threshold_gates = evaluator = Evaluator()
    assert getattr(ss, gate)(0.2, None) == "verdict"
    (args, kwargs), = evaluator.calls
    assert args == () and list(kwargs) == ["metrics", "threshold_set", "pool_thresholds"]
    assert kwargs["metrics"] == {metric_key: 0.2}
    assert kwargs["pool_thresholds"] == {threshold_key: None}
    assert kwargs["threshold_set"] is ss._POOL_METRIC_THRESHOLD_SET
    assert ss._POOL_METRIC_THRESHOLD_SET["bypassed_thresholds"] is ss.SCALAR_THRESHOLD_FIELDS


@pytest.mark.parametrize("gate, value, threshold, passed", [
    ("_pnl_mi_gate_passed", 0.2, 0.1, True), ("_pnl_mi_gate_passed", 0.05, 0.1, False),
    ("_correlation_gate_passed", 0.5, 0.7, True), ("_correlation_gate_passed", 0.9, 0.7, False),
])
def test_named_gates_with_the_sibling_evaluator(ss, gate, value, threshold, passed):
    assert getattr(ss, gate)(value, threshold) is passed


def bt_stats(**overrides):
    fields = dict(avg_turnover=0.3, delta_exposure=0.1, max_weight=0.05,
                  liquidity_metrics={"adv": 1.0}, custom_stats=None)
    return SimpleNamespace(**{**fields, **overrides})


@pytest.fixture
def primary_pnl(ss, monkeypatch):
    seen = []
    monkeypatch.setattr(ss, "_primary_evaluation_pnl_column",
                        lambda cfg: seen.append(cfg) or "pnl", raising=False)
    return seen


def test_build_tracking_stats(ss, primary_pnl):
    era_config = {"evaluated_pnl_columns": ["pnl"]}
    source = bt_stats(avg_turnover="0.5")
    pcs = {"pnl_sharpe": 1.25, "pnl_returns": math.nan, "pnl_drawdown": "0.2",
           "pnl_quality_score": 3, "pnl_correlation": 0.9, "x_sharpe": 9.0}
    stats = ss._build_tracking_stats(source, pcs, era_config)
    assert type(stats) is BacktestStats and primary_pnl == [era_config]
    assert list(vars(stats).items()) == [
        ("sharpe", 1.25), ("returns", 0.0), ("turnover", 0.5), ("drawdown", 0.2),
        ("delta_exposure", 0.1), ("max_weight", 0.05), ("quality_score", 3.0),
        ("correlation", 0.0), ("liquidity_metrics", {"adv": 1.0}), ("custom_stats", {})]
    assert stats.liquidity_metrics is not source.liquidity_metrics


@pytest.mark.parametrize("pcs", [None, {}])
def test_build_tracking_stats_without_per_column_stats(ss, primary_pnl, pcs):
    stats = ss._build_tracking_stats(bt_stats(liquidity_metrics={}), pcs, {})
    assert (stats.sharpe, stats.returns, stats.drawdown, stats.quality_score) == (0.0,) * 4
    assert stats.liquidity_metrics == {} and stats.liquidity_metrics is not stats.custom_stats


@pytest.mark.parametrize("source, pcs, error", [
    (SimpleNamespace(avg_turnover=0.1), None, AttributeError),
    (bt_stats(max_weight=HUGE), None, OverflowError),
    (bt_stats(), ["not a mapping"], AttributeError),
    (bt_stats(custom_stats=[1, 2]), None, TypeError),
])
def test_build_tracking_stats_errors_propagate(ss, primary_pnl, source, pcs, error):
    with pytest.raises(error):
        ss._build_tracking_stats(source, pcs, {})
