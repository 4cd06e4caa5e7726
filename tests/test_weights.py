"""Rescale detection, weight finalisation and write-back, the evaluator adapter."""
import logging
from types import SimpleNamespace

import pytest

import tallowmere._runtime as runtime

LOGGER = "tallowmere.simulate_signal"


class Stage:
    def __init__(self, **fields):
        self.__dict__.update(fields)


class ExplodingStage:
    @property
    def name(self):
        raise RuntimeError("stage broken")


class TestStageValue:
    @pytest.mark.parametrize("stage, key, default, expected", [
        ({"name": "scale"}, "name", None, "scale"),
        ({}, "name", "fallback", "fallback"),
        ({"name": None}, "name", "fallback", None),
        (Stage(name="scale"), "name", None, "scale"),
        (Stage(), "default", 3, 3),
        (None, "name", "fallback", "fallback"),
    ])
    def test_values(self, ss, stage, key, default, expected):
        assert ss._stage_value(stage, key, default) == expected

    def test_default_is_none(self, ss):
        assert ss._stage_value(Stage(), "name") is None

    def test_attribute_errors_other_than_missing_propagate(self, ss):
        with pytest.raises(RuntimeError):
            ss._stage_value(ExplodingStage(), "name")


class TestResolvedStageOption:
    @pytest.mark.parametrize("stage, metaparameters, expected", [
        ({"name": "scale", "default": "keep"}, {"scale": "rescale"}, "rescale"),
        ({"name": "scale", "default": "keep"}, {"scale": None}, None),
        ({"name": "scale", "default": "keep"}, {"other": "x"}, "keep"),
        ({"name": "scale", "default": "keep"}, [("scale", "rescale")], "keep"),
        ({"name": "scale", "default": "keep"}, None, "keep"),
        ({"default": "keep"}, {None: "rescale"}, "rescale"),
        (Stage(name="s", default="d"), {"s": "chosen"}, "chosen"),
    ])
    def test_choice(self, ss, stage, metaparameters, expected):
        assert ss._resolved_stage_option(stage, metaparameters) == expected

    def test_stage_value_is_read_from_the_namespace(self, ss):
        ss._stage_value = lambda stage, name, default=None: f"<{name}>"
        assert ss._resolved_stage_option({}, {"<name>": "picked"}) == "picked"


class TestOptionUsesRescale:
    @pytest.mark.parametrize("option, option_config, expected", [
        ("rescale", None, True),
        ("latitudinal_fill_c3d683", None, True),
        ("l1_resize", None, True),
        ("keep", None, False),
        ("keep", "rescale", False),
        ("keep", {"rotation": "rescale"}, True),
        ("keep", {"transform": "l1_resize"}, True),
        ("keep", {"rotation": "rank", "transform": "l1_resize"}, False),
        ("keep", {"rotation": "", "transform": "l1_resize"}, True),
        ("keep", {"composite": ["rank", "rescale"]}, True),
        ("keep", {"composite": ("rank",)}, False),
        ("keep", {"composite": [{"name": "", "transform": "l1_resize"}]}, True),
        ("keep", {"composite": [{"name": "rank", "transform": "l1_resize"}]}, False),
        ("keep", {"composite": [{"rotation": "latitudinal_fill_c3d683"}]}, True),
        ("keep", {"composite": {"rescale"}}, False),
        ("keep", {"composite": "rescale"}, False),
        ("keep", {"composite": [["rescale"], 3, None]}, False),
        (["unhashable"], {}, False),
    ])
    def test_cases(self, ss, option, option_config, expected):
        assert ss._option_uses_rescale(option, option_config) is expected


def stage(name, default="keep", option_configs=None):
    result = {"name": name, "default": default}
    if option_configs is not None:
        result["option_configs"] = option_configs
    return result


class TestPipelineAppliesRescale:
    @pytest.mark.parametrize("pipeline, metaparameters, expected", [
        ([], {"scale": "rescale"}, False),
        (None, {"scale": "rescale"}, False),
        ((), None, False),
        ([stage("scale")], {"scale": "rescale"}, True),
        ([stage("scale")], {}, False),
        ([stage("scale", default="l1_resize")], None, True),
        ([stage("a"), stage("b")], {"b": "rescale"}, True),
        ([stage("scale", option_configs={"norm": {"transform": "l1_resize"}})],
         {"scale": "norm"}, True),
        ([stage("scale", option_configs=[("norm", {"transform": "l1_resize"})])],
         {"scale": "norm"}, False),
        ([stage("scale", option_configs={"norm": {"composite": {"rescale"}}})],
         {"scale": "norm"}, False),
        ([{"default": "keep"}], {None: "rescale"}, True),
        ([Stage(name="scale", default="keep", option_configs={"keep": {"rotation": "rescale"}})],
         None, True),
    ])
    def test_cases(self, ss, pipeline, metaparameters, expected):
        assert ss._pipeline_applies_rescale(pipeline, metaparameters) is expected

    def test_stops_at_the_first_rescaling_stage(self, ss):
        seen = []
        ss._option_uses_rescale = lambda option, config: seen.append(option) or option == "b"
        assert ss._pipeline_applies_rescale([stage("1", "a"), stage("2", "b"), stage("3", "c")],
                                            None) is True
        assert seen == ["a", "b"]

    def test_stage_errors_propagate(self, ss):
        with pytest.raises(RuntimeError):
            ss._pipeline_applies_rescale([ExplodingStage()], {})


