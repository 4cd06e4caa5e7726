"""Turns expression graphs into portfolio weights, and checks graphs first.

A graph is a tree of nodes with ``type``, ``node`` (the name) and ``children``,
given either as typed nodes (attributes) or as plain dicts (keys); a node may
also carry a ``config`` dict. Every node evaluates to a (dates x instruments)
matrix of floats, NaN where no value exists.

Node semantics:

- ``feature`` nodes (no children): the named feature's matrix.
- ``rotation`` nodes transform their children's matrices. Two families:
  the vocabulary's *rotations* work across instruments on each date
  (``rank``, ``zscore``, ``demean``, ``neg``, ``sign``, ``add``, ``sub``,
  ``mul``); its *reductions* work along time for each instrument
  (``lag_1``, ``delta_1``, ``ts_mean_5``, ``ts_mean_20``).
- ``filtration`` nodes, only in strategies, filter the runtime's useful
  signals (each a weights matrix) or filter positions:
  ``useful_blend`` averages the useful signals (``config["signal_ids"]``
  restricts them), ``useful_top`` averages the ``config["k"]`` (default 2)
  with the highest in-sample Sharpe, ``where_positive(signal, condition)``
  keeps the signal where the condition is positive and is 0 elsewhere.

The evaluated matrix then becomes weights: instruments outside the named
universe are set to NaN, the era's transform stages run in order (each
stage's option comes from the metaparameters, else its default), and NaN
becomes 0.
"""
from dataclasses import dataclass

import numpy as np

FEATURE, ROTATION, FILTRATION = "feature", "rotation", "filtration"
MAX_DEPTH = 32


def _row_rank(matrix):
    """Average ranks across each row, scaled to [-0.5, 0.5]; NaN stays NaN."""
    out = np.full(matrix.shape, np.nan)
    for t, row in enumerate(matrix):
        valid = ~np.isnan(row)
        count = int(valid.sum())
        if count == 0:
            continue
        if count == 1:
            out[t, valid] = 0.0
            continue
        values, inverse, counts = np.unique(row[valid], return_inverse=True,
                                            return_counts=True)
        first_rank = np.cumsum(counts) - counts
        average_rank = first_rank + (counts - 1) / 2.0
        out[t, valid] = average_rank[inverse] / (count - 1) - 0.5
    return out


def _row_demean(matrix):
    return matrix - _row_mean(matrix)


def _row_mean(matrix):
    valid = ~np.isnan(matrix)
    counts = valid.sum(axis=1, keepdims=True)
    totals = np.where(valid, matrix, 0.0).sum(axis=1, keepdims=True)
    return np.divide(totals, counts, out=np.full(counts.shape, np.nan), where=counts > 0)


def _row_zscore(matrix):
    centred = _row_demean(matrix)
    spread = np.sqrt(_row_mean(centred ** 2))
    return np.divide(centred, spread, out=np.where(np.isnan(centred), np.nan, 0.0),
                     where=spread > 0)


def _lag(matrix, periods=1):
    out = np.full(matrix.shape, np.nan)
    out[periods:] = matrix[:-periods]
    return out


def _ts_mean(window):
    def reduce(matrix):
        out = np.full(matrix.shape, np.nan)
        if len(matrix) >= window:
            windows = np.lib.stride_tricks.sliding_window_view(matrix, window, axis=0)
            out[window - 1:] = windows.mean(axis=-1)
        return out
    return reduce


@dataclass(frozen=True)
class NodeFunction:
    kind: str      # "rotations", "reductions" or "filtrations" (vocabulary section)
    arity: int
    doc: str
    apply: object = None


