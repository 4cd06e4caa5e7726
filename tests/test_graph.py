"""Graph boundary: typed graph classes, conversion, refusal and inspection of graphs."""
import sys
import types

import pytest

from conftest import run_python

from tallowmere.functions._typed_shapes import FunctionGraphNode as N
from tallowmere.functions._typed_shapes import StageData

PROVIDERS = ["tallowmere.simulator_engine.batch_orchestrator",
             "tallowmere.simulator_engine.graph_validator",
             "tallowmere.simulator_engine.expression_evaluator"]
AGGREGATION_GRANDCHILD = {"type": "rotation", "node": "r", "children": [
    {"type": "rotation", "node": "z", "children": [{"type": "aggregation", "node": "mean"}]}]}


def feature(name):
    return N("feature", name)


def chain(depth, leaf):
    for _ in range(depth):
        leaf = N("rotation", "r", [leaf])
    return leaf


def unreadable_children(node):
    node.children = object()
    return node


@pytest.fixture
def no_providers(monkeypatch):
    for provider in PROVIDERS:
        monkeypatch.delitem(sys.modules, provider, raising=False)
    return monkeypatch


class TestImportTypedShapes:
    def test_fallback_imports_no_provider(self, ss, no_providers):
        assert ss._import_typed_shapes() == (N, StageData)
        assert not any(provider in sys.modules for provider in PROVIDERS)

    def test_classes_come_from_the_module_defining_the_loaded_providers_class(
            self, ss, no_providers):
        defining = types.ModuleType("custom_graph_shapes")
        defining.FunctionGraphNode = type("FunctionGraphNode", (), {"__module__": "custom_graph_shapes"})
        defining.StageData = type("StageData", (), {})
        provider = types.ModuleType(PROVIDERS[1])
        provider.FunctionGraphNode = defining.FunctionGraphNode
        no_providers.setitem(sys.modules, "custom_graph_shapes", defining)
        no_providers.setitem(sys.modules, PROVIDERS[1], provider)
        assert ss._import_typed_shapes() == (defining.FunctionGraphNode, defining.StageData)
        assert PROVIDERS[0] not in sys.modules and PROVIDERS[2] not in sys.modules

    @pytest.mark.parametrize("module_name", [None, "", "no_such_graph_shapes_module"])
    def test_unusable_provider_is_skipped(self, ss, no_providers, module_name):
        provider = types.ModuleType(PROVIDERS[0])
        if module_name is not None:
            provider.FunctionGraphNode = type("FunctionGraphNode", (), {"__module__": module_name})
        no_providers.setitem(sys.modules, PROVIDERS[0], provider)
        assert ss._import_typed_shapes() == (N, StageData)

    @pytest.mark.parametrize("blocked", [None, types.ModuleType("empty")])
    def test_no_typed_runtime(self, ss, no_providers, blocked):
        no_providers.setitem(sys.modules, "tallowmere.functions._typed_shapes", blocked)
        with pytest.raises(RuntimeError) as info:
            ss._import_typed_shapes()
        assert str(info.value) == "Typed graph runtime is required for direct simulation evaluation"
        assert info.value.__context__ is None and info.value.__suppress_context__


class TestTypedBoundary:
    def test_plain_graph_is_converted(self, ss):
        raw = {"type": "rotation", "node": "r", "children": [{"type": "feature", "node": "a"}]}
        assert ss._typed_runtime_graph(raw) == N("rotation", "r", [feature("a")])

    @pytest.mark.parametrize("check", ["_typed_runtime_graph", "_require_typed_runtime_graph"])
    def test_typed_graph_comes_back_checked(self, ss, check):
        graph = N("rotation", "r", [feature("a")])
        assert getattr(ss, check)(graph) is graph
        with pytest.raises(ValueError, match=r"^graph node type 'aggregation' is not allowed$"):
            getattr(ss, check)(N.from_raw(AGGREGATION_GRANDCHILD))

    def test_plain_aggregation_graph_is_refused_after_conversion(self, ss):
        with pytest.raises(ValueError, match="'aggregation' is not allowed"):
            ss._typed_runtime_graph(AGGREGATION_GRANDCHILD)

    @pytest.mark.parametrize("graph, type_name", [({}, "dict"), (None, "NoneType"),
                                                  (types.SimpleNamespace(), "SimpleNamespace")])
    def test_untyped_graph_is_refused(self, ss, graph, type_name):
        with pytest.raises(TypeError) as info:
            ss._require_typed_runtime_graph(graph)
        assert str(info.value) == (
            "graph must be FunctionGraphNode at the simulation runtime boundary; got " + type_name)

    @pytest.mark.parametrize("graph", [
        {"type": "aggregation"}, None, types.SimpleNamespace(type="rotation", children=None)])
    def test_reject_looks_only_at_attributes(self, ss, graph):
        assert ss._reject_public_aggregation_graph(graph) is None

    def test_reject_walks_a_very_deep_graph_without_recursion(self, ss):
        assert ss._reject_public_aggregation_graph(chain(200_000, feature("a"))) is None
        with pytest.raises(ValueError):
            ss._reject_public_aggregation_graph(chain(200_000, N("aggregation", "mean")))


