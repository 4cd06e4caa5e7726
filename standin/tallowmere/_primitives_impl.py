"""Shared implementation of the stand-in simulation primitives."""


def canonicalize(mapping):
    """A plain dict copy of ``mapping`` with keys in sorted order."""
    return {key: mapping[key] for key in sorted(mapping)}


def resolve_metaparameters(metaparameters, transform_pipeline):
    """Defaults of the transform pipeline overlaid with the caller's metaparameters.

    Raises ``ValueError`` for a name the pipeline does not know.
    """
    defaults = dict((transform_pipeline or {}).get("defaults", {})) if isinstance(
        transform_pipeline, dict) else {}
    given = dict(metaparameters or {})
    unknown = sorted(set(given) - set(defaults)) if defaults else []
    if unknown:
        raise ValueError(f"unknown metaparameters: {unknown}")
    defaults.update(given)
    return defaults


def resolve_metaparameters_per_pool(metaparameters, transform_pipeline, pool_ids):
    """``{pool_id: resolved metaparameters}`` for each pool id."""
    return {pool_id: resolve_metaparameters(metaparameters, transform_pipeline)
            for pool_id in pool_ids}


def has_filtration_node(graph):
    """Whether a plain (dict) or attribute graph contains a "filtration" node."""
    stack = [graph]
    while stack:
        node = stack.pop()
        if isinstance(node, dict):
            node_type, children = node.get("type"), node.get("children")
        else:
            node_type, children = getattr(node, "type", None), getattr(node, "children", None)
        if node_type == "filtration":
            return True
        stack.extend(children or ())
    return False
