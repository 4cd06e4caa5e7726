"""Rescale detection, weight finalisation and write-back, the evaluator adapter."""
import logging
from types import SimpleNamespace as NS

import pytest

import tallowmere._runtime as runtime


class BrokenStage:
    @property
    def name(self):
        raise RuntimeError("stage broken")


@pytest.mark.parametrize("stage, metaparameters, expected", [
    ({"name": "s", "default": "keep"}, {"s": "rescale"}, "rescale"),
    ({"name": "s", "default": "keep"}, {"s": None}, None),
    ({"name": "s", "default": "keep"}, [("s", "rescale")], "keep"),
    ({"default": "keep"}, {None: "rescale"}, "rescale"),
    (NS(name="s", default="d"), {"s": "chosen"}, "chosen"),
    (NS(), {}, None),
])
def test_resolved_stage_option(ss, stage, metaparameters, expected):
    assert ss._resolved_stage_option(stage, metaparameters) == expected


@pytest.mark.parametrize("option, option_config, expected", [
    ("rescale", None, True), ("latitudinal_fill_c3d683", None, True), ("l1_resize", None, True),
    ("keep", "rescale", False),
    ("keep", {"rotation": "rescale"}, True),
    ("keep", {"rotation": "", "transform": "l1_resize"}, True),
    ("keep", {"rotation": "rank", "transform": "l1_resize"}, False),
    ("keep", {"composite": ("rank", "rescale")}, True),
    ("keep", {"composite": [{"name": "", "transform": "l1_resize"}]}, True),
    ("keep", {"composite": [{"name": "rank", "transform": "l1_resize"}]}, False),
    ("keep", {"composite": {"rescale"}}, False),
    ("keep", {"composite": [["rescale"], None]}, False),
    (["unhashable"], {}, False),
])
def test_option_uses_rescale(ss, option, option_config, expected):
    assert ss._option_uses_rescale(option, option_config) is expected


def stage(name, default="keep", **option_configs):
    return {"name": name, "default": default, "option_configs": option_configs}


@pytest.mark.parametrize("pipeline, metaparameters, expected", [
    ([], {"s": "rescale"}, False), (None, None, False),
    ([stage("s")], {"s": "rescale"}, True), ([stage("s")], {}, False),
    ([stage("a"), stage("b", default="l1_resize")], None, True),
    ([stage("s", norm={"transform": "l1_resize"})], {"s": "norm"}, True),
    ([{"name": "s", "option_configs": [("norm", {"transform": "l1_resize"})]}], {"s": "norm"},
     False),
    ([NS(name="s", default="keep", option_configs={"keep": {"rotation": "rescale"}})], {}, True),
])
def test_pipeline_applies_rescale(ss, pipeline, metaparameters, expected):
    assert ss._pipeline_applies_rescale(pipeline, metaparameters) is expected


def test_pipeline_stage_errors_propagate(ss):
    with pytest.raises(RuntimeError):
        ss._pipeline_applies_rescale([BrokenStage()], {})


def test_empty_runtime_stage_data(ss, monkeypatch):
    StageData = type("StageData", (), {})
    monkeypatch.setattr(ss, "_import_typed_shapes", lambda: (object, StageData), raising=False)
    first, second = ss._empty_runtime_stage_data(), ss._empty_runtime_stage_data()
    assert type(first) is StageData and first is not second
    monkeypatch.setattr(ss, "_import_typed_shapes", lambda: (object,) * 3)
    with pytest.raises(ValueError, match="too many values to unpack"):
        ss._empty_runtime_stage_data()


def test_finalize_rescaled_weights(ss, monkeypatch):
    assert ss._finalize_rescaled_weights([1.0, -3.0]) == [0.25, -0.75]
    monkeypatch.setattr(runtime, "_finalize_rescaled_runtime_weights", lambda w: ("final", w))
    assert ss._finalize_rescaled_weights("w") == ("final", "w")


class Frozen:
    def __setattr__(self, name, value):
        raise AttributeError(f"frozen: {name}")


class FrozenDict(dict):
    __slots__ = ()

    def __setitem__(self, key, value):
        raise TypeError("frozen mapping")


def caching_backtester(entry, key=lambda *a, **kw: "key", cls=NS):
    backtester = cls()
    fields = dict(_last_eval_result=NS(weights=None), last_eval_result=None,
                  _cache={"key": entry}, _cache_key=key)
    for name, value in fields.items():
        object.__setattr__(backtester, name, value)
    return backtester


