"""Stand-in: gate verdict records."""
from dataclasses import dataclass


@dataclass(frozen=True)
class Verdict:
    evaluated: bool
    passed: object = None
    reason: object = None
    value: object = None
    threshold: object = None


def gate_verdict(passed, reason=None, *, value=None, threshold=None):
    return Verdict(True, bool(passed), reason, value, threshold)


def not_evaluated_verdict():
    return Verdict(False)
