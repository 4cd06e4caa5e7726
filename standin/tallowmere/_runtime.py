"""Stand-in: runtime glue between the SDK and the simulator engine."""
from types import SimpleNamespace

from tallowmere.function_store import FunctionEntry, FunctionStore


def sdk_era_config_from_dict(era_config):
    """The typed era config: an object with ``allowed_named_universes``,
    ``signal_pools`` and ``universe_rules`` (a typed one is returned as is)."""
    if not isinstance(era_config, dict):
        return era_config
    return SimpleNamespace(
        allowed_named_universes=list(era_config.get("allowed_named_universes") or ()),
        signal_pools=list(era_config.get("signal_pools") or ()),
        universe_rules=dict(era_config.get("universe_rules") or {}),
        engine_definitions=era_config.get("engine_definitions"),
    )


def _build_function_registry(vocabulary_dict, era_config=None):
    """A FunctionStore with one entry per function of the vocabulary dict."""
    functions = (vocabulary_dict or {}).get("functions", {})
    if isinstance(functions, dict):
        entries = [FunctionEntry(name, int(spec.get("arity", 1)) if isinstance(spec, dict) else 1)
                   for name, spec in functions.items()]
    else:
        entries = [FunctionEntry(str(name)) for name in functions]
    return FunctionStore(entries)


def _graph_validator_constructor(gv_mod):
    return gv_mod.GraphValidator


def _graph_validator_names(raw):
    """(feature names, aggregation names) of a raw vocabulary dict."""
    raw = raw or {}
    return tuple(raw.get("features", ())), tuple(raw.get("aggregations", ()))


def _graph_validator_config(ValidatorConfig, era_cfg):
    depth = (era_cfg or {}).get("max_graph_depth")
    return ValidatorConfig() if depth is None else ValidatorConfig(max_depth=int(depth))


def _load_runtime_pnl_array(path, raw_backtester=None):
    """A list of floats from a text file of one number per line; None when missing."""
    try:
        with open(path, encoding="utf-8") as handle:
            return [float(line) for line in handle if line.strip()]
    except FileNotFoundError:
        return None


def _finalize_rescaled_runtime_weights(weights):
    """Rescale each row of weights so that its absolute values sum to one."""
    def rescale(row):
        total = sum(abs(w) for w in row)
        return [w / total for w in row] if total else list(row)
    if isinstance(weights, dict):
        return {key: _finalize_rescaled_runtime_weights(value) for key, value in weights.items()}
    rows = list(weights)
    if rows and isinstance(rows[0], (list, tuple)):
        return [rescale(row) for row in rows]
    return rescale(rows)
