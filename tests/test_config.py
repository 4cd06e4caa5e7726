"""Edges of the configuration helpers that runs do not reach cheaply: coercion
and rule ids, signal references, named universes and their fall-backs, pool
thresholds, the simulation options of an era and the metric helpers."""
import math
import sys
from types import SimpleNamespace as NS

import pytest

from doubles import Boom, hostile
from tallowmere.errors import SdkRuntimeNotReadyError

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
                "b": {"signal_id": "", "submission_id": "sub"}}
    assert ss._strategy_referenced_signal_ids(["a", 7, "a", "", "b", "c"], metadata, {}) == [
        "A", "h7", "A", "sub", "c"]
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


@pytest.mark.parametrize("pool, expression_type, selected, expected", [
    ({"signal_pool_name": "", "name": "n"}, "SIGNAL", "sel", "n"),
    ({"strategy_pool_name": 3, "signal_pool_name": "x", "pool_id": "pid"}, "STRATEGY", "", "pid"),
    (["signal_pool_name"], "SIGNAL", "sel", "sel"),
    ({"name": ""}, "STRATEGY", "", None),
])
def test_selected_pool_runtime_name(ss, pool, expression_type, selected, expected):
    if expected is None:
        with pytest.raises(ValueError, match="^selected strategy_pool_id config must declare one "
                                             "of: strategy_pool_name, name, strategy_pool_id, "
                                             "pool_id$"):
            ss._selected_pool_runtime_name(pool, expression_type, selected)
    else:
        assert ss._selected_pool_runtime_name(pool, expression_type, selected) == expected


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

@pytest.mark.parametrize("value, default, expected", [
    (None, 0.0, 0.0), ("x", 5, 5), (math.nan, None, None), (math.inf, 0.0, 0.0), ("3", 0.0, 3.0),
    (True, 0.0, 1.0)])
def test_tracking_metric(ss, value, default, expected):
    result = ss._tracking_metric(value, default)
    assert result == expected and type(result) is type(expected)


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
