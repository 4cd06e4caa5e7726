"""The era configuration and the vocabulary of the reference runtime.

Pools (all thresholds are on the ``pnl_net`` column):

- signal pool ``alpha``: both universes; found signals ``found-alpha-1`` and
  ``found-alpha-2``; correlation threshold 0.7, PnL MI threshold 0.05.
- signal pool ``beta``: the liquid universe only; no found signals.
- strategy pool ``combo``: linked to ``alpha``; found strategy
  ``found-combo-1``; correlation threshold 0.9, PnL MI threshold 0.0.

Universe rules: ``synth_broad`` is rule 1, ``synth_liquid`` rule 2. Each pool
keeps its per-universe scalar thresholds under ``universes[rule_id]``.
"""
import copy

from .engine import DEFAULT_COST_BPS, PNL_COLUMNS
from .evaluator import FUNCTIONS, NODE_TYPE_OF_KIND
from .market import BROAD_UNIVERSE, FEATURE_NAMES, LIQUID_UNIVERSE, PERIODS_PER_YEAR

UNIVERSE_RULE_IDS = {BROAD_UNIVERSE: 1, LIQUID_UNIVERSE: 2}
SIGNAL_THRESHOLDS = {"sharpe": {"min": 1.0}, "turnover": {"max": 0.7}}
STRATEGY_THRESHOLDS = {"sharpe": {"min": 1.0}, "turnover": {"max": 0.7}}

TRANSFORM_PIPELINE = (
    {"name": "neutralize", "default": "demean",
     "option_configs": {"demean": {"transform": "demean"}, "none": {"transform": "identity"}}},
    {"name": "scale", "default": "l1_resize",
     "option_configs": {"l1_resize": {"transform": "l1_resize"},
                        "none": {"transform": "identity"}}},
)


def _thresholds_by_rule(key, thresholds, universes):
    return {UNIVERSE_RULE_IDS[name]: {key: dict(thresholds)} for name in universes}


def build_era_config(market, *, market_id, era_number, found_signals, found_strategies):
    """The era config dict; ``found_signals``/``found_strategies`` map pool ids to ids."""
    both = [BROAD_UNIVERSE, LIQUID_UNIVERSE]
    signal_pools = [
        {"id": "alpha", "signal_pool_name": "alpha", "allowed_named_universes": both,
         "found_signal_ids": list(found_signals.get("alpha", ())),
         "correlation_pnl_column": "pnl_net", "is_correlation_threshold": 0.7,
         "mi_pnl_column": "pnl_net", "is_pnl_mi_threshold": 0.05,
         "universes": _thresholds_by_rule("signal_is_thresholds", SIGNAL_THRESHOLDS, both)},
        {"id": "beta", "signal_pool_name": "beta", "allowed_named_universes": [LIQUID_UNIVERSE],
         "found_signal_ids": list(found_signals.get("beta", ())),
         "is_correlation_threshold": 0.7, "is_pnl_mi_threshold": 0.05,
         "universes": _thresholds_by_rule("signal_is_thresholds", SIGNAL_THRESHOLDS,
                                          [LIQUID_UNIVERSE])},
    ]
    strategy_pools = [
        {"id": "combo", "strategy_pool_name": "combo", "signal_pool_name": "alpha",
         "allowed_named_universes": both,
         "found_signal_ids": list(found_strategies.get("combo", ())),
         "is_correlation_threshold": 0.9, "strategy_is_pnl_mi_threshold": 0.0,
         "universes": _thresholds_by_rule("strategy_is_thresholds", STRATEGY_THRESHOLDS, both)},
    ]
    return {
        "market_id": market_id,
        "era_number": era_number,
        "frequency": "daily",
        "named_universe": BROAD_UNIVERSE,
        "allowed_named_universes": both,
        "universe_rules": {name: {"rule_id": rule_id, "market_id": market_id}
                           for name, rule_id in UNIVERSE_RULE_IDS.items()},
        "signal_pools": signal_pools,
        "strategy_pools": strategy_pools,
        "transform_pipeline": copy.deepcopy(list(TRANSFORM_PIPELINE)),
        "evaluated_pnl_columns": list(PNL_COLUMNS),
        "column_labels": list(market.instruments),
        "engine_definitions": {
            "reference": {"pnl_columns": list(PNL_COLUMNS), "cost_bps": DEFAULT_COST_BPS,
                          "periods_per_year": PERIODS_PER_YEAR, "frequency": "daily"},
        },
    }


def build_vocabulary(market, *, market_id, era_number, named_universe):
    """The raw vocabulary dict of one named universe (written as its vocabulary.json).

    It holds the six sections the simulation module requires (``era_number``,
    ``rotations``, ``filtrations``, ``reductions``, ``features``,
    ``metadata``), plus ``functions`` (every function with its arity and node
    type, from which a function-store registry is built) and ``aggregations``
    (none: aggregation nodes are not offered).
    """
    sections = {kind: {} for kind in NODE_TYPE_OF_KIND}
    for name, function in FUNCTIONS.items():
        sections[function.kind][name] = {"arity": function.arity, "doc": function.doc}
    return {
        "era_number": era_number,
        "rotations": sections["rotations"],
        "filtrations": sections["filtrations"],
        "reductions": sections["reductions"],
        "features": list(FEATURE_NAMES),
        "metadata": {"market_id": market_id, "named_universe": named_universe,
                     "n_dates": market.n_dates, "n_instruments": market.n_instruments,
                     "first_date": market.dates[0], "last_date": market.dates[-1],
                     "source": "reference_runtime synthetic market", "seed": market.seed},
        "functions": {name: {"arity": f.arity, "node_type": NODE_TYPE_OF_KIND[f.kind]}
                      for name, f in FUNCTIONS.items()},
        "aggregations": [],
    }
