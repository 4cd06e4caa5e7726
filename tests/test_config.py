"""Era configuration, strategy pools and useful signals, named universes and pool selection."""
import logging
import math
import sys
import types

import pytest

from tallowmere.errors import SdkRuntimeNotReadyError
from tallowmere.sync import EraError


class Exploding:
    def __str__(self):
        raise LookupError("no text")


class FailingInt:
    def __int__(self):
        raise KeyError("inner")


class Manager:
    def __init__(self, manifest):
        self.get_manifest = lambda: manifest


def era(**extra):
    cfg = {"market_id": 3, "era_number": 2,
           "signal_pools": [{"id": "sp1", "allowed_named_universes": ["u-sp1"]}, {"id": "sp2"}],
           "strategy_pools": [{"id": "st1", "signal_pool_name": "sp1"}]}
    return {**cfg, **extra}


@pytest.fixture
def onboarding(monkeypatch):
    import tallowmere.agent_onboarding as module
    monkeypatch.setattr(module, "_config", {})
    return lambda config: monkeypatch.setattr(module, "_config", config)


# --- market and era identity ---------------------------------------------------------


@pytest.mark.parametrize("coerce, value, expected", [
    ("_coerce_era_number", 0, 0), ("_coerce_era_number", 2.9, 2), ("_coerce_era_number", "7", 7),
    ("_coerce_era_number", True, None), ("_coerce_era_number", -1, None),
    ("_coerce_era_number", "x", None), ("_coerce_era_number", [], None),
    ("_coerce_market_id", 0, None), ("_coerce_market_id", False, None),
    ("_coerce_market_id", " 7 ", 7), ("_coerce_market_id", 0.5, None),
])
def test_coercion(ss, coerce, value, expected):
    result = getattr(ss, coerce)(value)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize("value, error", [(math.inf, OverflowError), (FailingInt(), KeyError)])
def test_coercion_propagates_unexpected_errors(ss, value, error):
    with pytest.raises(error):
        ss._coerce_market_id(value)


@pytest.mark.parametrize("manifest, market_id, era_number", [
    (None, None, None), ({"market_id": "4", "era_number": 0}, 4, 0),
    (types.SimpleNamespace(market_id=9, era_number="6"), 9, 6), (types.SimpleNamespace(), None, None),
])
def test_manifest_fields(ss, manifest, market_id, era_number):
    assert ss._market_id_from_manifest(manifest) == market_id
    assert ss._era_number_from_manifest(manifest) == era_number


class TestDeriveSyncedMarketEra:
    def test_market_id_falls_back_to_the_era_config(self, ss):
        ss._era_config = {"market_id": 5}
        assert ss._derive_synced_market_era(Manager({"era_number": 0})) == (5, 0)

    @pytest.mark.parametrize("manifest, era_config", [
        ({"market_id": 1}, {"market_id": 1, "era_number": 4}),   # the era number never falls back
        ({"era_number": 1}, {"market_id": 0}), (None, None)])
    def test_missing_identity(self, ss, manifest, era_config):
        ss._era_config = era_config
        with pytest.raises(SdkRuntimeNotReadyError) as info:
            ss._derive_synced_market_era(Manager(manifest))
        assert info.value.args == () and info.value.__suppress_context__


class TestResolveRuntimeEraConfig:
    def test_shallow_copy(self, ss):
        ss._era_config = wired = {"market_id": 3, "era_number": 2, "nested": {}}
        copy = ss._resolve_runtime_era_config(3, 2)
        copy["market_id"] = 99
        assert wired["market_id"] == 3 and copy["nested"] is wired["nested"]
        assert ss._resolve_runtime_era_config(3, 2) is not copy

    @pytest.mark.parametrize("cfg, error, message", [
        (None, RuntimeError, "era_config is required for simulation. Call init_simulate_signal("
                             "..., era_config=...) with the synced era config."),
        ({"market_id": 3}, ValueError, "era_config missing required market_id or era_number"),
        ({"market_id": "3", "era_number": 2}, EraError,
         "Synced market_id=3 does not match era_config market_id=3"),
        ({"market_id": 3, "era_number": 1}, EraError,
         "Synced era_number=2 does not match era_config era_number=1"),
    ])
    def test_refusals(self, ss, cfg, error, message):
        ss._era_config = cfg
        with pytest.raises(error) as info:
            ss._resolve_runtime_era_config(3, 2)
        assert str(info.value) == message

    def test_comparison_is_the_inequality_operator(self, ss):
        ss._era_config = {"market_id": math.nan, "era_number": 0}
        with pytest.raises(EraError, match="market_id=nan"):
            ss._resolve_runtime_era_config(math.nan, 0)


