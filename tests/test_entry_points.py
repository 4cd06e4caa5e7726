"""simulate_signal / simulate_strategy: validation on the caller's thread,
what they hand to the handle, and the published signatures."""
import inspect
import threading

import pytest

import doubles as d
from doubles import Wiring, collect


class RecordingHandle:
    """Stands in for SimulationHandle to capture the constructor's keywords."""

    def __init__(self, *args, **kwargs):
        self.args = args
        self.kwargs = kwargs


@pytest.fixture
def wired(ss):
    return Wiring().wire(ss)


@pytest.fixture
def handle_cls(ss, monkeypatch):
    monkeypatch.setattr(ss, "SimulationHandle", RecordingHandle)
    return RecordingHandle


ENTRY_POINTS = [
    ("simulate_signal", "signal_pool_id", d.signal_graph, d.SIGNAL_POOL_ID, "SIGNAL", "signal"),
    ("simulate_strategy", "strategy_pool_id", d.strategy_graph, d.STRATEGY_POOL_ID, "STRATEGY",
     "strategy"),
]


@pytest.mark.parametrize("fn_name, pool_field, graph, pool_id, expression_type, kind",
                         ENTRY_POINTS)
class TestHandOff:
    def test_every_argument_by_keyword(self, ss, wired, handle_cls, fn_name, pool_field, graph,
                                       pool_id, expression_type, kind):
        meta = {"normalize": "rank"}
        handle = getattr(ss, fn_name)(graph(), "u1", **{pool_field: pool_id},
                                      metaparameters=meta, include_correlation=False,
                                      include_mi=0, record=None, return_series=1,
                                      return_weights="yes", fail_fast=False)
        assert handle.args == ()
        kwargs = handle.kwargs
        assert list(kwargs) == ["graph", "named_universe", "expression_type", "metaparameters",
                                "include_correlation", "include_mi", "record", "return_series",
                                "return_weights", "selected_pool_id", "selected_pool_kind",
                                "fail_fast"]
        assert isinstance(kwargs["graph"], d.FunctionGraphNode)
        assert kwargs["named_universe"] == "u1"
        assert kwargs["expression_type"] == expression_type
        assert kwargs["metaparameters"] is meta
        assert kwargs["include_correlation"] is False and kwargs["include_mi"] == 0
        assert kwargs["record"] is None and kwargs["return_series"] == 1
        assert kwargs["return_weights"] == "yes" and kwargs["fail_fast"] is False
        assert kwargs["selected_pool_id"] == pool_id
        assert kwargs["selected_pool_kind"] == kind

    def test_named_universe_positional_or_keyword_or_resolved(
            self, ss, wired, handle_cls, fn_name, pool_field, graph, pool_id, expression_type,
            kind):
        fn = getattr(ss, fn_name)
        assert fn(graph(), " u1 ", **{pool_field: pool_id}).kwargs["named_universe"] == "u1"
        assert fn(graph(), named_universe="u1",
                  **{pool_field: pool_id}).kwargs["named_universe"] == "u1"
        # No explicit universe: the selected pool's allowed universes supply it.
        assert fn(graph(), **{pool_field: pool_id}).kwargs["named_universe"] == "u1"

    def test_plain_graph_is_converted(self, ss, wired, handle_cls, fn_name, pool_field, graph,
                                      pool_id, expression_type, kind):
        raw = {"type": "rotation", "node": "rank",
               "children": [{"type": "feature", "node": "close"}]}
        typed = getattr(ss, fn_name)(raw, "u1", **{pool_field: pool_id}).kwargs["graph"]
        assert isinstance(typed, d.FunctionGraphNode)
        assert typed.children[0].node == "close"

    @pytest.mark.parametrize("bad_pool_id", [None, "", 7, ["sp1"]])
    def test_pool_id_required_on_callers_thread(self, ss, wired, fn_name, pool_field, graph,
                                                pool_id, expression_type, kind, bad_pool_id):
        threads_before = threading.active_count()
        with pytest.raises(ValueError) as info:
            getattr(ss, fn_name)(graph(), "u1", **{pool_field: bad_pool_id})
        assert str(info.value) == f"{pool_field} must be a non-empty string"
        assert threading.active_count() == threads_before
        assert wired.log.calls == []

    def test_market_and_era_are_accepted_and_ignored(self, ss, wired, fn_name, pool_field,
                                                     graph, pool_id, expression_type, kind):
        handle = getattr(ss, fn_name)(graph(), "u1", market_id=99, era_number=3,
                                      **{pool_field: pool_id})
        result = collect(handle)
        assert result.passed is True
        assert handle.status().era_number == d.ERA_NUMBER


