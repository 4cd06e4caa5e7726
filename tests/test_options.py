"""Effective simulation options: universe options and engine definitions of an era."""
import inspect
from types import SimpleNamespace

import pytest

import tallowmere._runtime as runtime
from tallowmere.errors import SdkRuntimeNotReadyError


def typed(universe_rules, allowed=None, signal_pools=None):
    fields = {"universe_rules": universe_rules}
    if allowed is not None:
        fields["allowed_named_universes"] = allowed
    if signal_pools is not None:
        fields["signal_pools"] = [SimpleNamespace(allowed_named_universes=names)
                                  for names in signal_pools]
    return SimpleNamespace(**fields)


RULES = {"u1": {"rule_id": 1}, "u2": {"rule_id": 2}, "u3": {"rule_id": 3}}


def ids(options):
    return [option["id"] for option in options]


class TestUniverseOptions:
    def test_docstring(self, ss):
        assert ss._universe_options.__doc__ == (
            "Build the universe-options list from a typed EraConfig.")

    def test_option_shape(self, ss):
        rules = {"u1": {"rule_id": 4, "market_id": 1, "pool_id": "9"}}
        option, = ss._universe_options(typed(rules))
        assert option == {"id": "u1", "named_universe": "u1", "rule_id": 4, "market_id": 1,
                          "pool_id": 9}
        assert list(option) == ["id", "named_universe", "rule_id", "market_id", "pool_id"]

    @pytest.mark.parametrize("rule, expected", [
        ({"rule_id": 4, "market_id": 0, "pool_id": True}, {"rule_id": 4}),
        ({"rule_id": " 7 ", "pool_id": 2}, {"rule_id": 7, "pool_id": 2}),
        ({"rule_id": 4, "market_id": "x"}, {"rule_id": 4}),
    ])
    def test_unusable_ids_are_left_out(self, ss, rule, expected):
        option, = ss._universe_options(typed({"u": rule}))
        assert {k: v for k, v in option.items() if k not in ("id", "named_universe")} == expected

    @pytest.mark.parametrize("rule", [
        {"rule_id": True}, {"rule_id": "seven"}, {"rule_id": 0}, {"rule_id": None}, {},
        ["rule_id", 1], "1", None,
    ])
    def test_unusable_rules_are_skipped(self, ss, rule):
        assert ss._universe_options(typed({"bad": rule, "good": {"rule_id": 1}})) == [
            {"id": "good", "named_universe": "good", "rule_id": 1}]

    def test_sorted_by_string_form(self, ss):
        rules = {"b": {"rule_id": 1}, "a": {"rule_id": 2}, "10": {"rule_id": 3},
                 "9": {"rule_id": 4}}
        assert ids(ss._universe_options(typed(rules))) == ["10", "9", "a", "b"]

    def test_equal_string_forms_keep_their_order(self, ss):
        rules = {1: {"rule_id": 1}, "1": {"rule_id": 2}, 0: {"rule_id": 3}}
        options = ss._universe_options(typed(rules))
        assert [(o["id"], o["rule_id"]) for o in options] == [("0", 3), ("1", 1), ("1", 2)]

    @pytest.mark.parametrize("config", [
        typed(RULES), typed(RULES, allowed=[]), typed(RULES, allowed=None, signal_pools=[[]]),
        typed(RULES, allowed=[], signal_pools=[None, ["", None]]),
    ])
    def test_no_allowed_names_means_no_filtering(self, ss, config):
        assert ids(ss._universe_options(config)) == ["u1", "u2", "u3"]

    def test_top_level_names_filter_as_they_are(self, ss):
        config = typed({"1": {"rule_id": 1}, "u2": {"rule_id": 2}}, allowed=[1, "u2"],
                       signal_pools=[["1"]])
        assert ids(ss._universe_options(config)) == ["u2"]

    def test_pool_names_filter_as_strings(self, ss):
        config = typed({"1": {"rule_id": 1}, "u2": {"rule_id": 2}, "u3": {"rule_id": 3}},
                       allowed=[], signal_pools=[[1], ["u3", ""]])
        assert ids(ss._universe_options(config)) == ["1", "u3"]

    def test_strategy_pools_are_not_consulted(self, ss):
        config = typed(RULES, allowed=[], signal_pools=[["u1"]])
        config.strategy_pools = [SimpleNamespace(allowed_named_universes=["u2"])]
        assert ids(ss._universe_options(config)) == ["u1"]

    @pytest.mark.parametrize("rules", [None, {}, [("u1", {"rule_id": 1})], "u1"])
    def test_no_usable_rules(self, ss, rules):
        assert ss._universe_options(typed(rules)) == []

    def test_universe_rules_are_required(self, ss):
        with pytest.raises(AttributeError):
            ss._universe_options(SimpleNamespace(allowed_named_universes=["u1"]))

    def test_rule_id_coercion_is_read_from_the_namespace(self, ss):
        ss._coerce_int_rule_id = lambda value: None if value == "skip" else 5
        options = ss._universe_options(typed({"a": {"rule_id": "skip"}, "b": {"rule_id": "x"}}))
        assert options == [{"id": "b", "named_universe": "b", "rule_id": 5, "market_id": 5,
                            "pool_id": 5}]


