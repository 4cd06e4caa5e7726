"""Stand-in: graph validator."""
from dataclasses import dataclass, field

from tallowmere.functions._typed_shapes import FunctionGraphNode, StageData  # noqa: F401


@dataclass
class ValidatorConfig:
    max_depth: int = 32
    allowed_node_types: tuple = ("feature", "rotation", "filtration")
    extra: dict = field(default_factory=dict)


class GraphValidator:
    """Checks node types, depth and feature names of a typed graph."""

    def __init__(self, registry=None, feature_names=(), aggregation_names=(), config=None):
        self.registry = registry
        self.feature_names = frozenset(feature_names)
        self.aggregation_names = frozenset(aggregation_names)
        self.config = config or ValidatorConfig()

    def validate(self, graph, expression_type):
        stack = [(graph, 1)]
        while stack:
            node, depth = stack.pop()
            if depth > self.config.max_depth:
                raise ValueError("graph is too deep")
            if node.type not in self.config.allowed_node_types:
                raise ValueError(f"node type not allowed: {node.type!r}")
            if node.type == "feature" and self.feature_names and (
                    node.node not in self.feature_names):
                raise ValueError(f"unknown feature: {node.node!r}")
            stack.extend((child, depth + 1) for child in node.children or ())
        return True
