"""Edges of the configuration and graph helpers that runs do not reach cheaply:
coercion and rule ids, signal references, named universes and their fall-backs,
pool thresholds, the simulation options of an era, the metric helpers, where
the typed graph classes come from, and the depth limits of the graph walks."""
import math
import sys
import types
from types import SimpleNamespace as NS

import pytest

from conftest import run_python
from doubles import Boom, hostile
from tallowmere.errors import SdkRuntimeNotReadyError
from tallowmere.functions._typed_shapes import FunctionGraphNode as N
from tallowmere.functions._typed_shapes import StageData

HUGE = 10 ** 400


@pytest.mark.parametrize("coerce, value, expected", [
    ("_coerce_era_number", 0, 0), ("_coerce_era_number", 2.9, 2), ("_coerce_era_number", "7", 7),
    ("_coerce_era_number", True, None), ("_coerce_era_number", -1, None),
    ("_coerce_market_id", 0, None), ("_coerce_market_id", " 7 ", 7),
    ("_coerce_int_rule_id", "\u0667", 7), ("_coerce_int_rule_id", "7.5", None),
    ("_coerce_int_rule_id", 7.0, None), ("_coerce_int_rule_id", "9" * 5000, None),
])
def test_coercion(ss, coerce, value, expected):
    result = getattr(ss, coerce)(value)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize("value, error", [(math.inf, OverflowError), (hostile("__int__")(), Boom)])
def test_coercion_lets_unexpected_errors_through(ss, value, error):
    with pytest.raises(error):
        ss._coerce_market_id(value)


def test_manifest_read_by_attribute(ss):
    manifest = NS(market_id=9, era_number="6")
    assert (ss._market_id_from_manifest(manifest), ss._era_number_from_manifest(manifest)) == (9, 6)
    assert ss._market_id_from_manifest(NS()) is None


def test_referenced_signal_ids(ss):
    metadata = {"a": {"signal_id": "A"}, "7": {"graph_hash": "h7"},
                "b": {"signal_id": "", "submission_id": 5}}
    assert ss._strategy_referenced_signal_ids(["a", 7, "a", "", "b", "c"], metadata, {}) == [
        "A", "h7", "A", "5", "c"]
    assert ss._strategy_referenced_signal_ids(None, None, {"found_signal_ids": [3]}) == ["3"]


@pytest.mark.parametrize("value", [".", " .. ", "a/b", "../etc", "a\\b", "a\x00b", b"a/b"])
def test_unsafe_named_universe(ss, value):
    with pytest.raises(ValueError) as info:
        ss._safe_named_universe(value)
    assert str(info.value) == ("named_universe must be a single safe path segment, got "
                               + repr(value))


@pytest.mark.parametrize("value, expected", [("   ", None), (5, "5"), ("a..b", "a..b")])
def test_safe_named_universe(ss, value, expected):
    assert ss._safe_named_universe(value) == expected


def test_named_universe_text_failure_propagates(ss):
    with pytest.raises(Boom):
        ss._safe_named_universe(hostile("__str__")())


def test_named_universe_sources_in_order(ss, monkeypatch):
    import tallowmere.agent_onboarding as onboarding
    ss._era_config = {"market_id": 3, "era_number": 2, "signal_pools": [
        {"id": "sp1", "allowed_named_universes": ["", " u-sp1 "]}]}
    monkeypatch.setitem(sys.modules, "tallowmere.agent_onboarding", None)   # no onboarding
    assert ss._resolve_simulation_named_universe(None, "SIGNAL", "sp1") == "u-sp1"
    monkeypatch.setitem(sys.modules, "tallowmere.agent_onboarding", onboarding)
    monkeypatch.setattr(onboarding, "_config", {"named_universe": "../x"})   # unsafe: skipped
    assert ss._resolve_simulation_named_universe(None, "SIGNAL", "sp1") == "u-sp1"
    monkeypatch.setattr(onboarding, "_config", {"named_universe": " onboarded "})
    assert ss._resolve_simulation_named_universe("  ", "SIGNAL", "sp1") == "onboarded"
    assert ss._resolve_simulation_named_universe(" mine ", "SIGNAL", "sp1") == "mine"


