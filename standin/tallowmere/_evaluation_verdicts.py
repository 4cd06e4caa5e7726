"""Stand-in: gate verdict records.

A verdict says whether its gate ran (``evaluated``), whether it passed, the
failure reason, and the metric judged with its value and its bound. The pool
gates pass value and bound in; a failed threshold verdict takes the first
metric that missed its bound in the latest scalar threshold evaluation on the
same thread (the verdict is made right after it).
"""
from dataclasses import dataclass
from numbers import Real

# Metric judged by the gate a failure reason names.
METRIC_OF_REASON = {"correlation": "correlation", "pnl_mi": "pnl_mi"}
LABELS = {"sharpe": "Sharpe", "pnl_mi": "PnL MI", "is_pnl_mi": "PnL MI",
          "is_correlation": "correlation"}


def label(name):
    return LABELS.get(name, str(name).replace("_", " "))


def _number(value):
    return f"{value:.2f}" if isinstance(value, Real) else repr(value)


@dataclass(frozen=True)
class Verdict:
    evaluated: bool
    passed: object = None
    reason: object = None
    metric: object = None
    value: object = None
    bound: object = None

    def __str__(self):
        """"Sharpe 0.97 < 1.00", "0.29 <= 0.70", "failed: invalid weights", ..."""
        if not self.evaluated:
            return "not evaluated"
        name = f"{label(self.metric)} " if self.metric is not None else ""
        if isinstance(self.value, Real) and isinstance(self.bound, Real):
            if self.passed:
                relation = "<=" if self.value <= self.bound else ">="
            else:
                relation = ("<" if self.value < self.bound else
                            ">" if self.value > self.bound else "==")
            return f"{name}{_number(self.value)} {relation} {_number(self.bound)}"
        if not self.passed and self.value is None and self.bound is not None:
            return f"{name}unavailable (bound {_number(self.bound)})"
        if self.passed:
            return "passed"
        return f"failed: {label(self.reason)}" if self.reason is not None else "failed"


def gate_verdict(passed, reason=None, *, value=None, threshold=None):
    metric = METRIC_OF_REASON.get(reason)
    if not passed and reason == "thresholds" and value is None and threshold is None:
        from tallowmere._threshold_gates import take_scalar_failures
        missed = take_scalar_failures()
        if missed:
            metric, value, threshold = missed[0]
    return Verdict(True, bool(passed), reason, metric, value, threshold)


def not_evaluated_verdict():
    return Verdict(False)