FUNCTIONS = {
    "rank": NodeFunction("rotations", 1, "cross-sectional average rank scaled to [-0.5, 0.5]",
                         _row_rank),
    "zscore": NodeFunction("rotations", 1, "(x - mean) / std across instruments, std ddof 0",
                           _row_zscore),
    "demean": NodeFunction("rotations", 1, "x minus its cross-sectional mean", _row_demean),
    "neg": NodeFunction("rotations", 1, "-x", np.negative),
    "sign": NodeFunction("rotations", 1, "sign of x (-1, 0, 1)", np.sign),
    "add": NodeFunction("rotations", 2, "a + b", np.add),
    "sub": NodeFunction("rotations", 2, "a - b", np.subtract),
    "mul": NodeFunction("rotations", 2, "a * b", np.multiply),
    "lag_1": NodeFunction("reductions", 1, "x of the previous date", _lag),
    "delta_1": NodeFunction("reductions", 1, "x minus x of the previous date",
                            lambda x: x - _lag(x)),
    "ts_mean_5": NodeFunction("reductions", 1, "mean of x over the last 5 dates", _ts_mean(5)),
    "ts_mean_20": NodeFunction("reductions", 1, "mean of x over the last 20 dates",
                               _ts_mean(20)),
    "useful_blend": NodeFunction("filtrations", 0,
                                 "mean of the useful signals (config signal_ids restricts)"),
    "useful_top": NodeFunction("filtrations", 0,
                               "mean of the config k (default 2) useful signals with the "
                               "highest in-sample Sharpe"),
    "where_positive": NodeFunction("filtrations", 2, "signal where condition > 0, else 0"),
}

# The node type each vocabulary section is written as in a graph.
NODE_TYPE_OF_KIND = {"rotations": ROTATION, "reductions": ROTATION, "filtrations": FILTRATION}


def node_parts(node):
    """(type, name, children, config) of a typed or plain node."""
    if isinstance(node, dict):
        return (node.get("type"), node.get("node"), list(node.get("children") or ()),
                node.get("config") or {})
    return (getattr(node, "type", None), getattr(node, "node", None),
            list(getattr(node, "children", None) or ()), getattr(node, "config", None) or {})


def plain_graph(node):
    """A graph as nested plain dicts (type, node, children, and config when set)."""
    node_type, name, children, config = node_parts(node)
    plain = {"type": node_type, "node": name, "children": [plain_graph(c) for c in children]}
    if config:
        plain["config"] = dict(config)
    return plain


@dataclass(frozen=True, eq=False)
class UsefulSignal:
    """A signal already accepted in a signal pool, as strategies see it."""

    signal_id: str
    signal_pool_id: str
    weights: np.ndarray
    sharpe: float


class GraphValidator:
    """Refuses graphs the evaluator cannot run, with a message naming the node.

    Checks, for every node: a known node type; a name listed in the matching
    vocabulary section; as many children as the function's arity (feature
    nodes have none); no filtration node in a signal graph; depth at most
    ``max_depth``.
    """

    def __init__(self, vocabulary, max_depth=MAX_DEPTH):
        self.features = frozenset(vocabulary["features"])
        self.arity = {}
        for kind, node_type in NODE_TYPE_OF_KIND.items():
            for name, spec in vocabulary[kind].items():
                self.arity[(node_type, name)] = int(spec["arity"])
        self.max_depth = max_depth

    def validate(self, graph, expression_type):
        stack = [(graph, 1)]
        while stack:
            node, depth = stack.pop()
            node_type, name, children, _config = node_parts(node)
            if depth > self.max_depth:
                raise ValueError(f"graph is deeper than {self.max_depth} levels")
            if node_type == FEATURE:
                if name not in self.features:
                    raise ValueError(f"unknown feature {name!r}; known features: "
                                     f"{sorted(self.features)}")
                expected = 0
            elif node_type in (ROTATION, FILTRATION):
                if node_type == FILTRATION and expression_type != "STRATEGY":
                    raise ValueError(f"filtration node {name!r} is only allowed in strategies")
                if (node_type, name) not in self.arity:
                    raise ValueError(f"unknown {node_type} {name!r}")
                expected = self.arity[(node_type, name)]
            else:
                raise ValueError(f"node type not allowed: {node_type!r}")
            if len(children) != expected:
                raise ValueError(f"{node_type} {name!r} takes {expected} children, "
                                 f"got {len(children)}")
            stack.extend((child, depth + 1) for child in children)
        return None


def stage_options(transform_pipeline, metaparameters):
    """[(stage name, transform name)] in pipeline order.

    ``metaparameters`` maps stage names to options, or is the per-pool form
    ``{pool_id: {stage: option}}`` for exactly one pool.
    """
    chosen = _flat_metaparameters(metaparameters)
    steps = []
    for stage in transform_pipeline:
        name = stage["name"]
        option = chosen.get(name, stage.get("default"))
        configs = stage.get("option_configs") or {}
        if option not in configs:
            raise ValueError(f"unknown option {option!r} for transform stage {name!r}; "
                             f"options: {sorted(configs)}")
        steps.append((name, configs[option]["transform"]))
    return steps