class TestDataShapeFields:
    def test_falsy_values_are_present(self, ss):
        assert ss._required_runtime_data_shape_value({"column_labels": 0}, "column_labels") == 0
        assert ss._primary_evaluation_pnl_column({"evaluated_pnl_columns": ["a", "b"]}) == "a"

    @pytest.mark.parametrize("cfg", [{}, {"evaluated_pnl_columns": None},
                                     {"evaluated_pnl_columns": []}])
    def test_missing(self, ss, cfg):
        with pytest.raises(SdkRuntimeNotReadyError) as info:
            ss._primary_evaluation_pnl_column(cfg)
        assert str(info.value) == "missing required runtime data-shape field: evaluated_pnl_columns"
        assert info.value.__cause__ is None and info.value.__suppress_context__


# --- strategy pools and useful signals ------------------------------------------------


@pytest.mark.parametrize("cfg", [{}, {"signal_pool_name": ""}, {"signal_pool_name": 5}])
def test_strategy_pool_without_link(ss, cfg):
    with pytest.raises(ValueError) as info:
        ss._strategy_signal_pool_id(cfg, 42)
    assert str(info.value) == "Strategy pool '42' must declare a linked signal pool via signal_pool_name."


BY_ID = {"signal_id": None, "id": "s2"}


@pytest.mark.parametrize("ref, collection, expected", [
    (42, {42: "exact", "42": "text"}, "exact"), (42, {"42": "text"}, "text"), (43, {}, None),
    ("s2", ["junk", {"signal_id": "s1"}, BY_ID], BY_ID), ("7", [{"graph_hash": 7}], None),
    (math.nan, [{"id": math.nan}], None), ("s2", (BY_ID,), None),
])
def test_metadata_for_signal_ref(ss, ref, collection, expected):
    assert ss._metadata_for_signal_ref(ref, collection) == expected


@pytest.mark.parametrize("ref, metadata, expected", [
    ("r", {"signal_id": "", "submission_id": "sub"}, "sub"), ("r", {"graph_hash": 0}, "r"),
    ({"id": "own"}, {"id": "ignored"}, "own"), ("r", None, "r"),
])
def test_signal_ref_label(ss, ref, metadata, expected):
    assert ss._signal_ref_label(ref, metadata) == expected


class TestStrategyUsefulSignals:
    def test_no_useful_signals_skips_the_link(self, ss):
        assert ss._validate_strategy_useful_signal_pools("st1", {}, None, None) is None

    def test_signal_of_another_pool(self, ss):
        metadata = [{"id": "a", "signal_pool_id": "sp1"}, {"id": "n"},
                    {"id": "b", "signal_pool_id": "sp9"}, {"id": "c", "signal_pool_id": "sp8"}]
        with pytest.raises(ValueError) as info:
            ss._validate_strategy_useful_signal_pools(
                "st1", {"signal_pool_name": "sp1"}, ["a", "n", "b", "c"], metadata)
        assert str(info.value) == (
            "Strategy pool 'st1' is linked to signal pool 'sp1', but useful signal 'b' belongs "
            "to signal pool 'sp9'. Strategies may only reference useful signals from the same pool.")

    def test_referenced_ids(self, ss):
        metadata = {"a": {"signal_id": "A"}, "7": {"graph_hash": "h7"}}
        assert ss._strategy_referenced_signal_ids(["a", 7, "a", ""], metadata, {}) == ["A", "h7", "A"]
        assert ss._strategy_referenced_signal_ids(None, None, {"found_signal_ids": [3, 4]}) == ["3", "4"]


# --- named universe -------------------------------------------------------------------


@pytest.mark.parametrize("pool_id", ["", None, 5, b"sp1"])
def test_pool_id_must_be_a_non_empty_string(ss, pool_id):
    assert ss._validate_selected_pool_id("  ", "signal_pool_id") == "  "
    with pytest.raises(ValueError, match=r"^strategy_pool_id must be a non-empty string$"):
        ss._validate_selected_pool_id(pool_id, "strategy_pool_id")


