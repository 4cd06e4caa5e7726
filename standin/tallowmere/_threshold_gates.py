"""Stand-in: scalar threshold gates.

A threshold set maps metric names to a rule: ``{"min": x}`` or ``{"max": x}``
(a bare number is a minimum); its rules override the default ones.
``pool_thresholds`` (when given) override the rules per metric; a key
``<metric>_threshold`` (the pool gates: ``is_correlation``, ``is_pnl_mi``) holds
a bare threshold for that metric.
Fields listed under ``threshold_set["bypassed_thresholds"]`` are not judged.

The failing metrics of the latest scalar evaluation (no ``pool_thresholds``)
on a thread are kept for that thread, so that the verdict made next can say
which bound was missed (``take_scalar_failures``).
"""
import threading
from dataclasses import dataclass, field

SCALAR_THRESHOLD_FIELDS = frozenset({"sharpe", "turnover", "max_drawdown", "fitness"})

DEFAULT_THRESHOLDS = {
    "sharpe": {"min": 1.0},
    "turnover": {"max": 0.7},
    "max_drawdown": {"max": 0.5},
    "fitness": {"min": 0.5},
}

_latest_scalar = threading.local()


@dataclass
class ThresholdGateResult:
    passed: bool
    failures: list = field(default_factory=list)


def take_scalar_failures():
    """[(metric, value, bound)] missed by the latest scalar evaluation on this
    thread, in rule order; cleared by the call."""
    failures = getattr(_latest_scalar, "failures", [])
    _latest_scalar.failures = []
    return failures


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
    rules.update((name, rule) for name, rule in (threshold_set or {}).items()
                 if name != "bypassed_thresholds")
    for key, rule in (pool_thresholds or {}).items():
        if key.endswith("_threshold"):
            rules.update(_pool_metric_rule(key[:-len("_threshold")], rule))
        else:
            rules[key] = rule
    bypassed = set((threshold_set or {}).get("bypassed_thresholds", ()))
    missed = []
    for name, rule in rules.items():
        if name in bypassed and not pool_thresholds:
            continue
        value = _metric(metrics, name)
        if value is None:
            continue
        if not isinstance(rule, dict):
            rule = {"min": rule}
        if "min" in rule and value < rule["min"]:
            missed.append((name, value, rule["min"]))
        if "max" in rule and value > rule["max"]:
            missed.append((name, value, rule["max"]))
    if pool_thresholds is None:
        _latest_scalar.failures = missed
    return ThresholdGateResult(passed=not missed, failures=[name for name, _, _ in missed])