class TestEngineDefinitions:
    @pytest.mark.parametrize("source, message", [
        ({}, "engine_definitions missing from synced era config"),
        ({"engine_definitions": None}, "engine_definitions missing from synced era config"),
        (SimpleNamespace(), "engine_definitions missing from synced era config"),
        ({"engine_definitions": []}, "engine_definitions must be the synced canonical agent "
                                     "payload"),
        (SimpleNamespace(engine_definitions="x"), "engine_definitions must be the synced "
                                                  "canonical agent payload"),
    ])
    def test_refused(self, ss, source, message):
        with pytest.raises(SdkRuntimeNotReadyError) as info:
            ss._engine_definitions_from_agent_payload(source, None)
        assert info.value.args == (message,)
        assert info.value.__cause__ is None and info.value.__context__ is None

    def test_error_class_is_read_from_the_namespace(self, ss):
        class Replaced(Exception):
            pass
        ss.SdkRuntimeNotReadyError = Replaced
        with pytest.raises(Replaced):
            ss._engine_definitions_from_agent_payload({}, None)

    @pytest.mark.parametrize("source", [{"engine_definitions": {"e": 1}},
                                        SimpleNamespace(engine_definitions={"e": 1})])
    def test_dict_or_attribute(self, ss, source):
        assert ss._engine_definitions_from_agent_payload(source, "typed, not read") == {"e": 1}


class Payload(dict):
    pass


class TestPlainEngineDefinitionPayload:
    def test_deep_copy_into_plain_containers(self, ss):
        scalar = 1.5
        value = Payload({1: {"t": (1, [2, (3,)]), None: scalar}, "k": "v"})
        plain = ss._plain_engine_definition_payload(value)
        assert plain == {"1": {"t": [1, [2, [3]]], "None": 1.5}, "k": "v"}
        assert type(plain) is dict and type(plain["1"]["t"]) is list
        assert plain["1"]["None"] is scalar

    def test_containers_are_new(self, ss):
        inner = [1]
        value = {"a": inner}
        plain = ss._plain_engine_definition_payload(value)
        assert plain is not value and plain["a"] is not inner

    @pytest.mark.parametrize("value", [None, 3, "text", {1, 2}, b"bytes"])
    def test_other_values_unchanged(self, ss, value):
        assert ss._plain_engine_definition_payload(value) is value

    def test_deep_nesting_raises_recursion_error(self, ss):
        value = []
        for _ in range(100_000):
            value = [value]
        with pytest.raises(RecursionError):
            ss._plain_engine_definition_payload(value)


class TestStageAttr:
    @pytest.mark.parametrize("stage, expected", [
        ({"name": "x"}, "x"), ({}, "d"), (SimpleNamespace(name="x"), "x"), (object(), "d"),
    ])
    def test_values(self, ss, stage, expected):
        assert ss._stage_attr(stage, "name", "d") == expected

    def test_default_is_none(self, ss):
        assert ss._stage_attr({}, "name") is None


class TestEffectiveSimulationOptions:
    def test_dict_era_config(self, ss):
        era_config = {
            "allowed_named_universes": ["u2", "u1"],
            "universe_rules": {"u2": {"rule_id": 2, "market_id": 1}, "u1": {"rule_id": 1},
                               "u3": {"rule_id": 3}},
            "engine_definitions": {"engines": ({"id": 1},)},
        }
        options = ss.effective_simulation_options(era_config)
        assert list(options) == ["universe_options", "engine_definitions"]
        assert options == {
            "universe_options": [
                {"id": "u1", "named_universe": "u1", "rule_id": 1},
                {"id": "u2", "named_universe": "u2", "rule_id": 2, "market_id": 1},
            ],
            "engine_definitions": {"engines": [{"id": 1}]},
        }

    def test_typed_config_is_coerced_once_and_definitions_come_from_the_input(
            self, ss, monkeypatch):
        calls = []
        typed_config = typed({"u1": {"rule_id": 1}})
        typed_config.engine_definitions = {"from": "typed"}
        monkeypatch.setattr(runtime, "sdk_era_config_from_dict",
                            lambda *a, **kw: calls.append((a, kw)) or typed_config)
        era_config = {"engine_definitions": {"from": "input"}}
        options = ss.effective_simulation_options(era_config=era_config)
        assert calls == [((era_config,), {})]
        assert options["engine_definitions"] == {"from": "input"}
        assert ids(options["universe_options"]) == ["u1"]

    def test_coercion_errors_propagate(self, ss, monkeypatch):
        error = ValueError("bad era config")

        def coerce(era_config):
            raise error
        monkeypatch.setattr(runtime, "sdk_era_config_from_dict", coerce)
        with pytest.raises(ValueError) as info:
            ss.effective_simulation_options({})
        assert info.value is error

    def test_missing_engine_definitions(self, ss):
        with pytest.raises(SdkRuntimeNotReadyError,
                           match="^engine_definitions missing from synced era config$"):
            ss.effective_simulation_options({"universe_rules": {"u1": {"rule_id": 1}}})

    def test_public_surface(self, ss):
        assert str(inspect.signature(ss.effective_simulation_options)) == "(era_config)"
        assert "universe_options" in ss.effective_simulation_options.__doc__
        assert "engine_definitions" in ss.effective_simulation_options.__doc__
        names = list(vars(ss))
        assert names[-1] == "effective_simulation_options"
        assert names.index("_universe_options") > names.index("simulate_strategy")
