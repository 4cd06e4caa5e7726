"""Graph boundary: typed graph classes, conversion, refusal and inspection of graphs."""
import sys
import types

import pytest

from conftest import run_python

from tallowmere.functions import _typed_shapes
from tallowmere.functions._typed_shapes import FunctionGraphNode as N
from tallowmere.functions._typed_shapes import StageData

PROVIDERS = [
    "tallowmere.simulator_engine.batch_orchestrator",
    "tallowmere.simulator_engine.graph_validator",
    "tallowmere.simulator_engine.expression_evaluator",
]


def feature(name):
    return N("feature", name)


def chain(depth, leaf):
    """A typed graph `depth` rotation nodes deep above `leaf`."""
    node = leaf
    for _ in range(depth):
        node = N("rotation", "rank", [node])
    return node


def shapes_module(module_name):
    """A module defining its own graph classes, registered as importable."""
    mod = types.ModuleType(module_name)
    mod.FunctionGraphNode = type("FunctionGraphNode", (), {"__module__": module_name})
    mod.StageData = type("StageData", (), {"__module__": module_name})
    return mod


@pytest.fixture
def no_providers(monkeypatch):
    for provider in PROVIDERS:
        monkeypatch.delitem(sys.modules, provider, raising=False)
    return monkeypatch


class TestImportTypedShapes:
    def test_fallback_when_no_provider_is_loaded(self, ss, no_providers):
        assert ss._import_typed_shapes() == (N, StageData)
        assert not any(provider in sys.modules for provider in PROVIDERS)

    def test_loaded_provider_names_the_defining_module(self, ss, no_providers):
        defining = shapes_module("custom_graph_shapes")
        provider = types.ModuleType(PROVIDERS[1])
        provider.FunctionGraphNode = defining.FunctionGraphNode
        no_providers.setitem(sys.modules, "custom_graph_shapes", defining)
        no_providers.setitem(sys.modules, PROVIDERS[1], provider)
        assert ss._import_typed_shapes() == (defining.FunctionGraphNode, defining.StageData)
        assert PROVIDERS[0] not in sys.modules and PROVIDERS[2] not in sys.modules

    def test_providers_are_asked_in_order(self, ss, no_providers):
        first, second = shapes_module("shapes_one"), shapes_module("shapes_two")
        for module in (first, second):
            no_providers.setitem(sys.modules, module.__name__, module)
        for provider_name, defining in ((PROVIDERS[2], second), (PROVIDERS[0], first)):
            provider = types.ModuleType(provider_name)
            provider.FunctionGraphNode = defining.FunctionGraphNode
            no_providers.setitem(sys.modules, provider_name, provider)
        assert ss._import_typed_shapes()[0] is first.FunctionGraphNode

    @pytest.mark.parametrize("graph_cls", [
        None,                                               # provider without the class
        type("FunctionGraphNode", (), {"__module__": ""}),  # no defining module
        type("FunctionGraphNode", (), {"__module__": "no_such_graph_shapes_module"}),
    ])
    def test_unusable_provider_moves_on_to_the_fallback(self, ss, no_providers, graph_cls):
        provider = types.ModuleType(PROVIDERS[0])
        if graph_cls is not None:
            provider.FunctionGraphNode = graph_cls
        no_providers.setitem(sys.modules, PROVIDERS[0], provider)
        assert ss._import_typed_shapes() == (N, StageData)

    def test_defining_module_without_stage_data_propagates(self, ss, no_providers):
        defining = shapes_module("shapes_without_stage_data")
        del defining.StageData
        provider = types.ModuleType(PROVIDERS[0])
        provider.FunctionGraphNode = defining.FunctionGraphNode
        no_providers.setitem(sys.modules, defining.__name__, defining)
        no_providers.setitem(sys.modules, PROVIDERS[0], provider)
        with pytest.raises(AttributeError):
            ss._import_typed_shapes()

    @pytest.mark.parametrize("blocked", [None, types.ModuleType("empty_typed_shapes")])
    def test_no_typed_runtime(self, ss, no_providers, blocked):
        # None blocks the import; an empty module lacks the names.
        no_providers.setitem(sys.modules, "tallowmere.functions._typed_shapes", blocked)
        with pytest.raises(RuntimeError) as info:
            ss._import_typed_shapes()
        assert str(info.value) == "Typed graph runtime is required for direct simulation evaluation"
        assert info.value.__cause__ is None and info.value.__context__ is None
        assert info.value.__suppress_context__ is True


