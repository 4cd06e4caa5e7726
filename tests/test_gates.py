"""Metric gates and the tracking-stats bridge."""
import math
from types import SimpleNamespace

import pytest

import tallowmere._threshold_gates as threshold_gates
from tallowmere.search_tracking import BacktestStats

HUGE = 10 ** 400
SENTINEL = object()


class FloatSub(float):
    pass


class IntSub(int):
    pass


class BadFloat:
    def __float__(self):
        raise RuntimeError("no float for you")


class TestTrackingMetric:
    @pytest.mark.parametrize("value, kwargs, expected", [
        (None, {}, 0.0),
        ("not a number", {"default": 5}, 5),
        (math.nan, {"default": None}, None),
        (math.inf, {}, 0.0),
        (-math.inf, {"default": -1}, -1),
        ("nan", {"default": 7}, 7),
        ("-inf", {}, 0.0),
        ("3", {}, 3.0),
        (" 2.5 ", {}, 2.5),
        (True, {}, 1.0),
        (4, {}, 4.0),
        (FloatSub(1.5), {}, 1.5),
        (object(), {"default": SENTINEL}, SENTINEL),
    ])
    def test_values(self, ss, value, kwargs, expected):
        result = ss._tracking_metric(value, **kwargs)
        if expected is None or expected is SENTINEL:
            assert result is expected
        else:
            assert result == expected
            assert type(result) is type(expected)

    def test_default_is_returned_unconverted(self, ss):
        default = ["kept"]
        assert ss._tracking_metric("x", default) is default

    @pytest.mark.parametrize("value, error", [(HUGE, OverflowError), (BadFloat(), RuntimeError)])
    def test_other_errors_propagate(self, ss, value, error):
        with pytest.raises(error):
            ss._tracking_metric(value)

    def test_math_is_read_from_the_namespace(self, ss):
        ss.math = SimpleNamespace(isfinite=lambda x: False, isnan=math.isnan)
        assert ss._tracking_metric(1.0, "replaced") == "replaced"


class TestIsMiScore:
    @pytest.mark.parametrize("value, expected", [
        (True, False), (False, False),
        (0, True), (-3, True), (-0.5, True), (0.0, True),
        (math.inf, True), (-math.inf, True), (math.nan, False),
        ("0.5", False), (None, False), (HUGE, False), (-HUGE, False),
        (FloatSub(0.5), False), (IntSub(1), False),
    ])
    def test_values(self, ss, value, expected):
        assert ss._is_mi_score(value) is expected

    def test_other_errors_propagate(self, ss):
        def isnan(x):
            raise RuntimeError("boom")
        ss.math = SimpleNamespace(isnan=isnan)
        with pytest.raises(RuntimeError):
            ss._is_mi_score(0.5)


class Evaluator:
    """Records the keyword calls of evaluate_threshold_gates."""

    def __init__(self, passed=True):
        self.calls = []
        self.passed = passed

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return SimpleNamespace(passed=self.passed)


class TestPoolMetricGates:
    def test_pool_metric_gate_passed_calls_the_evaluator_by_keyword(self, ss):
        ss.evaluate_threshold_gates = evaluator = Evaluator(passed="opaque verdict")
        metrics, thresholds = {"m": 1}, {"m_threshold": 2}
        assert ss._pool_metric_gate_passed(metrics, thresholds) == "opaque verdict"
        (args, kwargs), = evaluator.calls
        assert args == ()
        assert list(kwargs) == ["metrics", "threshold_set", "pool_thresholds"]
        assert kwargs["metrics"] is metrics
        assert kwargs["pool_thresholds"] is thresholds
        assert kwargs["threshold_set"] is ss._POOL_METRIC_THRESHOLD_SET

    def test_threshold_set_is_read_at_each_call(self, ss):
        ss.evaluate_threshold_gates = evaluator = Evaluator()
        ss._POOL_METRIC_THRESHOLD_SET = replaced = {"bypassed_thresholds": ()}
        ss._pool_metric_gate_passed({}, {})
        assert evaluator.calls[0][1]["threshold_set"] is replaced

    def test_threshold_set_bypasses_every_scalar_field(self, ss):
        assert ss._POOL_METRIC_THRESHOLD_SET == {
            "bypassed_thresholds": threshold_gates.SCALAR_THRESHOLD_FIELDS}
        assert (ss._POOL_METRIC_THRESHOLD_SET["bypassed_thresholds"]
                is ss.SCALAR_THRESHOLD_FIELDS)

    def test_result_without_passed_raises_attribute_error(self, ss):
        ss.evaluate_threshold_gates = lambda **kw: object()
        with pytest.raises(AttributeError):
            ss._pool_metric_gate_passed({}, {})

    def test_evaluator_errors_propagate(self, ss):
        def evaluator(**kwargs):
            raise KeyError("threshold")
        ss.evaluate_threshold_gates = evaluator
        with pytest.raises(KeyError):
            ss._pnl_mi_gate_passed(0.2, 0.1)

    @pytest.mark.parametrize("gate, metric_key, threshold_key", [
        ("_pnl_mi_gate_passed", "is_pnl_mi", "is_pnl_mi_threshold"),
        ("_correlation_gate_passed", "is_correlation", "is_correlation_threshold"),
    ])
    @pytest.mark.parametrize("value, threshold", [(0.2, 0.1), (None, None)])
    def test_named_gates_build_one_entry_dicts(self, ss, gate, metric_key, threshold_key,
                                               value, threshold):
        ss.evaluate_threshold_gates = evaluator = Evaluator(passed=False)
        assert getattr(ss, gate)(value, threshold) is False
        (_, kwargs), = evaluator.calls
        assert kwargs["metrics"] == {metric_key: value}
        assert kwargs["pool_thresholds"] == {threshold_key: threshold}
        assert kwargs["threshold_set"] is ss._POOL_METRIC_THRESHOLD_SET

    @pytest.mark.parametrize("gate", ["_pnl_mi_gate_passed", "_correlation_gate_passed"])
    def test_named_gates_go_through_the_namespace_positionally(self, ss, gate):
        calls = []
        ss._pool_metric_gate_passed = lambda *args, **kwargs: calls.append((args, kwargs)) or 9
        assert getattr(ss, gate)(1, 2) == 9
        (args, kwargs), = calls
        assert len(args) == 2 and kwargs == {}

    @pytest.mark.parametrize("gate, value, threshold, passed", [
        ("_pnl_mi_gate_passed", 0.2, 0.1, True),
        ("_pnl_mi_gate_passed", 0.05, 0.1, False),
        ("_correlation_gate_passed", 0.5, 0.7, True),
        ("_correlation_gate_passed", 0.9, 0.7, False),
    ])
    def test_with_the_sibling_evaluator(self, ss, gate, value, threshold, passed):
        assert getattr(ss, gate)(value, threshold) is passed


