"""Stand-in: scalar threshold gates.

A threshold set maps metric names to a rule: ``{"min": x}`` or ``{"max": x}``.
``pool_thresholds`` (when given) override the default rules per metric; a key
``<metric>_threshold`` (the pool gates: ``is_correlation``, ``is_pnl_mi``) holds
a bare threshold for that metric.
Fields listed under ``threshold_set["bypassed_thresholds"]`` are not judged.
"""
from dataclasses import dataclass, field

SCALAR_THRESHOLD_FIELDS = frozenset({"sharpe", "turnover", "max_drawdown", "fitness"})

DEFAULT_THRESHOLDS = {
    "sharpe": {"min": 1.0},
    "turnover": {"max": 0.7},
    "max_drawdown": {"max": 0.5},
    "fitness": {"min": 0.5},
}


@dataclass
class ThresholdGateResult:
    passed: bool
    failures: list = field(default_factory=list)


def _metric(metrics, name):
    if isinstance(metrics, dict):
        return metrics.get(name)
    return getattr(metrics, name, None)


def _pool_metric_rule(metric, threshold):
    """A pool-metric threshold ("<metric>_threshold"): correlation must stay at
    most its threshold, any other metric (PnL MI) reach at least its own."""
    if threshold is None:
        return {}
    if isinstance(threshold, dict):
        return {metric: threshold}
    return {metric: {"max": threshold} if metric == "is_correlation" else {"min": threshold}}


def evaluate_threshold_gates(metrics=None, threshold_set=None, pool_thresholds=None):
    """Compare ``metrics`` with the thresholds; ``passed`` is the verdict."""
    rules = dict(DEFAULT_THRESHOLDS)
    for key, rule in (pool_thresholds or {}).items():
        if key.endswith("_threshold"):
            rules.update(_pool_metric_rule(key[:-len("_threshold")], rule))
        else:
            rules[key] = rule
    bypassed = set((threshold_set or {}).get("bypassed_thresholds", ()))
    failures = []
    for name, rule in rules.items():
        if name in bypassed and not pool_thresholds:
            continue
        value = _metric(metrics, name)
        if value is None:
            continue
        if not isinstance(rule, dict):
            rule = {"min": rule}
        if "min" in rule and value < rule["min"]:
            failures.append(name)
        if "max" in rule and value > rule["max"]:
            failures.append(name)
    return ThresholdGateResult(passed=not failures, failures=failures)