@pytest.fixture
def debug_lines(caplog):
    caplog.set_level(logging.DEBUG, logger="tallowmere.simulate_signal")
    return lambda: [r.getMessage() for r in caplog.records
                    if r.name == "tallowmere.simulate_signal" and r.levelno == logging.DEBUG]


def test_install_updates_every_cache(ss, debug_lines):
    calls, entry = [], NS(weights=None)
    backtester = caching_backtester(entry, key=lambda *a, **kw: calls.append((a, kw)) or "key")
    assert ss._install_finalized_weights(backtester, "graph", {"m": 1}, "u1", "w") is None
    assert backtester._last_weights == backtester._last_eval_result.weights == "w"
    assert entry.weights == "w" and debug_lines() == []
    assert calls == [(("graph",), {"metaparameters": {"m": 1}, "named_universe": "u1"})]
    assert ss._install_finalized_weights(None, "graph", {}, "u1", "w") is None


def setattr_error(obj):
    """The interpreter's own message (its wording differs between versions)."""
    try:
        obj.weights = "w"
    except AttributeError as exc:
        return str(exc)


@pytest.mark.parametrize("entry, updated, lines", [
    ({}, {"weights": "w"}, ["attribute: " + setattr_error({})]),
    (FrozenDict(), {}, ["attribute: " + setattr_error(FrozenDict()),
                        "mapping: frozen mapping"]),
])
def test_install_into_mapping_entries(ss, debug_lines, entry, updated, lines):
    ss._install_finalized_weights(caching_backtester(entry), "graph", {}, "u1", "w")
    assert entry == updated
    assert debug_lines() == ["failed to cache finalized weights on cache entry " + line
                             for line in lines]


def test_install_with_failing_cache_key_leaves_the_cache_alone(ss, debug_lines):
    def key(*args, **kwargs):
        raise KeyError("no key")
    entry = NS(weights="old")
    ss._install_finalized_weights(caching_backtester(entry, key), "graph", {}, "u1", "w")
    assert entry.weights == "old" and debug_lines() == []


def test_install_failures_are_logged_and_the_rest_goes_on(ss, debug_lines):
    entry = NS(weights=None)
    backtester = caching_backtester(entry, cls=Frozen)
    object.__setattr__(backtester, "_last_eval_result", Frozen())
    object.__setattr__(backtester, "last_eval_result", Frozen())
    ss._install_finalized_weights(backtester, "graph", {}, "u1", "w")
    assert debug_lines() == [
        "failed to cache finalized weights on backtester: frozen: _last_weights",
        "failed to cache finalized weights on _last_eval_result: frozen: weights",
        "failed to cache finalized weights on last_eval_result: frozen: weights",
    ]
    assert entry.weights == "w"


def test_install_attribute_read_errors_propagate(ss):
    class Broken:
        @property
        def _last_eval_result(self):
            raise RuntimeError("read failed")
    with pytest.raises(RuntimeError, match="read failed"):
        ss._install_finalized_weights(Broken(), "graph", {}, "u1", "w")


class Delegate:
    def __init__(self):
        self.calls = []

    def evaluate(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return "evaluated"


@pytest.mark.parametrize("call_kwargs, expected", [
    ({"a": 2, "b": 3}, {"a": 2, "b": 3}), ({}, {"a": 1}), ({"b": 3}, {"b": 3, "a": 1}),
])
def test_evaluator_callers_keywords_win(ss, call_kwargs, expected):
    extra, delegate = {"a": 1}, Delegate()
    adapter = ss._SimulationOrchestratorEvaluator(delegate, extra)
    extra["a"] = 99  # the adapter keeps its own copy
    assert adapter.evaluate(**call_kwargs) == "evaluated"
    assert delegate.calls == [((), expected)]


def test_evaluator_refuses_positional_arguments(ss):
    delegate = Delegate()
    adapter = ss._SimulationOrchestratorEvaluator(delegate, {})
    with pytest.raises(TypeError):
        adapter.evaluate("graph")
    assert delegate.calls == [] and adapter._delegate is delegate
    assert ss._SimulationOrchestratorEvaluator.__module__ == "tallowmere.simulate_signal"