class TestEmptyRuntimeStageData:
    def test_new_stage_data_each_call(self, ss, monkeypatch):
        class StageData:
            def __init__(self, *args, **kwargs):
                assert args == () and kwargs == {}

        monkeypatch.setattr(ss, "_import_typed_shapes", lambda: (object, StageData),
                            raising=False)
        first, second = ss._empty_runtime_stage_data(), ss._empty_runtime_stage_data()
        assert type(first) is StageData and first is not second

    @pytest.mark.parametrize("shapes", [(object,), (object, object, object)])
    def test_exactly_two_shapes(self, ss, monkeypatch, shapes):
        monkeypatch.setattr(ss, "_import_typed_shapes", lambda: shapes, raising=False)
        with pytest.raises(ValueError, match="values to unpack"):
            ss._empty_runtime_stage_data()


class TestFinalizeRescaledWeights:
    def test_uses_the_runtime_finaliser(self, ss):
        assert ss._finalize_rescaled_weights([1.0, -3.0]) == [0.25, -0.75]

    def test_finaliser_is_imported_at_call_time(self, ss, monkeypatch):
        monkeypatch.setattr(runtime, "_finalize_rescaled_runtime_weights",
                            lambda weights: ("final", weights))
        assert ss._finalize_rescaled_weights("w") == ("final", "w")

    def test_errors_propagate(self, ss, monkeypatch):
        monkeypatch.delattr(runtime, "_finalize_rescaled_runtime_weights")
        with pytest.raises(ImportError):
            ss._finalize_rescaled_weights([1.0])


# ---------------------------------------------------------------------------
# Write-back

class CachingBacktester:
    """A backtester adapter that caches its last evaluation."""

    def __init__(self, entry=None, key_error=None):
        self._last_weights = None
        self._last_eval_result = SimpleNamespace(weights=None)
        self.last_eval_result = None
        self._cache = {"key": entry} if entry is not None else {}
        self.key_calls = []
        self.key_error = key_error

    def _cache_key(self, *args, **kwargs):
        self.key_calls.append((args, kwargs))
        if self.key_error:
            raise self.key_error
        return "key"


class Frozen:
    """Refuses every attribute assignment."""

    def __setattr__(self, name, value):
        raise AttributeError(f"frozen: {name}")


class FrozenDict(dict):
    __slots__ = ()

    def __setitem__(self, key, value):
        raise TypeError("frozen mapping")


def debug_lines(caplog):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER]


