"""The wallet secret from get_wallet_secret() reaches the vault and the
reconstruction set-up and nothing else: no log record (of any logger, at
DEBUG), no status message or phase, no result, no tracking payload, no repr
and no attribute of the handle, however the run ends."""
import logging
import math
import types

import pytest

import doubles as d
from doubles import StatusLog, Wiring, wait_done
from pipeline_support import cancel_during, start


class OpaqueSecret:
    """A secret that is no string: found by identity, or by its text."""

    TEXT = "opaque-secret-51c0de"

    def __repr__(self):
        return f"OpaqueSecret({self.TEXT!r})"

    def __str__(self):
        return self.TEXT


SECRETS = {"str": lambda: d.WALLET_SECRET, "object": OpaqueSecret}


class Fault(Exception):
    pass


# ---------------------------------------------------------------------------
# Where the secret is looked for

SKIPPED = (types.ModuleType, type, types.FunctionType, types.BuiltinFunctionType,
           types.CodeType, types.FrameType, types.TracebackType)


def find(obj, secret, path="", seen=None):
    """The path of the first place in ``obj`` (walked deeply) that holds the
    secret or its text, else None. Modules, classes, functions and frames are
    not entered: they are the program, not the data it kept."""
    seen = set() if seen is None else seen
    text = str(secret)
    if obj is secret:
        return path or "<itself>"
    if isinstance(obj, str):
        return path if text in obj else None
    if isinstance(obj, (bytes, bytearray)):
        return path if text.encode() in obj else None
    if obj is None or isinstance(obj, (bool, int, float, complex, SKIPPED)) or id(obj) in seen:
        return None
    seen.add(id(obj))
    children = []
    if isinstance(obj, dict):
        children = [(f"{path}[{k!r}]", v) for k, v in obj.items()]
        children += [(f"{path}<key>", k) for k in obj]
    elif isinstance(obj, (list, tuple, set, frozenset)):
        children = [(f"{path}[{i}]", v) for i, v in enumerate(obj)]
    elif isinstance(obj, types.MethodType):
        children = [(f"{path}.__self__", obj.__self__)]
    else:
        if isinstance(obj, BaseException):
            children += [(f"{path}.args", obj.args), (f"{path}.__cause__", obj.__cause__),
                         (f"{path}.__context__", obj.__context__),
                         (f"{path}.__notes__", getattr(obj, "__notes__", None))]
        children += [(f"{path}.{k}", v) for k, v in getattr(obj, "__dict__", {}).items()]
        for cls in type(obj).__mro__:
            for slot in getattr(cls, "__slots__", ()):
                if isinstance(slot, str) and hasattr(obj, slot):
                    children.append((f"{path}.{slot}", getattr(obj, slot)))
    for child_path, child in children:
        found = find(child, secret, child_path, seen)
        if found is not None:
            return found
    return None


