"""Property-based fuzzing: every function and method of the module and the entry
points, called with arbitrary values (None, bools, huge ints, NaN, hostile
strings, nested and self-containing containers, objects whose str, repr, ==,
hash, truth, length, iteration, float conversion, attribute access or class
check raise). Only a return value or an ordinary exception is allowed: no
crash, no SystemError (a reference or error-indicator mistake in native code),
no thread left running. Runs go to the recording doubles (or arbitrary objects
in their place); every handle is collected before the next example."""
import copy
import functools
import gc
import inspect
import os
from contextlib import contextmanager

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import doubles as d
import tallowmere.simulate_signal as module
from doubles import hostile, restored
from tallowmere.functions._typed_shapes import FunctionGraphNode

# Examples per function (and, times four, per whole-run property).
EXAMPLES = int(os.environ.get("SIMULATE_SIGNAL_FUZZ_EXAMPLES", "15"))
_SETTINGS = dict(deadline=None, database=None,
                 suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
FUZZ = settings(max_examples=EXAMPLES, **_SETTINGS)
FUZZ_RUNS = settings(max_examples=4 * EXAMPLES, **_SETTINGS)

FUNCTION_TYPE = type(module.init_simulate_signal)
# The two entry points start runs; they are fuzzed with their handles collected.
ENTRY_POINTS = ("simulate_signal", "simulate_strategy")
FUNCTIONS = sorted(name for name, value in vars(module).items()
                   if type(value) is FUNCTION_TYPE and name not in ENTRY_POINTS)
METHODS = sorted(f"{cls_name}.{name}" for cls_name, cls in vars(module).items()
                 if isinstance(cls, type) and cls.__module__ == module.__name__
                 for name, value in vars(cls).items() if type(value) is FUNCTION_TYPE)
PARAMETER_COUNTS = {
    path: len(inspect.signature(functools.reduce(getattr, path.split("."), module)).parameters)
    for path in FUNCTIONS + METHODS}


# --- Hostile objects -----------------------------------------------------------------------

BadNumber = hostile("__float__", "__int__", "__index__", "__abs__", "__neg__", "__add__",
                    "__radd__", "__sub__", "__rsub__", "__truediv__", "__rtruediv__")
BadInt = hostile("__eq__", "__index__", "__float__", "__bool__", "__hash__", "__lt__", "__gt__",
                 base=int)
BadEq = hostile("__eq__", "__ne__", "__lt__", "__gt__")
NotFloat = type("NotFloat", (), {"__float__": lambda self: "not a float"})


def nest(leaf, wrap, depth=5_000):
    for _ in range(depth):
        leaf = wrap(leaf)
    return leaf


def self_containing(value, inner):
    inner.append(value)
    return value


def self_containing_list():
    items = [1]
    return self_containing(items, items)


def self_containing_dict():
    mapping = {"type": "rotation", "node": "rank", "children": []}
    return self_containing(mapping, mapping["children"])


def cyclic_graph():
    node = FunctionGraphNode("rotation", "rank")
    return self_containing(node, node.children)


@functools.cache
def deep_list():
    return nest([], lambda x: [x])


deep_graph = lambda: nest(FunctionGraphNode("feature", "close"),  # noqa: E731
                          lambda n: FunctionGraphNode("rotation", "rank", [n]))
deep_dict_graph = lambda: nest({"type": "feature", "node": "close"},  # noqa: E731
                               lambda n: {"type": "rotation", "node": "rank", "children": [n]})
# What stands for each self-containing value where a walk would never end.
ACYCLIC = {cyclic_graph: deep_graph, self_containing_dict: deep_dict_graph,
           self_containing_list: deep_list}
HOSTILE = [hostile("__str__", "__repr__", "__format__"), BadEq, hostile("__hash__"),
           hostile("__bool__", "__len__"),
           hostile("__iter__", "__len__", "__getitem__", "__contains__"), BadNumber,
           hostile("__getattr__"),            # a missing attribute raises
           hostile("__getattribute__"), hostile(props=["__class__"]),  # isinstance() reads it
           NotFloat, hostile("get", "keys", "items", "values", "__getitem__", "__iter__",
                             "__contains__", "__len__", base=dict),
           hostile("__iter__", "__len__", "__getitem__", base=list),
           lambda: hostile("__eq__", "__ne__", "__hash__", "__contains__", base=str)("u1"),
           lambda: BadInt(3), self_containing_list, self_containing_dict, deep_list, cyclic_graph,
           deep_graph, deep_dict_graph, object]

SPECIAL_TEXT = ["", ".", "..", "a/b", "a\\b", "a\x00b", "u1", "sp1", "stp1", "SIGNAL", "STRATEGY",
                "signal", "strategy", "aggregation", "filtration", "rotation", "feature",
                "\ud800", "x" * 10_000, "/found_strategies/x/strategy_is/pnl.arrow",
                "u1/vocabulary.json"]
HUGE_INTS = [2 ** 63, -(2 ** 63) - 1, 2 ** 64, 10 ** 100, 10 ** 400, -(10 ** 400), 2 ** 31, -1, 0]

# Keys the module looks up in era configs, pools, stages and graphs: arbitrary
# mappings built from them get past the first checks.
KNOWN_KEYS = sorted({"market_id", "era_number", "signal_pools", "strategy_pools",
                     "universe_rules", "allowed_named_universes", "named_universe",
                     "transform_pipeline", "evaluated_pnl_columns", "column_labels",
                     "engine_definitions", "id", "signal_pool_id", "strategy_pool_id",
                     "signal_pool_name", "strategy_pool_name", "name", "universes",
                     "found_signal_ids", "is_correlation_threshold", "is_pnl_mi_threshold",
                     "strategy_is_pnl_mi_threshold", "rule_id", "pool_id", "default",
                     "option_configs", "rotation", "type", "node", "children", "frequency",
                     "signal_is_thresholds", "strategy_is_thresholds", "useful_signals",
                     "correlation_pnl_column", "pnl_mi_column", "bypassed_thresholds"})

class Make:
    """A hostile object while hypothesis works (it would trip over one)."""

    def __init__(self, factory):
        self.factory = factory

    def __repr__(self):
        return f"Make({getattr(self.factory, '__name__', 'hostile')})"


def realize(value, cycles=True):
    """`value` with each Make built (without cycles: self-containing ones deep)."""
    kind = type(value)
    if kind is Make:
        factory = value.factory if cycles else ACYCLIC.get(value.factory, value.factory)
        return factory()
    if kind in (list, tuple, frozenset):
        return kind(realize(item, cycles) for item in value)
    if kind is dict:
        return {realize(key, cycles): realize(item, cycles) for key, item in value.items()}
    if kind is FunctionGraphNode:
        return FunctionGraphNode(realize(value.type, cycles), realize(value.node, cycles),
                                 [realize(child, cycles) for child in value.children])
    return value


atoms = st.one_of(
    st.none(), st.booleans(), st.integers(), st.sampled_from(HUGE_INTS),
    st.floats(allow_nan=True, allow_infinity=True), st.text(max_size=8),
    st.sampled_from(SPECIAL_TEXT), st.binary(max_size=64), st.sampled_from([bytes(60)]),
    st.sampled_from(HOSTILE).map(Make),
)
hashable = st.one_of(st.none(), st.booleans(), st.integers(), st.text(max_size=8),
                     st.sampled_from(KNOWN_KEYS), st.just(Make(BadEq)))


def _containers(children):
    return st.one_of(
        st.lists(children, max_size=4), st.tuples(children, children),
        st.dictionaries(st.one_of(st.sampled_from(KNOWN_KEYS), hashable), children, max_size=5),
        st.frozensets(hashable, max_size=3),
        st.builds(FunctionGraphNode, st.one_of(st.sampled_from(SPECIAL_TEXT), children),
                  children, st.lists(children, max_size=3)),
    )


values = st.recursive(atoms, _containers, max_leaves=6)


# --- Safe wiring and outcomes --------------------------------------------------------------

_shared_wiring = []


@contextmanager
def wired(w=None):
    """The module wired (by default with doubles shared by the examples)."""
    if w is None:
        if not _shared_wiring:
            _shared_wiring.append(d.Wiring())
        w = _shared_wiring[0]
        w.log.calls.clear()
    with restored(module):
        yield w.wire(module)


def outcome(fn, *args, **kwargs):
    """fn's value, or None when it raised an ordinary exception."""
    try:
        return fn(*args, **kwargs)
    except SystemError as exc:
        raise AssertionError(f"SystemError from {fn!r}: {exc!r}") from exc
    except Exception:  # noqa: BLE001 - any ordinary exception is an allowed outcome
        return None


def collect(handle):
    """Wait (bounded) for a handle's run and take its outcome."""
    d.wait_done(handle)
    outcome(handle.status)
    outcome(handle.result)
    outcome(handle.cancel)
    outcome(handle.result)


def pipeline_threads():
    # type(), not isinstance(): hostile objects answer __class__ with an error.
    return [o._thread for o in gc.get_objects()
            if issubclass(type(o), module.SimulationHandle)
            and getattr(o, "_thread", None) is not None and o._thread.is_alive()]


@pytest.fixture(autouse=True)
def no_thread_left():
    yield
    # A handle the fuzzed call made but did not collect may still be ending.
    for thread in pipeline_threads():
        thread.join(10.0)
    assert not pipeline_threads()


def resolve(path):
    return functools.reduce(getattr, path.split("."), module)


def arguments(path):
    """As many positional arguments as the function has parameters, give or take one."""
    count = PARAMETER_COUNTS[path]
    return st.integers(max(0, count - 1), count + 1).flatmap(
        lambda n: st.lists(values, min_size=n, max_size=n))


# --- Every function and method, arbitrary arguments ----------------------------------------

def test_the_fuzzed_surface_is_complete():
    assert {"init_simulate_signal", "effective_simulation_options", "_pool_v2_signature",
            "_install_finalized_weights", "_tracking_metric"} <= set(FUNCTIONS)
    assert {"SimulationHandle.result", "SimulationHandle._run_pipeline",
            "SimulationResult.__repr__",
            "_SimulationOrchestratorEvaluator.evaluate"} <= set(METHODS)


KEYWORDS = st.one_of(st.sampled_from(KNOWN_KEYS + ["self", "graph", "value", "weights"]),
                    st.text(min_size=1, max_size=6))


# Two graph walks use an explicit stack, as Python would, and never end on a
# cyclic graph (they stay interruptible): the aggregation check at the graph
# boundary, and the sibling's filtration test that plain graphs are handed
# to. Whatever reaches them gets deep values instead of self-containing ones.
WALKS_WITHOUT_END_ON_CYCLES = {"_typed_runtime_graph", "_reject_public_aggregation_graph",
                               "_require_typed_runtime_graph", "_has_filtration_runtime_graph",
                               "SimulationHandle.__init__"}


@pytest.mark.parametrize("path", FUNCTIONS + METHODS)
@FUZZ
@given(data=st.data())
def test_arbitrary_arguments(path, data):
    fn = resolve(path)
    args = data.draw(arguments(path))
    kwargs = data.draw(st.one_of(st.just({}), st.dictionaries(KEYWORDS, values, max_size=3)))
    cycles = path not in WALKS_WITHOUT_END_ON_CYCLES
    with wired():
        outcome(fn, *realize(args, cycles), **realize(kwargs, cycles))


@FUZZ_RUNS
@given(era_config=values, names=st.lists(values, max_size=3))
def test_records_with_arbitrary_fields(era_config, names):
    # Reprs and comparisons of the records with hostile field values.
    era_config, names = realize(era_config), realize(names)
    result = module.SimulationResult(*names, was_diagnostic_only=era_config)
    outcome(repr, result)
    outcome(lambda: result == module.SimulationResult(stats=era_config))
    outcome(repr, module.SimulationStatus(era_config, *names[:2]))


# --- Entry points and whole runs -----------------------------------------------------------

def start(entry, *args, **kwargs):
    handle = outcome(entry, *args, **kwargs)
    if handle is not None:
        collect(handle)


ENTRY_KEYWORDS = ["named_universe", "market_id", "era_number", "metaparameters",
                  "include_correlation", "include_mi", "record", "return_series",
                  "return_weights", "fail_fast"]


@FUZZ_RUNS
@given(kind=st.sampled_from(["signal", "strategy"]), graph=values,
       kwargs=st.fixed_dictionaries({}, optional={k: values for k in ENTRY_KEYWORDS}),
       pool_id=st.one_of(st.sampled_from(["sp1", "stp1"]), values))
def test_entry_points_with_arbitrary_arguments(kind, graph, kwargs, pool_id):
    graph, kwargs, pool_id = realize(graph, False), realize(kwargs), realize(pool_id)
    with wired():
        key = "signal_pool_id" if kind == "signal" else "strategy_pool_id"
        start(getattr(module, "simulate_" + kind), graph, **kwargs, **{key: pool_id})
        # The same values with a graph that gets past the boundary, so they
        # reach the run itself.
        start(d.start, module, kind, universe=kwargs.pop("named_universe", "u1"), **kwargs)


def mutated(base, draw):
    """A realized copy of `base` with a few arbitrary values put in at random places."""
    tree = copy.deepcopy(base)
    for _ in range(draw(st.integers(1, 4))):
        node = tree
        while True:
            if isinstance(node, dict) and node:
                key = draw(st.sampled_from(sorted(node, key=repr)))
            elif isinstance(node, list) and node:
                key = draw(st.integers(0, len(node) - 1))
            else:
                break
            if not isinstance(node[key], (dict, list)) or draw(st.booleans()):
                node[key] = draw(values)
                break
            node = node[key]
    return realize(tree)


# Collaborator calls whose result the pipeline uses.
RESULT_CALLS = ["auth.get_wallet_secret", "sync_manager.request_for_sync",
                "sync_manager.get_manifest", "backtester.evaluate_expression",
                "backtester.run_backtest", "era_thread.get_current_era_number",
                "graph_validator.validate", "load_vocabulary", "load_found_signal_pnl",
                "correlate_per_pool", "compute_mi_per_pool", "compute_search_plan",
                "evaluate_threshold_gates", "BatchOrchestrator", "orchestrator.evaluate"]
BACKTEST_FIELDS = sorted(set(vars(d.BacktestResult())) - {"stats"})
STATS_FIELDS = sorted(vars(d.BacktestStats()))
# Attributes of the doubles that the pipeline reads.
ATTRIBUTES = [name.split(".") for name in (
    "sync_manager.bytes_downloaded sync_manager.total_bytes sync_manager._data_dir "
    "sync_manager.manifest sync_manager.sync_result backtester.raw_backtester "
    "backtester.evaluator backtester.search_plan_factory backtester.raw_vocabulary "
    "backtester.weights era_thread.current_era search_plan.n_jobs").split()]
INIT_PARAMETERS = list(inspect.signature(module.init_simulate_signal).parameters)


@FUZZ_RUNS
@given(data=st.data(), kind=st.sampled_from(["signal", "strategy"]),
       route=st.sampled_from(["adapter", "orchestrator", "direct"]))
def test_runs_on_arbitrary_collaborators_and_era_configs(data, kind, route):
    w = d.Wiring(route=route)
    with wired(w):
        overrides = {}
        if data.draw(st.booleans()):
            overrides["era_config"] = mutated(w.era_config, data.draw)
        for name in data.draw(st.lists(st.sampled_from(INIT_PARAMETERS), max_size=2)):
            overrides[name] = realize(data.draw(values))
        for call in data.draw(st.lists(st.sampled_from(RESULT_CALLS), max_size=3)):
            w.log.returns(call, realize(data.draw(values)))
        for owner, attribute in data.draw(st.lists(st.sampled_from(ATTRIBUTES), max_size=2)):
            setattr(getattr(w, owner), attribute, realize(data.draw(values)))
        if data.draw(st.booleans()):
            stats = d.BacktestStats(**realize(data.draw(
                st.dictionaries(st.sampled_from(STATS_FIELDS), values))))
            w.backtester.result = d.BacktestResult(stats=stats, **realize(data.draw(
                st.dictionaries(st.sampled_from(BACKTEST_FIELDS), values))))
        if outcome(w.wire, module, **overrides) is None:
            return   # wiring itself refused the values (e.g. a hostile guard)
        start(d.start, module, kind)


@FUZZ_RUNS
@given(era_config=st.one_of(values, st.builds(lambda: d.era_config())),
       mutate=st.booleans(), data=st.data())
def test_effective_simulation_options_on_arbitrary_era_configs(era_config, mutate, data):
    era_config = mutated(era_config, data.draw) if mutate else realize(era_config)
    outcome(module.effective_simulation_options, era_config)