AGGREGATION_GRANDCHILD = {"type": "rotation", "node": "rank", "children": [
    {"type": "rotation", "node": "z", "children": [{"type": "aggregation", "node": "mean"}]}]}


class TestTypedRuntimeGraph:
    def test_plain_graph_is_built_with_from_raw(self, ss):
        raw = {"type": "rotation", "node": "rank", "children": [{"type": "feature", "node": "a"}]}
        typed = ss._typed_runtime_graph(raw)
        assert typed == N("rotation", "rank", [feature("a")])

    def test_typed_graph_comes_back_unchanged(self, ss):
        graph = N("rotation", "rank", [feature("a")])
        assert ss._typed_runtime_graph(graph) is graph

    @pytest.mark.parametrize("graph", [AGGREGATION_GRANDCHILD, N.from_raw(AGGREGATION_GRANDCHILD)])
    def test_aggregation_anywhere_is_refused(self, ss, graph):
        with pytest.raises(ValueError, match=r"^graph node type 'aggregation' is not allowed$"):
            ss._typed_runtime_graph(graph)

    def test_from_raw_errors_propagate(self, ss):
        with pytest.raises(TypeError, match="cannot build a FunctionGraphNode from list"):
            ss._typed_runtime_graph([1, 2])

    def test_helpers_are_read_from_the_namespace(self, ss):
        class Shapes:
            @classmethod
            def from_raw(cls, raw):
                return ("built", raw)

        checked = []
        ss._import_typed_shapes = lambda: (Shapes, object)
        ss._reject_public_aggregation_graph = checked.append
        assert ss._typed_runtime_graph("raw") == ("built", "raw")
        assert checked == [("built", "raw")]

    @pytest.mark.parametrize("shapes", [(N,), (N, StageData, None), 5])
    def test_shapes_must_be_a_pair(self, ss, shapes):
        ss._import_typed_shapes = lambda: shapes
        with pytest.raises((ValueError, TypeError), match="unpack"):
            ss._typed_runtime_graph(feature("a"))


class TestRejectPublicAggregationGraph:
    @pytest.mark.parametrize("graph", [
        feature("a"),
        N("rotation", "rank", []),
        types.SimpleNamespace(type="rotation", children=None),
        types.SimpleNamespace(),
        {"type": "aggregation", "node": "mean"},    # plain dicts are not looked into
        None,
    ])
    def test_accepted(self, ss, graph):
        assert ss._reject_public_aggregation_graph(graph) is None

    def test_very_deep_graph_needs_no_recursion(self, ss):
        deep = chain(200_000, feature("a"))
        assert ss._reject_public_aggregation_graph(deep) is None
        with pytest.raises(ValueError, match="'aggregation' is not allowed"):
            ss._reject_public_aggregation_graph(chain(200_000, N("aggregation", "mean")))

    def test_last_child_is_visited_next(self, ss):
        seen = []

        class Recording:
            def __init__(self, label, children=()):
                self.label, self.children = label, list(children)

            @property
            def type(self):
                seen.append(self.label)
                return "rotation"

        root = Recording("root", [Recording("a", [Recording("a1")]), Recording("b")])
        ss._reject_public_aggregation_graph(root)
        assert seen == ["root", "b", "a", "a1"]

    def test_failing_attribute_propagates(self, ss):
        class Broken:
            @property
            def type(self):
                raise KeyError("boom")

        with pytest.raises(KeyError):
            ss._reject_public_aggregation_graph(N("rotation", "rank", [Broken()]))