class Records(logging.Handler):
    """Every record of every logger that propagates to the root, at DEBUG."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []
        self._formatter = logging.Formatter()

    def emit(self, record):
        self.records.append(record)

    def texts(self, record):
        yield record.getMessage()
        if record.exc_info:
            yield self._formatter.formatException(record.exc_info)


@pytest.fixture
def records(monkeypatch):
    handler = Records()
    root = logging.getLogger()
    monkeypatch.setattr(root, "level", logging.DEBUG)
    monkeypatch.setattr(logging.getLogger("tallowmere.simulate_signal"), "level",
                        logging.DEBUG)
    root.addHandler(handler)
    yield handler
    root.removeHandler(handler)


# ---------------------------------------------------------------------------
# How runs end

def passing(w):
    pass


def structural_failure(w):
    w.backtester.result = d.BacktestResult(structural_failed=True)


def threshold_failure(w):
    w.backtester.result.per_column_stats["pnl_sharpe"] = 0.2


def correlation_failure(w):
    w.log.returns("correlate_per_pool", 0.95)


def mi_failure(w):
    w.log.returns("compute_mi_per_pool", (0.01, False))


def mi_unavailable(w):
    w.log.returns("compute_mi_per_pool", (math.nan, True))


def failing(call):
    def arrange(w):
        w.log.fail(call, Fault(f"{call} failed"))
    return arrange


def era_change(w):
    w.era_thread.current_era = d.ERA_NUMBER + 1


def set_phase_failure(w):
    w.log.fail("set_phase", Fault("phase sink failed"))


def vault_error_swallowed(w):
    w.log.fail("vault.initialize", Fault("vault already initialized"))


# (scenario, kind, Wiring options, init overrides, entry-point keywords, outcome)
SCENARIOS = [
    ("pass", passing, "signal", {}, {}, {}, "complete"),
    ("pass strategy", passing, "strategy", {}, {}, {}, "complete"),
    ("pass orchestrator", passing, "signal", {"route": "orchestrator"}, {}, {}, "complete"),
    ("pass era vault hook", passing, "signal", {"era_vault_hook": True}, {}, {}, "complete"),
    ("pass guard", passing, "signal", {"guard": True}, {}, {}, "complete"),
    ("vault already initialized", vault_error_swallowed, "signal", {}, {}, {}, "complete"),
    ("phase callback fails", set_phase_failure, "signal", {}, {}, {}, "complete"),
    ("invalid weights", structural_failure, "signal", {}, {}, {}, "complete"),
    ("thresholds", threshold_failure, "signal", {}, {}, {}, "complete"),
    ("thresholds diagnostics", threshold_failure, "signal", {}, {}, {"fail_fast": False},
     "complete"),
    ("correlation", correlation_failure, "signal", {}, {}, {}, "complete"),
    ("pnl mi", mi_failure, "strategy", {}, {}, {}, "complete"),
    ("pnl mi unavailable", mi_unavailable, "signal", {}, {}, {}, "complete"),
    ("vault error", failing("vault.initialize"), "signal", {}, {}, {}, "error"),
    ("era vault hook error", failing("backtester.initialize_era_vault"), "signal",
     {"era_vault_hook": True}, {}, {}, "error"),
    ("reconstruction error", failing("backtester.init_reconstruction"), "signal", {}, {}, {},
     "error"),
    ("evaluation error", failing("backtester.evaluate_expression"), "signal", {}, {}, {},
     "error"),
    ("backtest error", failing("backtester.run_backtest"), "strategy", {}, {}, {}, "error"),
    ("bootstrap error", passing, "signal", {}, {"graph_validator": None, "load_vocabulary": None,
                                            "vocabulary_raw": 7},
     {}, "error"),
    ("era change", era_change, "signal", {}, {}, {}, "error"),
]


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
    for record in records.records:
        seen += [(f"log {record.name}", text) for text in records.texts(record)]
        seen += [(f"log {record.name} args", record.args)]
        seen += [(f"log {record.name} {k}", v) for k, v in vars(record).items()
                 if k not in ("args", "exc_info", "msg")]
    return seen


def assert_secret_kept(ss, w, handle, records, statuses, secret):
    for where, value in everything_seen(ss, w, handle, records, statuses):
        found = find(value, secret)
        assert found is None, f"the wallet secret shows in {where}{found}"
    # The secret did reach the set-up calls that need it.
    given = [c for c in w.log.calls if c.name in (
        "vault.initialize", "backtester.initialize_era_vault", "backtester.init_reconstruction")]
    assert given
    for call in given:
        assert secret in call.args or call.kwargs.get("wallet_secret") is secret


@pytest.mark.parametrize("secret_kind", SECRETS)
@pytest.mark.parametrize("name, arrange, kind, wiring, wire, run_kwargs, outcome", SCENARIOS,
                         ids=[s[0] for s in SCENARIOS])
def test_secret_stays_in_the_setup_calls(ss, monkeypatch, records, secret_kind, name, arrange,
                                         kind, wiring, wire, run_kwargs, outcome):
    secret = SECRETS[secret_kind]()
    w = Wiring(**wiring)
    w.auth._default_get_wallet_secret = secret
    arrange(w)
    w.wire(ss, **wire)
    statuses = StatusLog.install(monkeypatch, ss)
    handle = wait_done(start(ss, w, kind, **run_kwargs))
    assert handle.status().phase == outcome
    assert_secret_kept(ss, w, handle, records, statuses, secret)


@pytest.mark.parametrize("secret_kind", SECRETS)
def test_secret_stays_out_of_a_cancelled_run(ss, monkeypatch, records, secret_kind):
    secret = SECRETS[secret_kind]()
    w = Wiring()
    w.auth._default_get_wallet_secret = secret
    w.wire(ss)
    statuses = StatusLog.install(monkeypatch, ss)
    handle = cancel_during(ss, w, "backtester.run_backtest")
    assert handle.status().phase == "cancelled"
    assert_secret_kept(ss, w, handle, records, statuses, secret)