POOLS = [{"id": "sp1", "named_universe": "u-sp1"}, {"id": "sp2"}]


@pytest.mark.parametrize("cfg, expression_type, pool_id, expected", [
    ({"signal_pools": POOLS}, "SIGNAL", "sp2", "u-sp1"),                  # first pool's name
    ({"signal_pools": POOLS + [{"id": "sp3", "allowed_named_universes": ["u-sp3"]}],
      "strategy_pools": [{"id": "st", "signal_pool_name": "sp3"}]}, "STRATEGY", "st", "u-sp3"),
    ({"signal_pools": [{"id": "sp1"}], "allowed_named_universes": ["", "u-era"]}, "SIGNAL",
     "sp1", "u-era"),
    ({"signal_pools": [{"id": "sp1"}], "named_universe": "u"}, "SIGNAL", "sp1", "u"),
    ({"signal_pools": [{"id": "sp1", "allowed_named_universes": ("x",),
                        "named_universe": "one"}]}, "SIGNAL", "sp1", "one"),   # a list only
    ({"signal_pools": [{"id": "sp1"}]}, "SIGNAL", "sp1", None),
])
def test_first_pool_named_universe(ss, cfg, expression_type, pool_id, expected):
    assert ss._first_pool_named_universe(cfg, expression_type, pool_id) == expected


def test_pool_without_any_runtime_name(ss):
    with pytest.raises(ValueError, match="^selected strategy_pool_id config must declare one of: "
                                         "strategy_pool_name, name, strategy_pool_id, pool_id$"):
        ss._selected_pool_runtime_name({"name": ""}, "STRATEGY", "")


@pytest.mark.parametrize("rules, expected", [
    ({"u1": {"rule_id": " 12 "}}, 12), ({"u2": {"rule_id": 3}}, None), ([("u1", 3)], None)])
def test_universe_rule_id(ss, rules, expected):
    assert ss._resolve_universe_rule_id_for_sdk({"universe_rules": rules}, "u1") == expected


@pytest.mark.parametrize("universes", [{"4": {}}, {4: {}, True: {}}, {0: {}}, {4.5: {}}])
def test_pool_threshold_keys_must_be_rule_ids(ss, universes):
    with pytest.raises(SdkRuntimeNotReadyError):
        ss._resolve_pool_universe_thresholds({"universes": universes}, 4)


def test_pool_thresholds_of_a_listed_universe(ss):
    assert ss._resolve_pool_universe_thresholds({"universes": [(4, {"x": 1})]}, 4) == {}


# --- simulation options ---------------------------------------------------------------

def typed(rules, allowed=None, pools=None):
    return NS(universe_rules=rules, allowed_named_universes=allowed,
              signal_pools=[NS(allowed_named_universes=names) for names in pools or []])


def test_universe_options(ss):
    rules = {"b": {"rule_id": " 4 ", "market_id": 1, "pool_id": "9"}, "10": {"rule_id": 5},
             "9": {"rule_id": True}, 1: {"rule_id": 6, "market_id": 0}, "1": {"rule_id": 7}}
    assert ss._universe_options(typed(rules)) == [
        {"id": "1", "named_universe": "1", "rule_id": 6}, {"id": "1", "named_universe": "1",
                                                           "rule_id": 7},
        {"id": "10", "named_universe": "10", "rule_id": 5},
        {"id": "b", "named_universe": "b", "rule_id": 4, "market_id": 1, "pool_id": 9}]