class TestHasFiltrationRuntimeGraph:
    @pytest.mark.parametrize("graph, expected", [
        (unreadable_children(N("filtration", "f")), True),   # children never read
        (N("rotation", "r", [feature("a"), feature("b")]), False),
        (N("rotation", "r", [feature("a"), chain(3, N("filtration", "f"))]), True),
    ])
    def test_typed_trees(self, ss, graph, expected):
        assert ss._has_filtration_runtime_graph(graph) is expected

    def test_plain_graph_answer_comes_from_the_sibling_unchanged(self, ss):
        answer = object()
        ss._has_filtration_node = lambda graph: answer
        assert ss._has_filtration_runtime_graph({"type": "filtration"}) is answer


class TestFeatureNames:
    @pytest.mark.parametrize("graph, expected", [
        ({"type": "r", "node": "r", "children": [
            {"type": "feature", "node": "a"},
            {"type": "r", "node": "s", "children": [{"type": "feature", "node": "b"}]},
            {"type": "feature", "node": "a"}]}, ("a", "b")),
        ({"type": "feature", "node": 7, "children": None}, ()),
        (N("r", "r", [feature("x"), {"type": "feature", "node": "d"}, feature("x")]), ("x", "d")),
        ("not a graph", ()),
    ])
    def test_first_occurrences_in_visit_order(self, ss, graph, expected):
        assert ss._simulation_graph_feature_names(graph) == expected


class TestPlainTrackingGraph:
    def test_typed_node_with_empty_optionals(self, ss):
        plain = ss._plain_tracking_graph(N("r", "rank", [feature("a")], config={}, family=None))
        assert list(plain) == ["type", "node", "children"]
        assert plain["children"] == [{"type": "feature", "node": "a", "children": []}]

    def test_typed_node_with_every_optional(self, ss):
        node = N("r", "rank", [], config={"w": [feature("w")]}, canonical_id="c", family=0,
                 value=1.5)
        node.children = None
        plain = ss._plain_tracking_graph(node)
        assert plain == {"type": "r", "node": "rank", "children": [], "canonical_id": "c",
                         "config": {"w": [{"type": "feature", "node": "w", "children": []}]},
                         "family": 0, "value": 1.5}
        assert list(plain)[3:] == ["config", "canonical_id", "family", "value"]

    @pytest.mark.parametrize("value", [(feature("a"),), "s", None, types.SimpleNamespace(type=1)])
    def test_other_values_come_back_unchanged(self, ss, value):
        assert ss._plain_tracking_graph(value) is value


class TestDeepAndCyclicGraphs:
    """The recursive walkers raise RecursionError; they never crash the interpreter."""

    WALKERS = ["_has_filtration_runtime_graph", "_simulation_graph_feature_names",
               "_plain_tracking_graph"]

    @pytest.mark.parametrize("walker", WALKERS)
    def test_deep_typed_graph(self, ss, walker):
        with pytest.raises(RecursionError):
            getattr(ss, walker)(chain(100_000, feature("a")))

    @pytest.mark.parametrize("walker", WALKERS[1:])
    def test_cyclic_plain_graph(self, ss, walker):
        node = {"type": "r", "node": "r", "children": []}
        node["children"].append(node)
        with pytest.raises(RecursionError):
            getattr(ss, walker)(node)

    # The walkers stop where the thread's stack ends, not only at the
    # interpreter's recursion count (which allows far deeper C recursion on 3.13).
    # 128 KiB is the default thread stack of musl-based systems.
    STACK_SIZES = pytest.mark.parametrize("stack_size", [0, 128 * 1024, 512 * 1024],
                                          ids=["default stack", "128 KiB", "512 KiB"])
    ON_A_THREAD = """
import threading
threading.stack_size(STACK_SIZE)
import tallowmere.simulate_signal as ss
from tallowmere.functions._typed_shapes import FunctionGraphNode as N
outcomes = []
def on_a_thread(run):
    thread = threading.Thread(target=run)
    thread.start()
    thread.join(timeout=60)
"""

    @STACK_SIZES
    def test_on_a_thread_in_a_fresh_interpreter(self, stack_size):
        proc = run_python((self.ON_A_THREAD + """
node, plain = N("feature", "a"), {"type": "feature", "node": "a"}
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
on_a_thread(run)
print(outcomes)
""").replace("STACK_SIZE", str(stack_size)), timeout=120)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.strip() == str(["RecursionError"] * 3)

    # The stack kept in reserve leaves room for ordinary graphs and whole runs.
    @STACK_SIZES
    def test_shallow_graphs_run_on_a_thread(self, stack_size):
        proc = run_python((self.ON_A_THREAD + """
from doubles import Wiring, collect, start_signal, start_strategy
Wiring().wire(ss)
def run():
    graph = N("rotation", "r", [N("feature", "a")])
    outcomes.append(ss._has_filtration_runtime_graph(graph))
    outcomes.append(ss._simulation_graph_feature_names(ss._plain_tracking_graph(graph)))
    outcomes.append([collect(start(ss)).passed for start in (start_signal, start_strategy)])
on_a_thread(run)
print(outcomes)
""").replace("STACK_SIZE", str(stack_size)), timeout=120)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.strip() == str([False, ("a",), [True, True]])