class TestSafeNamedUniverse:
    @pytest.mark.parametrize("value, expected", [
        (None, None), ("   ", None), ("  us equities ", "us equities"), (5, "5"), ("...", "..."),
        ("a..b", "a..b")])
    def test_accepted(self, ss, value, expected):
        assert ss._safe_named_universe(value) == expected

    @pytest.mark.parametrize("value", [
        ".", "..", " .. ", "a/b", "../etc", "a\\b", "..\\x", "a\x00b", b"a/b"])
    def test_hostile_names_are_refused(self, ss, value):
        with pytest.raises(ValueError) as info:
            ss._safe_named_universe(value)
        assert str(info.value) == "named_universe must be a single safe path segment, got " + repr(value)

    def test_str_failure_propagates(self, ss):
        with pytest.raises(LookupError):
            ss._safe_named_universe(Exploding())


@pytest.mark.parametrize("pool, expected", [
    ({"allowed_named_universes": [" u1 ", "", None, "u2"]}, ["u1", "u2"]),
    ({"allowed_named_universes": ("u1",), "named_universe": "single"}, ["single"]),
    ({"allowed_named_universes": [], "named_universe": "single"}, []), ("u1", []),
])
def test_pool_allowed_named_universes(ss, pool, expected):
    assert ss._pool_allowed_named_universes(pool) == expected


@pytest.mark.parametrize("config, expected", [
    ({"named_universe": " u7 "}, "u7"), ({"named_universe": "../x"}, None),
    ({"named_universe": Exploding()}, None), (None, None)])
def test_configured_named_universe(ss, onboarding, config, expected):
    onboarding(config)
    assert ss._configured_named_universe() == expected


def test_configured_named_universe_without_onboarding_module(ss, monkeypatch):
    monkeypatch.setitem(sys.modules, "tallowmere.agent_onboarding", None)
    assert ss._configured_named_universe() is None


class TestFirstPoolNamedUniverse:
    @pytest.mark.parametrize("cfg, expression_type, pool_id, expected", [
        (era(), "SIGNAL", "sp2", "u-sp1"),
        (era(signal_pools=[{"id": "sp1", "named_universe": "u-sp1"},
                           {"id": "sp2", "allowed_named_universes": ["u-sp2"]}],
             strategy_pools=[{"id": "st1", "signal_pool_name": "sp2"}]), "STRATEGY", "st1", "u-sp2"),
        (era(signal_pools=[{"id": "sp1"}], allowed_named_universes=["", "u-era"]),
         "SIGNAL", "sp1", "u-era"),
        (era(signal_pools=None, allowed_named_universes=("x",), named_universe="u"),
         "SIGNAL", "", "u"),
        (era(signal_pools=[{"id": "sp1"}]), "SIGNAL", "sp1", None),
    ])
    def test_fallback_chain(self, ss, cfg, expression_type, pool_id, expected):
        assert ss._first_pool_named_universe(cfg, expression_type, pool_id) == expected

    @pytest.mark.parametrize("expression_type, pool_id, cfg", [
        ("SIGNAL", "nope", era()),
        ("STRATEGY", "st1", era(strategy_pools=[{"id": "st1"}])),
        ("SIGNAL", "bad", era(signal_pools=[{"id": "sp1", "named_universe": "u-sp1"},
                                            {"id": "bad", "named_universe": "a/b"}])),
    ])
    def test_selected_pool_failure_is_logged_and_skipped(self, ss, caplog, expression_type,
                                                         pool_id, cfg):
        with caplog.at_level(logging.DEBUG, logger="tallowmere.simulate_signal"):
            assert ss._first_pool_named_universe(cfg, expression_type, pool_id) == "u-sp1"
        [record] = caplog.records
        assert record.msg == "failed to resolve selected pool named universe for %s/%s: %s"
        assert record.args[:2] == (expression_type, pool_id)
        assert isinstance(record.args[2], ValueError)

    def test_unsafe_era_wide_name_raises(self, ss):
        with pytest.raises(ValueError, match="single safe path segment"):
            ss._first_pool_named_universe(era(signal_pools=[], named_universe=".."), "SIGNAL", None)