@pytest.mark.parametrize("allowed, pools, expected", [
    ([], [[], None, ["", None]], ["u1", "u2", "u3"]),
    (["u2", 1], [["u1"]], ["u2"]),
    ([], [["u1"], ["u3", ""]], ["u1", "u3"]),
])
def test_universe_options_filtered_by_allowed_names(ss, allowed, pools, expected):
    rules = {name: {"rule_id": i} for i, name in enumerate(["u1", "u2", "u3"], 1)}
    assert [o["id"] for o in ss._universe_options(typed(rules, allowed, pools))] == expected


@pytest.mark.parametrize("source, message", [
    (NS(engine_definitions=None), "engine_definitions missing from synced era config"),
    ({"engine_definitions": []}, "engine_definitions must be the synced canonical agent payload"),
])
def test_engine_definitions_refused(ss, source, message):
    with pytest.raises(SdkRuntimeNotReadyError) as info:
        ss._engine_definitions_from_agent_payload(source, None)
    assert info.value.args == (message,) and info.value.__cause__ is None


def test_engine_definitions_nested_too_deep(ss):
    value = []
    for _ in range(100_000):
        value = [value]
    with pytest.raises(RecursionError):
        ss._plain_engine_definition_payload(value)


def test_effective_simulation_options(ss):
    scalar = 1.5
    options = ss.effective_simulation_options({
        "allowed_named_universes": ["u2", "u1"],
        "universe_rules": {"u1": {"rule_id": 1}, "u2": {"rule_id": 2, "market_id": 1}},
        "engine_definitions": {"engines": {1: (1, [2, (3,)]), "s": scalar}}})
    assert options == {
        "universe_options": [{"id": "u1", "named_universe": "u1", "rule_id": 1},
                             {"id": "u2", "named_universe": "u2", "rule_id": 2, "market_id": 1}],
        "engine_definitions": {"engines": {"1": [1, [2, [3]]], "s": 1.5}}}
    assert options["engine_definitions"]["engines"]["s"] is scalar


# --- metric helpers ---------------------------------------------------------------------

@pytest.mark.parametrize("value, error", [(HUGE, OverflowError), (hostile("__float__")(), Boom)])
def test_tracking_metric_lets_other_errors_through(ss, value, error):
    with pytest.raises(error):
        ss._tracking_metric(value)


@pytest.mark.parametrize("value, expected", [
    (-math.inf, True), (HUGE, False), (True, False), (type("F", (float,), {})(0.5), False),
    (type("I", (int,), {})(1), False)])
def test_is_mi_score(ss, value, expected):
    assert ss._is_mi_score(value) is expected


@pytest.mark.parametrize("stats, error", [
    (NS(avg_turnover=0.1), AttributeError),
    (NS(avg_turnover=0.1, delta_exposure=0, max_weight=HUGE, liquidity_metrics=None,
        custom_stats=None), OverflowError),
])
def test_tracking_stats_errors_propagate(ss, stats, error):
    with pytest.raises(error):
        ss._build_tracking_stats(stats, None, {"evaluated_pnl_columns": ["pnl"]})


# --- graph boundary ------------------------------------------------------------------

PROVIDERS = ["tallowmere.simulator_engine.batch_orchestrator",
             "tallowmere.simulator_engine.graph_validator",
             "tallowmere.simulator_engine.expression_evaluator"]


def chain(depth, leaf):
    for _ in range(depth):
        leaf = N("rotation", "r", [leaf])
    return leaf


@pytest.fixture
def no_providers(monkeypatch):
    for provider in PROVIDERS:
        monkeypatch.delitem(sys.modules, provider, raising=False)
    return monkeypatch