@pytest.fixture
def debug(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return caplog


class TestInstallFinalizedWeights:
    def test_docstring(self, ss):
        assert ss._install_finalized_weights.__doc__ == (
            "Best-effort update for adapters that cache evaluated weights internally.")

    def test_none_backtester(self, ss, debug):
        assert ss._install_finalized_weights(None, "g", {}, "u1", [1]) is None
        assert debug_lines(debug) == []

    def test_every_cache_is_updated(self, ss, debug):
        entry = SimpleNamespace(weights=None)
        backtester = CachingBacktester(entry)
        backtester.last_eval_result = SimpleNamespace(weights=None)
        weights = [0.5, 0.5]
        assert ss._install_finalized_weights(backtester, "graph", {"m": 1}, "u1", weights) is None
        assert backtester._last_weights is weights
        assert backtester._last_eval_result.weights is weights
        assert backtester.last_eval_result.weights is weights
        assert entry.weights is weights
        assert backtester.key_calls == [(("graph",), {"metaparameters": {"m": 1},
                                                      "named_universe": "u1"})]
        assert debug_lines(debug) == []

    def test_plain_dict_entry(self, ss, debug):
        entry = {"weights": None}
        backtester = CachingBacktester(entry)
        ss._install_finalized_weights(backtester, "graph", {}, "u1", "w")
        assert entry == {"weights": "w"}
        line, = debug_lines(debug)
        assert line.startswith("failed to cache finalized weights on cache entry attribute: ")

    def test_entry_refusing_both_ways(self, ss, debug):
        backtester = CachingBacktester(FrozenDict())
        ss._install_finalized_weights(backtester, "graph", {}, "u1", "w")
        assert debug_lines(debug) == [
            "failed to cache finalized weights on cache entry attribute: "
            "'FrozenDict' object has no attribute 'weights'",
            "failed to cache finalized weights on cache entry mapping: frozen mapping",
        ]

    def test_failing_cache_key_leaves_the_cache_untouched(self, ss, debug):
        entry = SimpleNamespace(weights="old")
        backtester = CachingBacktester(entry, key_error=KeyError("no key"))
        ss._install_finalized_weights(backtester, "graph", {}, "u1", "w")
        assert entry.weights == "old" and backtester._last_weights == "w"
        assert debug_lines(debug) == []

    @pytest.mark.parametrize("cache, cache_key", [
        ([("key", "entry")], lambda *a, **kw: "key"),
        ({"key": "entry"}, "not callable"),
        ({"missing": SimpleNamespace(weights="old")}, lambda *a, **kw: "key"),
    ])
    def test_cache_skipped(self, ss, debug, cache, cache_key):
        backtester = SimpleNamespace(_cache=cache, _cache_key=cache_key)
        ss._install_finalized_weights(backtester, "graph", {}, "u1", "w")
        assert backtester._last_weights == "w" and debug_lines(debug) == []

    def test_failures_are_logged_and_the_rest_goes_on(self, ss, debug):
        entry = SimpleNamespace(weights=None)
        backtester = Frozen()
        object.__setattr__(backtester, "_last_eval_result", Frozen())
        object.__setattr__(backtester, "last_eval_result", Frozen())
        object.__setattr__(backtester, "_cache", {"key": entry})
        object.__setattr__(backtester, "_cache_key", lambda *a, **kw: "key")
        ss._install_finalized_weights(backtester, "graph", {}, "u1", "w")
        assert debug_lines(debug) == [
            "failed to cache finalized weights on backtester: frozen: _last_weights",
            "failed to cache finalized weights on _last_eval_result: frozen: weights",
            "failed to cache finalized weights on last_eval_result: frozen: weights",
        ]
        assert entry.weights == "w"
        assert all(r.levelno == logging.DEBUG for r in debug.records if r.name == LOGGER)

    def test_attribute_read_errors_propagate(self, ss):
        class Broken:
            @property
            def _last_eval_result(self):
                raise RuntimeError("read failed")
        with pytest.raises(RuntimeError, match="read failed"):
            ss._install_finalized_weights(Broken(), "graph", {}, "u1", "w")

    def test_logger_is_read_from_the_namespace(self, ss):
        lines = []
        ss.logger = SimpleNamespace(debug=lambda *args: lines.append(args))
        ss._install_finalized_weights(Frozen(), "graph", {}, "u1", "w")
        (fmt, error), = lines
        assert fmt == "failed to cache finalized weights on backtester: %s"
        assert isinstance(error, AttributeError)


# ---------------------------------------------------------------------------
# Evaluator adapter

class Delegate:
    def __init__(self, error=None):
        self.calls = []
        self.error = error

    def evaluate(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error:
            raise self.error
        return "evaluated"


class TestSimulationOrchestratorEvaluator:
    @pytest.mark.parametrize("call_kwargs, expected", [
        ({"a": 2, "b": 3}, {"a": 2, "b": 3}),
        ({}, {"a": 1}),
        ({"b": 3}, {"b": 3, "a": 1}),
    ])
    def test_callers_keywords_win(self, ss, call_kwargs, expected):
        delegate = Delegate()
        adapter = ss._SimulationOrchestratorEvaluator(delegate, {"a": 1})
        assert adapter.evaluate(**call_kwargs) == "evaluated"
        (args, kwargs), = delegate.calls
        assert args == () and kwargs == expected and list(kwargs) == list(expected)

    def test_extra_kwargs_are_copied(self, ss):
        extra = {"a": 1}
        delegate = Delegate()
        adapter = ss._SimulationOrchestratorEvaluator(delegate, extra)
        extra["a"] = 99
        adapter.evaluate()
        assert delegate.calls[0][1] == {"a": 1}
        assert adapter._extra_kwargs == {"a": 1} and adapter._extra_kwargs is not extra
        assert adapter._delegate is delegate

    def test_accepts_pairs_as_extra_kwargs(self, ss):
        delegate = Delegate()
        ss._SimulationOrchestratorEvaluator(delegate, [("x", 1)]).evaluate()
        assert delegate.calls[0][1] == {"x": 1}

    def test_positional_arguments_are_refused(self, ss):
        delegate = Delegate()
        adapter = ss._SimulationOrchestratorEvaluator(delegate, {})
        with pytest.raises(TypeError):
            adapter.evaluate("graph")
        assert delegate.calls == []

    def test_delegate_errors_propagate(self, ss):
        error = ValueError("evaluation failed")
        adapter = ss._SimulationOrchestratorEvaluator(Delegate(error), {})
        with pytest.raises(ValueError) as info:
            adapter.evaluate(graph="g")
        assert info.value is error

    def test_is_a_plain_class_of_the_module(self, ss):
        cls = ss._SimulationOrchestratorEvaluator
        assert cls.__module__ == "tallowmere.simulate_signal"
        assert cls.__bases__ == (object,)
        names = list(vars(ss))
        assert names.index("_SimulationOrchestratorEvaluator") < names.index("CancelledError")