class TestResolveSimulationNamedUniverse:
    def test_order_of_sources(self, ss, onboarding):
        ss._era_config = era()
        assert ss._resolve_simulation_named_universe(None, "SIGNAL", "sp1") == "u-sp1"
        onboarding({"named_universe": "onboarded"})
        assert ss._resolve_simulation_named_universe("  ", "SIGNAL", "sp1") == "onboarded"
        assert ss._resolve_simulation_named_universe(" mine ", "SIGNAL", "sp1") == "mine"

    def test_no_source(self, ss, onboarding):
        ss._era_config = None
        with pytest.raises(ValueError) as info:
            ss._resolve_simulation_named_universe(None, "SIGNAL", "sp1")
        assert str(info.value) == (
            "named_universe is required; call tallowmere.configure(named_universe=...) or "
            "select a pool with allowed_named_universes.")


# --- pool selection -------------------------------------------------------------------


class TestSelectedPoolConfig:
    def test_resolver_gets_the_whole_era_config(self, ss):
        calls = []
        ss._resolve_pool_config = lambda *args, **kwargs: calls.append((args, kwargs)) or "pool"
        cfg = era()
        assert ss._selected_pool_config(cfg, "STRATEGY", "st1") == "pool"
        assert calls == [((cfg, "st1"), {"kind": "strategy"})]

    @pytest.mark.parametrize("cfg, key", [({}, "signal_pools"), (era(signal_pools=[]), "signal_pools"),
                                          (era(signal_pools=({"id": "sp1"},)), "signal_pools")])
    def test_no_pools(self, ss, cfg, key):
        with pytest.raises(ValueError, match=f"^era_config must contain a '{key}' key with at least "
                                             "one pool definition.$"):
            ss._selected_pool_config(cfg, "SIGNAL", "sp1")

    def test_unknown_pool(self, ss):
        with pytest.raises(ValueError) as info:
            ss._selected_pool_config(era(), "SIGNAL", "zz")
        assert str(info.value) == "Unknown signal_pool_id 'zz'. Available signal_pools: 2."
        assert isinstance(info.value.__cause__, KeyError)
        assert info.value.__context__ is info.value.__cause__


class TestSelectedPoolRuntimeName:
    @pytest.mark.parametrize("pool, expression_type, expected", [
        ({"signal_pool_name": "", "name": "n"}, "SIGNAL", "n"),
        ({"strategy_pool_name": 3, "signal_pool_name": "x", "pool_id": "pid"}, "STRATEGY", "pid"),
        (["signal_pool_name"], "SIGNAL", "sel")])
    def test_name(self, ss, pool, expression_type, expected):
        assert ss._selected_pool_runtime_name(pool, expression_type, "sel") == expected

    def test_no_name(self, ss):
        with pytest.raises(ValueError, match=r"^selected strategy_pool_id config must declare one "
                                             r"of: strategy_pool_name, name, strategy_pool_id, pool_id$"):
            ss._selected_pool_runtime_name({"name": ""}, "STRATEGY", "")


@pytest.mark.parametrize("value, expected", [
    (7, 7), (" 7 ", 7), ("\u0667", 7), (True, None), (0, None), (-3, None), ("0", None),
    ("7.5", None), (7.0, None), ("9" * 5000, None)])
def test_coerce_int_rule_id(ss, value, expected):
    assert ss._coerce_int_rule_id(value) == expected


class TestUniverseRules:
    @pytest.mark.parametrize("universes", [None, {}])
    def test_removed_universes_key(self, ss, universes):
        with pytest.raises(SdkRuntimeNotReadyError):
            ss._resolve_universe_rule_id_for_sdk({"universes": universes}, "u1")

    @pytest.mark.parametrize("rules, expected", [
        ({"u1": {"rule_id": " 12 "}}, 12), ({"u2": {"rule_id": 3}}, None), ([("u1", 3)], None)])
    def test_rule_id(self, ss, rules, expected):
        assert ss._resolve_universe_rule_id_for_sdk({"universe_rules": rules}, "u1") == expected

    def test_pool_thresholds(self, ss):
        entry = {"signal_is_thresholds": {}}
        pool = {"universes": {4: entry}}
        assert ss._resolve_pool_universe_thresholds(pool, 4) is entry
        assert ss._resolve_pool_universe_thresholds(pool, None) == {}
        assert ss._resolve_pool_universe_thresholds({"universes": [(4, entry)]}, 4) == {}

    @pytest.mark.parametrize("universes", [{"4": {}}, {4: {}, True: {}}, {0: {}}, {4.5: {}}])
    def test_bad_threshold_keys(self, ss, universes):
        with pytest.raises(SdkRuntimeNotReadyError):
            ss._resolve_pool_universe_thresholds({"universes": universes}, 4)
