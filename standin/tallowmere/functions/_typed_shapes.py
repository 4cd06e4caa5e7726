"""Stand-in: typed expression-graph nodes."""


class FunctionGraphNode:
    """One node of an expression graph: ``type``, ``node`` and ``children``."""

    def __init__(self, type, node, children=(), config=None, canonical_id=None, family=None,
                 value=None):
        self.type = type
        self.node = node
        self.children = list(children)
        self.config = config
        self.canonical_id = canonical_id
        self.family = family
        self.value = value

    @classmethod
    def from_raw(cls, raw):
        """Build a typed graph from nested dicts (keys type, node, children, ...)."""
        if isinstance(raw, cls):
            return raw
        if not isinstance(raw, dict):
            raise TypeError(f"cannot build a FunctionGraphNode from {type(raw).__name__}")
        if "type" not in raw or "node" not in raw:
            raise ValueError("graph node needs 'type' and 'node'")
        return cls(raw["type"], raw["node"],
                   [cls.from_raw(child) for child in raw.get("children") or ()],
                   config=raw.get("config"), canonical_id=raw.get("canonical_id"),
                   family=raw.get("family"), value=raw.get("value"))

    def __eq__(self, other):
        return type(other) is type(self) and vars(other) == vars(self)

    __hash__ = object.__hash__

    def __repr__(self):
        return f"FunctionGraphNode({self.type!r}, {self.node!r}, {self.children!r})"


class StageData:
    """Per-stage evaluation data (empty until a stage fills it)."""

    def __init__(self, **fields):
        self.__dict__.update(fields)