def _flat_metaparameters(metaparameters):
    if not metaparameters:
        return {}
    if not isinstance(metaparameters, dict):
        raise TypeError("metaparameters must be a dict")
    if all(isinstance(value, dict) for value in metaparameters.values()):
        if len(metaparameters) != 1:
            raise ValueError("per-pool metaparameters must name exactly one pool")
        return next(iter(metaparameters.values()))
    return metaparameters


def _l1_resize(matrix):
    """Each date's weights divided by their absolute sum; all-zero dates stay zero."""
    gross = np.nansum(np.abs(matrix), axis=1, keepdims=True)
    return np.divide(matrix, gross, out=np.where(np.isnan(matrix), np.nan, 0.0),
                     where=gross > 0)


TRANSFORMS = {
    "identity": lambda matrix: matrix,
    "demean": _row_demean,
    "l1_resize": _l1_resize,
    "rescale": _l1_resize,
}


class Evaluator:
    """Evaluates graphs on features from ``feature_source(name)``.

    ``universes`` maps named universes to boolean instrument masks;
    ``transform_pipeline`` is the era's list of stages; ``useful_signals``
    maps signal ids to ``UsefulSignal`` for strategy filtrations.
    """

    def __init__(self, feature_source, universes, transform_pipeline, useful_signals=None):
        self.feature_source = feature_source
        self.universes = universes
        self.transform_pipeline = transform_pipeline
        self.useful_signals = dict(useful_signals or {})

    def evaluate(self, graph, *, named_universe, metaparameters=None):
        """The weights matrix (dates x instruments, floats, no NaN) of ``graph``."""
        if named_universe not in self.universes:
            raise ValueError(f"unknown named universe {named_universe!r}")
        steps = stage_options(self.transform_pipeline, metaparameters)
        matrix = np.array(self._node(graph, 1), dtype=float)
        matrix[:, ~self.universes[named_universe]] = np.nan
        for _stage, transform in steps:
            matrix = TRANSFORMS[transform](matrix)
        return np.nan_to_num(matrix, nan=0.0, posinf=0.0, neginf=0.0)

    def _node(self, node, depth):
        if depth > MAX_DEPTH:
            raise ValueError(f"graph is deeper than {MAX_DEPTH} levels")
        node_type, name, children, config = node_parts(node)
        if node_type == FEATURE:
            if children:
                raise ValueError(f"feature {name!r} takes no children")
            return self.feature_source(name)
        function = FUNCTIONS.get(name)
        if function is None or NODE_TYPE_OF_KIND[function.kind] != node_type:
            raise ValueError(f"unknown {node_type} {name!r}")
        if len(children) != function.arity:
            raise ValueError(f"{node_type} {name!r} takes {function.arity} children, "
                             f"got {len(children)}")
        inputs = [self._node(child, depth + 1) for child in children]
        if node_type == ROTATION:
            return function.apply(*inputs)
        return self._filtration(name, inputs, config)

    def _filtration(self, name, inputs, config):
        if not isinstance(config, dict):
            raise ValueError(f"config of filtration {name!r} must be a dict")
        if name == "where_positive":
            signal, condition = inputs
            return np.where(np.nan_to_num(condition, nan=0.0) > 0, signal, 0.0)
        chosen = list(self.useful_signals.values())
        if name == "useful_blend" and config.get("signal_ids"):
            wanted = [str(sid) for sid in config["signal_ids"]]
            unknown = [sid for sid in wanted if sid not in self.useful_signals]
            if unknown:
                raise ValueError(f"unknown useful signals: {unknown}")
            chosen = [self.useful_signals[sid] for sid in wanted]
        elif name == "useful_top":
            k = int(config.get("k", 2))
            chosen = sorted(chosen, key=lambda s: s.sharpe, reverse=True)[:max(k, 0)]
        if not chosen:
            raise ValueError(f"filtration {name!r} selects no useful signals")
        return np.mean([signal.weights for signal in chosen], axis=0)