@pytest.mark.parametrize("provider_module", [None, "", "no_such_graph_shapes_module", "custom"])
def test_typed_shapes_come_from_a_loaded_provider(ss, no_providers, provider_module):
    defining = types.ModuleType("custom")
    defining.FunctionGraphNode = type("FunctionGraphNode", (), {"__module__": "custom"})
    defining.StageData = type("StageData", (), {})
    no_providers.setitem(sys.modules, "custom", defining)
    if provider_module is not None:
        provider = types.ModuleType(PROVIDERS[1])
        provider.FunctionGraphNode = (defining.FunctionGraphNode if provider_module == "custom"
                                      else type("X", (), {"__module__": provider_module}))
        no_providers.setitem(sys.modules, PROVIDERS[1], provider)
    expected = ((defining.FunctionGraphNode, defining.StageData) if provider_module == "custom"
                else (N, StageData))
    assert ss._import_typed_shapes() == expected
    assert PROVIDERS[0] not in sys.modules and PROVIDERS[2] not in sys.modules


@pytest.mark.parametrize("blocked", [None, types.ModuleType("empty")])
def test_no_typed_runtime(ss, no_providers, blocked):
    no_providers.setitem(sys.modules, "tallowmere.functions._typed_shapes", blocked)
    with pytest.raises(RuntimeError) as info:
        ss._import_typed_shapes()
    assert str(info.value) == "Typed graph runtime is required for direct simulation evaluation"
    assert info.value.__context__ is None and info.value.__suppress_context__


def test_aggregation_found_deep_in_a_typed_graph(ss):
    with pytest.raises(ValueError, match=r"^graph node type 'aggregation' is not allowed$"):
        ss._require_typed_runtime_graph(chain(2, N("aggregation", "mean")))
    # an explicit stack: no recursion limit
    assert ss._reject_public_aggregation_graph(chain(200_000, N("feature", "a"))) is None
    with pytest.raises(ValueError):
        ss._reject_public_aggregation_graph(chain(200_000, N("aggregation", "mean")))


WALKERS = ["_has_filtration_runtime_graph", "_simulation_graph_feature_names",
           "_plain_tracking_graph"]


@pytest.mark.parametrize("walker", WALKERS)
def test_deep_or_cyclic_graph_is_a_recursion_error(ss, walker):
    with pytest.raises(RecursionError):
        getattr(ss, walker)(chain(100_000, N("feature", "a")))
    if walker != WALKERS[0]:
        node = {"type": "r", "node": "r", "children": []}
        node["children"].append(node)
        with pytest.raises(RecursionError):
            getattr(ss, walker)(node)


# The walkers stop where the thread's stack ends, not only at the interpreter's
# recursion count, and the stack kept in reserve leaves room for whole runs.
# 128 KiB is the default thread stack of musl-based systems.
ON_A_THREAD = """
import threading
threading.stack_size(STACK_SIZE)
import tallowmere.simulate_signal as ss
from tallowmere.functions._typed_shapes import FunctionGraphNode as N
from doubles import Wiring, collect, start
Wiring().wire(ss)
outcomes = []
node, plain = N("feature", "a"), {"type": "feature", "node": "a"}   # made (and freed) here
for _ in range(50_000):
    node, plain = N("r", "r", [node]), {"type": "r", "node": "r", "children": [plain]}
def run():
    for walker, graph in [(ss._has_filtration_runtime_graph, node),
                          (ss._simulation_graph_feature_names, plain),
                          (ss._plain_tracking_graph, plain)]:
        try:
            walker(graph)
        except RecursionError:
            outcomes.append("RecursionError")
    graph = N("rotation", "r", [N("feature", "a"), N("feature", "a")])
    outcomes.append(ss._simulation_graph_feature_names(ss._plain_tracking_graph(graph)))
    outcomes.append([collect(start(ss, kind)).passed for kind in ("signal", "strategy")])
thread = threading.Thread(target=run)
thread.start()
thread.join(timeout=60)
print(outcomes)
"""


@pytest.mark.parametrize("stack_size", [0, 128 * 1024, 512 * 1024],
                         ids=["default stack", "128 KiB", "512 KiB"])
def test_walkers_and_runs_on_a_thread(stack_size):
    proc = run_python(ON_A_THREAD.replace("STACK_SIZE", str(stack_size)), timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == str(["RecursionError"] * 3 + [("a",), [True, True]])