@pytest.mark.parametrize("call, exc_type, message", [
    (lambda ss: ss.simulate_signal({"type": "aggregation", "node": "sum"}, "u1",
                                   signal_pool_id="sp1"),
     ValueError, "graph node type 'aggregation' is not allowed"),
    (lambda ss: ss.simulate_signal(d.signal_graph(), "../u1", signal_pool_id="sp1"),
     ValueError, "named_universe must be a single safe path segment, got '../u1'"),
    (lambda ss: ss.simulate_signal(d.signal_graph(), "u1", "extra-positional"),
     TypeError, "simulate_signal() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda ss: ss.simulate_strategy(d.strategy_graph(), "u1", signal_pool_id="sp1"),
     TypeError, "simulate_strategy() got an unexpected keyword argument 'signal_pool_id'"),
])
def test_refusals_raise_before_any_thread(ss, call, exc_type, message):
    w = Wiring().wire(ss)
    threads_before = threading.active_count()
    with pytest.raises(exc_type) as info:
        call(ss)
    assert str(info.value) == message
    assert threading.active_count() == threads_before
    assert w.log.calls == []


def test_no_universe_anywhere_is_refused(ss, monkeypatch):
    cfg = d.era_config()
    for pool in cfg["signal_pools"]:
        del pool["allowed_named_universes"]
    del cfg["allowed_named_universes"], cfg["named_universe"]
    Wiring().wire(ss, era_config=cfg)
    with pytest.raises(ValueError, match="^named_universe is required; "):
        ss.simulate_signal(d.signal_graph(), signal_pool_id="sp1")


class TestSignatures:
    @pytest.mark.parametrize("fn_name, pool_field", [("simulate_signal", "signal_pool_id"),
                                                     ("simulate_strategy", "strategy_pool_id")])
    def test_published_signature(self, ss, fn_name, pool_field):
        sig = inspect.signature(getattr(ss, fn_name))
        assert str(sig) == (f"(graph, *, named_universe=None, {pool_field}, "
                            "metaparameters=None, include_correlation=True, include_mi=True, "
                            "record=True, return_series=False, return_weights=False, "
                            "fail_fast=True)")
        assert sig.return_annotation is inspect.Signature.empty
        assert getattr(ss, fn_name).__signature__ == sig

    def test_pool_v2_signature_builds_a_fresh_signature(self, ss):
        first = ss._pool_v2_signature("custom_pool")
        assert isinstance(first, inspect.Signature)
        assert first is not ss._pool_v2_signature("custom_pool")
        params = list(first.parameters.values())
        assert [p.name for p in params][:3] == ["graph", "named_universe", "custom_pool"]
        assert params[0].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in params[1:])
        assert params[2].default is inspect.Parameter.empty
        assert len(params) == 10

    @pytest.mark.parametrize("fn_name, summary", [
        ("simulate_signal", "Evaluate a signal expression graph. Returns SimulationHandle "
                            "immediately."),
        ("simulate_strategy", "Evaluate a strategy expression graph. Returns SimulationHandle "
                              "immediately."),
    ])
    def test_identity(self, ss, fn_name, summary):
        fn = getattr(ss, fn_name)
        assert fn.__doc__.splitlines()[0] == summary
        assert fn.__name__ == fn.__qualname__ == fn_name
        assert fn.__module__ == "tallowmere.simulate_signal"
