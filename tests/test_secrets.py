"""The wallet secret from get_wallet_secret() reaches the vault and the
reconstruction set-up and nothing else: no log record (of any logger, at
DEBUG), no status message or phase, no result, no tracking payload, no repr
and no attribute of the handle, however the run ends."""
import gc
import logging
import types

import pytest

import doubles as d
from doubles import StatusLog, Wiring, start, wait_done


class OpaqueSecret:
    """A secret that is no string: found by identity, or by its text."""

    TEXT = "opaque-secret-51c0de"

    def __repr__(self):
        return f"OpaqueSecret({self.TEXT!r})"

    def __str__(self):
        return self.TEXT


SECRETS = {"str": lambda: d.WALLET_SECRET, "object": OpaqueSecret}


# ---------------------------------------------------------------------------
# Where the secret is looked for

SKIPPED = (types.ModuleType, type, types.FunctionType, types.BuiltinFunctionType,
           types.CodeType, types.FrameType, types.TracebackType)


def holds(obj, secret, seen):
    """Whether ``obj``, walked through every reference it keeps, holds the
    secret or its text. Modules, classes, functions and frames are not
    entered: they are the program, not the data it kept."""
    if obj is secret:
        return True
    if isinstance(obj, (str, bytes, bytearray)):
        text = str(secret)
        return (text if isinstance(obj, str) else text.encode()) in obj
    if isinstance(obj, SKIPPED) or id(obj) in seen:
        return False
    seen.add(id(obj))
    return any(holds(child, secret, seen) for child in gc.get_referents(obj))


# ---------------------------------------------------------------------------
# How runs end: one scenario per path the secret could take out of the run

def fail(call, message=None):
    return lambda w: w.log.fail(call, RuntimeError(message or f"{call} failed"))


def answer(call, value):
    return lambda w: w.log.returns(call, value)


def cancelled(w):
    gate = w.log.block("backtester.run_backtest")
    w.after_start = lambda handle: (gate.wait_entered(), handle.cancel(), gate.release())


SCENARIOS = {  # name: (arrange(w), kind, Wiring options, init overrides, run keywords, phase)
    "signal": (None, "signal", {}, {}, {}, "complete"),
    "strategy, orchestrator": (None, "strategy", {"route": "orchestrator"}, {}, {}, "complete"),
    "era vault hook": (None, "signal", {"era_vault_hook": True}, {}, {}, "complete"),
    "vault already initialized": (fail("vault.initialize", "vault already initialized"),
                                  "signal", {}, {}, {}, "complete"),
    "phase callback fails": (fail("set_phase"), "signal", {}, {}, {}, "complete"),
    "thresholds, diagnostics": (
        lambda w: w.backtester.result.per_column_stats.update(pnl_sharpe=0.2), "signal", {}, {},
        {"fail_fast": False}, "complete"),
    "MI unavailable": (None, "signal", {}, {"compute_mi_per_pool": None}, {}, "complete"),
    "vault error": (fail("vault.initialize"), "signal", {}, {}, {}, "error"),
    "reconstruction error": (fail("backtester.init_reconstruction"), "strategy", {}, {}, {},
                             "error"),
    "validator bootstrap error": (None, "signal", {}, {
        "graph_validator": None, "load_vocabulary": None, "vocabulary_raw": 7}, {}, "error"),
    "cancelled": (cancelled, "signal", {}, {}, {}, "cancelled"),
}


def everything_seen(ss, w, handle, records, statuses):
    """(where, value) pairs of what the run let out."""
    seen = [("status", handle.status()), ("repr(handle)", repr(handle)),
            ("handle.__dict__", vars(handle))]
    try:
        result = handle.result()
        seen += [("result", result), ("repr(result)", repr(result))]
    except BaseException as exc:  # noqa: B902 - the run's error is looked at too
        seen += [("error", exc), ("str(error)", str(exc)), ("repr(error)", repr(exc))]
    # The module state that runs write (collaborators aside: they record
    # their calls, the secret included).
    seen += [(name, getattr(ss, name)) for name in (
        "_vocabulary", "_vocabulary_raw", "_sync_result_cache", "_sync_exception_cache")]
    seen += [("status message", u[2]) for u in statuses.updates]
    seen += [("set_phase", c.args) for c in w.log.of("set_phase")]
    seen += [("tracking payload", (c.args, c.kwargs)) for c in w.log.calls
             if c.name.startswith("search_tracker.")]
    for record in records:
        seen += [(f"log {record.name}", record.getMessage())]
        if record.exc_info:
            seen += [(f"log {record.name}", logging.Formatter().formatException(record.exc_info))]
        seen += [(f"log {record.name} {k}", v) for k, v in vars(record).items()
                 if k not in ("exc_info", "msg")]
    return seen


@pytest.mark.parametrize("secret_kind", SECRETS)
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_secret_stays_in_the_setup_calls(ss, monkeypatch, caplog, secret_kind, scenario):
    caplog.set_level(logging.DEBUG)     # every logger that propagates to the root
    caplog.set_level(logging.DEBUG, logger="tallowmere.simulate_signal")
    arrange, kind, wiring, wire, run_kwargs, phase = SCENARIOS[scenario]
    secret = SECRETS[secret_kind]()
    w = Wiring(**wiring)
    w.auth.get_wallet_secret = d.recorder(w.log, "auth.get_wallet_secret", secret)
    w.after_start = lambda handle: None
    if arrange:
        arrange(w)
    w.wire(ss, **wire)
    statuses = StatusLog(monkeypatch, ss)
    handle = start(ss, kind, **run_kwargs)
    w.after_start(handle)
    assert wait_done(handle).status().phase == phase
    for where, value in everything_seen(ss, w, handle, caplog.records, statuses):
        assert not holds(value, secret, set()), f"the wallet secret shows in {where}"
    # The secret did reach the set-up calls that need it.
    given = [c for c in w.log.calls if c.name in (
        "vault.initialize", "backtester.initialize_era_vault", "backtester.init_reconstruction")]
    assert given
    for call in given:
        assert secret in call.args or call.kwargs.get("wallet_secret") is secret