# ---------------------------------------------------------------------------
# Tracking stats

def bt_stats(**overrides):
    fields = dict(avg_turnover=0.3, delta_exposure=0.1, max_weight=0.05,
                  liquidity_metrics={"adv": 1.0}, custom_stats={"k": 2})
    fields.update(overrides)
    return SimpleNamespace(**fields)


@pytest.fixture
def primary_column(ss, monkeypatch):
    """The primary PnL column is "pnl"; records the era configs asked about."""
    seen = []

    def primary(era_config):
        seen.append(era_config)
        return "pnl"
    monkeypatch.setattr(ss, "_primary_evaluation_pnl_column", primary, raising=False)
    return seen


class TestBuildTrackingStats:
    def test_fields(self, ss, primary_column):
        era_config = {"evaluated_pnl_columns": ["pnl"]}
        pcs = {"pnl_sharpe": 1.25, "pnl_returns": math.nan, "pnl_drawdown": "0.2",
               "pnl_quality_score": 3, "other_sharpe": 9.0}
        stats = ss._build_tracking_stats(bt_stats(avg_turnover="0.5"), pcs, era_config)
        assert type(stats) is BacktestStats
        assert vars(stats) == dict(
            sharpe=1.25, returns=0.0, turnover=0.5, drawdown=0.2, delta_exposure=0.1,
            max_weight=0.05, quality_score=3.0, correlation=0.0,
            liquidity_metrics={"adv": 1.0}, custom_stats={"k": 2})
        assert primary_column == [era_config]

    @pytest.mark.parametrize("pcs", [None, {}])
    def test_no_per_column_stats(self, ss, primary_column, pcs):
        stats = ss._build_tracking_stats(bt_stats(), pcs, {})
        assert (stats.sharpe, stats.returns, stats.drawdown, stats.quality_score) == (0.0,) * 4

    def test_keyword_construction_in_order(self, ss, primary_column):
        calls = []
        ss._TrackingStats = lambda *args, **kwargs: calls.append((args, kwargs))
        ss._build_tracking_stats(bt_stats(), {}, {})
        (args, kwargs), = calls
        assert args == ()
        assert list(kwargs) == ["sharpe", "returns", "turnover", "drawdown", "delta_exposure",
                                "max_weight", "quality_score", "correlation",
                                "liquidity_metrics", "custom_stats"]

    @pytest.mark.parametrize("mapping", [None, {}, ()])
    def test_empty_mappings_become_new_dicts(self, ss, primary_column, mapping):
        stats = ss._build_tracking_stats(
            bt_stats(liquidity_metrics=mapping, custom_stats=mapping), None, {})
        assert stats.liquidity_metrics == {} and type(stats.liquidity_metrics) is dict
        assert stats.custom_stats == {} and stats.custom_stats is not stats.liquidity_metrics

    def test_mappings_are_copied(self, ss, primary_column):
        source = bt_stats()
        stats = ss._build_tracking_stats(source, None, {})
        assert stats.liquidity_metrics == source.liquidity_metrics
        assert stats.liquidity_metrics is not source.liquidity_metrics
        assert stats.custom_stats is not source.custom_stats

    def test_correlation_is_always_zero(self, ss, primary_column):
        stats = ss._build_tracking_stats(bt_stats(), {"pnl_correlation": 0.9}, {})
        assert stats.correlation == 0.0

    def test_primary_column_is_formatted_as_text(self, ss, monkeypatch):
        monkeypatch.setattr(ss, "_primary_evaluation_pnl_column", lambda cfg: 5, raising=False)
        assert ss._build_tracking_stats(bt_stats(), {"5_sharpe": 2}, {}).sharpe == 2.0

    def test_tracking_metric_is_read_from_the_namespace(self, ss, primary_column):
        ss._tracking_metric = lambda value, default=0.0: "seen"
        stats = ss._build_tracking_stats(bt_stats(), None, {})
        assert stats.sharpe == stats.turnover == stats.max_weight == "seen"

    @pytest.mark.parametrize("source, pcs, error", [
        (SimpleNamespace(avg_turnover=0.1), None, AttributeError),
        (bt_stats(max_weight=HUGE), None, OverflowError),
        (bt_stats(), {"pnl_sharpe": HUGE}, OverflowError),
        (bt_stats(), ["not", "a", "mapping"], AttributeError),
        (bt_stats(custom_stats=[1, 2]), None, TypeError),
    ])
    def test_errors_propagate(self, ss, primary_column, source, pcs, error):
        with pytest.raises(error):
            ss._build_tracking_stats(source, pcs, {})
