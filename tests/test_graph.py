"""Graph boundary edges: where the typed graph classes come from, and the
depth limits of the graph walks."""
import sys
import types

import pytest

from conftest import run_python
from tallowmere.functions._typed_shapes import FunctionGraphNode as N
from tallowmere.functions._typed_shapes import StageData

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
def run():
    node, plain = N("feature", "a"), {"type": "feature", "node": "a"}
    for _ in range(50_000):
        node, plain = N("r", "r", [node]), {"type": "r", "node": "r", "children": [plain]}
    for walker, graph in [(ss._has_filtration_runtime_graph, node),
                          (ss._simulation_graph_feature_names, plain),
                          (ss._plain_tracking_graph, plain)]:
        try:
            walker(graph)
        except RecursionError:
            outcomes.append("RecursionError")
    graph = N("rotation", "r", [N("feature", "a")])
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
