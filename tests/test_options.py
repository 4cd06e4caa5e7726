"""Effective simulation options: universe options and engine definitions of an era."""
import inspect
from types import SimpleNamespace as NS

import pytest

import tallowmere._runtime as runtime
from tallowmere.errors import SdkRuntimeNotReadyError

RULES = {"u1": {"rule_id": 1}, "u2": {"rule_id": 2}, "u3": {"rule_id": 3}}


def typed(rules, allowed=None, pools=None):
    config = NS(universe_rules=rules, allowed_named_universes=allowed)
    if pools is not None:
        config.signal_pools = [NS(allowed_named_universes=names) for names in pools]
    return config


def ids(options):
    return [option["id"] for option in options]


def test_universe_option_shape(ss):
    rules = {"u1": {"rule_id": " 4 ", "market_id": 1, "pool_id": "9"},
             "u2": {"rule_id": 5, "market_id": 0, "pool_id": True}}
    assert ss._universe_options(typed(rules)) == [
        {"id": "u1", "named_universe": "u1", "rule_id": 4, "market_id": 1, "pool_id": 9},
        {"id": "u2", "named_universe": "u2", "rule_id": 5}]
    assert list(ss._universe_options(typed(rules))[0]) == [
        "id", "named_universe", "rule_id", "market_id", "pool_id"]


@pytest.mark.parametrize("rule", [{"rule_id": True}, {"rule_id": "seven"}, {}, ["rule_id", 1]])
def test_unusable_rules_are_skipped(ss, rule):
    assert ids(ss._universe_options(typed({"bad": rule, "good": {"rule_id": 1}}))) == ["good"]


def test_sorted_by_string_form_and_stable(ss):
    rules = {"b": {"rule_id": 1}, "a": {"rule_id": 2}, "10": {"rule_id": 3}, "9": {"rule_id": 4},
             1: {"rule_id": 5}, "1": {"rule_id": 6}}
    options = ss._universe_options(typed(rules))
    assert [(o["id"], o["rule_id"]) for o in options] == [
        ("1", 5), ("1", 6), ("10", 3), ("9", 4), ("a", 2), ("b", 1)]


@pytest.mark.parametrize("allowed, pools, expected", [
    (None, None, ["u1", "u2", "u3"]),
    ([], [[], None, ["", None]], ["u1", "u2", "u3"]),
    (["u2", 1], [["u1"]], ["u2"]),
    ([], [["u1"], ["u3", ""]], ["u1", "u3"]),
])
def test_allowed_names_filter(ss, allowed, pools, expected):
    config = typed(RULES, allowed, pools)
    config.strategy_pools = [NS(allowed_named_universes=["u2"])]  # never consulted
    assert ids(ss._universe_options(config)) == expected


def test_pool_names_are_compared_as_strings(ss):
    config = typed({"1": {"rule_id": 1}, "2": {"rule_id": 2}}, [], [[1]])
    assert ids(ss._universe_options(config)) == ["1"]


@pytest.mark.parametrize("rules", [None, {}, [("u1", {"rule_id": 1})]])
def test_no_usable_rules(ss, rules):
    assert ss._universe_options(typed(rules)) == []


@pytest.mark.parametrize("source, message", [
    ({}, "engine_definitions missing from synced era config"),
    (NS(engine_definitions=None), "engine_definitions missing from synced era config"),
    ({"engine_definitions": []}, "engine_definitions must be the synced canonical agent payload"),
])
def test_engine_definitions_refused(ss, source, message):
    with pytest.raises(SdkRuntimeNotReadyError) as info:
        ss._engine_definitions_from_agent_payload(source, None)
    assert info.value.args == (message,) and info.value.__cause__ is None


def test_plain_engine_definition_payload(ss):
    scalar = 1.5
    payload = {"engines": {1: (1, [2, (3,)]), "s": scalar}, "empty": {}}
    plain = ss._engine_definitions_from_agent_payload(NS(engine_definitions=payload), None)
    assert plain == {"engines": {"1": [1, [2, [3]]], "s": 1.5}, "empty": {}}
    assert plain["engines"]["s"] is scalar and plain["empty"] is not payload["empty"]


def test_plain_engine_definition_payload_deep_nesting(ss):
    value = []
    for _ in range(100_000):
        value = [value]
    with pytest.raises(RecursionError):
        ss._plain_engine_definition_payload(value)


@pytest.mark.parametrize("stage, expected", [({"key": "x"}, "x"), ({}, None), (NS(key="x"), "x")])
def test_stage_attr(ss, stage, expected):
    assert ss._stage_attr(stage, "key") == expected


def test_effective_simulation_options(ss):
    era_config = {"allowed_named_universes": ["u2", "u1"],
                  "universe_rules": {**RULES, "u2": {"rule_id": 2, "market_id": 1}},
                  "engine_definitions": {"engines": ({"id": 1},)}}
    options = ss.effective_simulation_options(era_config)
    assert list(options) == ["universe_options", "engine_definitions"]
    assert options == {
        "universe_options": [{"id": "u1", "named_universe": "u1", "rule_id": 1},
                             {"id": "u2", "named_universe": "u2", "rule_id": 2, "market_id": 1}],
        "engine_definitions": {"engines": [{"id": 1}]}}


def test_effective_simulation_options_coerces_once(ss, monkeypatch):
    calls, typed_config = [], typed({"u1": {"rule_id": 1}})
    typed_config.engine_definitions = {"from": "typed"}
    monkeypatch.setattr(runtime, "sdk_era_config_from_dict",
                        lambda *a, **kw: calls.append((a, kw)) or typed_config)
    era_config = {"engine_definitions": {"from": "input"}}
    options = ss.effective_simulation_options(era_config=era_config)
    assert calls == [((era_config,), {})]
    assert options == {"universe_options": [{"id": "u1", "named_universe": "u1", "rule_id": 1}],
                       "engine_definitions": {"from": "input"}}


def test_effective_simulation_options_public_surface(ss):
    assert str(inspect.signature(ss.effective_simulation_options)) == "(era_config)"
    assert "universe_options" in ss.effective_simulation_options.__doc__
    assert list(vars(ss))[-1] == "effective_simulation_options"