class TestRequireTypedRuntimeGraph:
    def test_typed_graph_comes_back(self, ss):
        graph = N("rotation", "rank", [feature("a")])
        assert ss._require_typed_runtime_graph(graph) is graph

    def test_aggregation_is_refused(self, ss):
        with pytest.raises(ValueError, match="'aggregation' is not allowed"):
            ss._require_typed_runtime_graph(N.from_raw(AGGREGATION_GRANDCHILD))

    @pytest.mark.parametrize("graph, type_name", [
        ({}, "dict"), (None, "NoneType"), ([feature("a")], "list"),
        (types.SimpleNamespace(type="feature", node="a", children=[]), "SimpleNamespace"),
    ])
    def test_other_graphs_are_refused(self, ss, graph, type_name):
        with pytest.raises(TypeError) as info:
            ss._require_typed_runtime_graph(graph)
        assert str(info.value) == (
            "graph must be FunctionGraphNode at the simulation runtime boundary; got " + type_name)


class TestHasFiltrationRuntimeGraph:
    def test_filtration_root_does_not_look_at_children(self, ss):
        root = N("filtration", "top", [])
        root.children = object()   # not iterable: never read
        assert ss._has_filtration_runtime_graph(root) is True

    @pytest.mark.parametrize("graph, expected", [
        (N("rotation", "rank", [feature("a"), feature("b")]), False),
        (feature("a"), False),
        (N("rotation", "rank", [feature("a"), N("rotation", "z", [N("filtration", "f")])]), True),
        (chain(50, N("filtration", "f")), True),
    ])
    def test_typed_trees(self, ss, graph, expected):
        assert ss._has_filtration_runtime_graph(graph) is expected

    def test_plain_graph_asks_the_sibling(self, ss):
        answer = object()
        asked = []
        ss._has_filtration_node = lambda graph: asked.append(graph) or answer
        graph = {"type": "filtration", "node": "f"}
        assert ss._has_filtration_runtime_graph(graph) is answer
        assert asked == [graph]

    def test_missing_children_attribute(self, ss):
        node = feature("a")
        del node.children
        with pytest.raises(AttributeError):
            ss._has_filtration_runtime_graph(node)

    def test_children_are_asked_through_the_namespace(self, ss):
        own = ss._has_filtration_runtime_graph
        ss._has_filtration_runtime_graph = lambda child: "yes"
        assert own(N("rotation", "rank", [feature("a")])) is True

    def test_stops_at_the_first_child_that_answers(self, ss):
        own = ss._has_filtration_runtime_graph
        asked = []
        ss._has_filtration_runtime_graph = lambda child: asked.append(child.node) or True
        assert own(N("rotation", "rank", [feature("a"), feature("b")])) is True
        assert asked == ["a"]


class TestSimulationGraphFeatureNames:
    @pytest.mark.parametrize("graph, expected", [
        ({"type": "rotation", "node": "r", "children": [
            {"type": "feature", "node": "a"},
            {"type": "rotation", "node": "s", "children": [{"type": "feature", "node": "b"}]},
            {"type": "feature", "node": "a"}]}, ("a", "b")),
        ({"type": "feature", "node": 7}, ()),
        ({"type": "rotation", "node": "r", "children": None}, ()),
        (N("rotation", "r", [feature("x"), N("rotation", "s", [feature("y")]), feature("x")]),
         ("x", "y")),
        (N("rotation", "r", [{"type": "feature", "node": "d"}, feature("t")]), ("d", "t")),
        (types.SimpleNamespace(type="feature", node="solo"), ("solo",)),
        ("not a graph", ()),
        (None, ()),
    ])
    def test_names_in_first_visit_order(self, ss, graph, expected):
        assert ss._simulation_graph_feature_names(graph) == expected

    def test_names_of_str_subclasses(self, ss):
        class Name(str):
            pass

        plain = ss._simulation_graph_feature_names({"type": "feature", "node": Name("p")})
        assert plain == ("p",) and type(plain[0]) is str
        typed = ss._simulation_graph_feature_names(feature(Name("t")))
        assert type(typed[0]) is Name


class TestPlainTrackingGraph:
    def test_typed_node_with_empty_optionals(self, ss):
        node = N("rotation", "rank", [feature("a")], config={}, family=None)
        plain = ss._plain_tracking_graph(node)
        assert plain == {"type": "rotation", "node": "rank", "children": [
            {"type": "feature", "node": "a", "children": []}]}
        assert list(plain) == ["type", "node", "children"]

    def test_typed_node_with_every_optional(self, ss):
        node = N("rotation", "rank", [], config={"window": feature("w")}, canonical_id="c1",
                 family=0, value=(1, 2))
        node.children = None
        plain = ss._plain_tracking_graph(node)
        assert list(plain) == ["type", "node", "children", "config", "canonical_id", "family",
                               "value"]
        assert plain["children"] == []
        assert plain["config"] == {"window": {"type": "feature", "node": "w", "children": []}}
        assert plain["family"] == 0 and plain["value"] == (1, 2)

    def test_type_and_node_are_not_converted(self, ss):
        inner = feature("x")
        plain = ss._plain_tracking_graph(N("rotation", inner, []))
        assert plain["node"] is inner

    @pytest.mark.parametrize("value", [
        (feature("a"),), "text", 3, None, 2.5, types.SimpleNamespace(type="t", node="n")])
    def test_other_values_come_back_unchanged(self, ss, value):
        assert ss._plain_tracking_graph(value) is value

    def test_containers_are_new_and_converted(self, ss):
        class Mapping(dict):
            pass

        class Sequence(list):
            pass

        source = Mapping(b=Sequence([feature("a")]), a=1)
        plain = ss._plain_tracking_graph(source)
        assert type(plain) is dict and list(plain) == ["b", "a"]
        assert type(plain["b"]) is list
        assert plain == {"b": [{"type": "feature", "node": "a", "children": []}], "a": 1}

    def test_nested_values_are_converted_through_the_namespace(self, ss):
        own = ss._plain_tracking_graph
        ss._plain_tracking_graph = lambda value: "converted"
        assert own({"k": 1, "j": [2]}) == {"k": "converted", "j": "converted"}


class TestDeepAndCyclicGraphs:
    """Recursive walkers raise RecursionError, they never crash the interpreter."""

    @pytest.mark.parametrize("walker", [
        "_has_filtration_runtime_graph", "_simulation_graph_feature_names",
        "_plain_tracking_graph"])
    def test_deep_typed_graph(self, ss, walker):
        with pytest.raises(RecursionError):
            getattr(ss, walker)(chain(100_000, feature("a")))

    @pytest.mark.parametrize("walker", ["_simulation_graph_feature_names", "_plain_tracking_graph"])
    def test_cyclic_plain_graph(self, ss, walker):
        node = {"type": "rotation", "node": "r", "children": []}
        node["children"].append(node)
        with pytest.raises(RecursionError):
            getattr(ss, walker)(node)

    def test_deep_graphs_on_a_thread_in_a_fresh_interpreter(self):
        code = """
import threading
import tallowmere.simulate_signal as ss
from tallowmere.functions._typed_shapes import FunctionGraphNode as N
node = N("feature", "a")
for _ in range(50_000):
    node = N("rotation", "r", [node])
plain = {"type": "feature", "node": "a"}
for _ in range(50_000):
    plain = {"type": "rotation", "node": "r", "children": [plain]}
outcomes = []
def run():
    for walker, graph in [(ss._has_filtration_runtime_graph, node),
                          (ss._simulation_graph_feature_names, plain),
                          (ss._plain_tracking_graph, plain)]:
        try:
            walker(graph)
        except RecursionError:
            outcomes.append("RecursionError")
    outcomes.append(ss._reject_public_aggregation_graph(node))
thread = threading.Thread(target=run)
thread.start()
thread.join(timeout=60)
print(outcomes)
"""
        proc = run_python(code, timeout=120)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.strip() == str(["RecursionError"] * 3 + [None])
