"""Small in-process collaborators for the demo: just enough of an agent's
runtime for one signal and one strategy simulation to run from end to end.

Everything is deterministic and local: the "synced" data directory is a
temporary folder holding the 60-byte shuffle seed and one found-strategy PnL
file; the backtester turns the graph's features into a small weights matrix
and a PnL series; correlation and marginal improvement are computed from
those series with the standard library.
"""
import os
import statistics
import tempfile
from types import SimpleNamespace

from tallowmere.function_store import FunctionEntry, FunctionStore
from tallowmere.functions._typed_shapes import FunctionGraphNode

MARKET_ID = 1
ERA_NUMBER = 12
NAMED_UNIVERSE = "us-large"
RULE_ID = 4
FEATURE_RETURNS = {          # per-feature daily returns of the synthetic market
    "close": [0.010, -0.004, 0.006, 0.002, -0.001, 0.007],
    "volume": [0.002, 0.003, -0.002, 0.004, 0.001, -0.003],
    "spread": [-0.001, 0.002, 0.001, -0.002, 0.003, 0.001],
}
FOUND_SIGNAL_PNL = {
    "found-1": [0.002, 0.003, -0.001, -0.002, 0.004, 0.001],
    "found-2": [-0.002, 0.001, 0.003, -0.004, 0.002, 0.000],
}
FOUND_STRATEGY_PNL = [0.003, 0.001, -0.002, 0.002, 0.000, -0.001]


def era_config():
    thresholds = {"sharpe": {"min": 0.5}, "turnover": {"max": 0.8}}
    return {
        "market_id": MARKET_ID,
        "era_number": ERA_NUMBER,
        "frequency": "1d",
        "allowed_named_universes": [NAMED_UNIVERSE],
        "universe_rules": {NAMED_UNIVERSE: {"rule_id": RULE_ID, "market_id": MARKET_ID}},
        "signal_pools": [{
            "id": "momentum", "signal_pool_name": "momentum-signals",
            "allowed_named_universes": [NAMED_UNIVERSE],
            "found_signal_ids": list(FOUND_SIGNAL_PNL),
            "is_correlation_threshold": 0.7, "is_pnl_mi_threshold": 0.05,
            "universes": {RULE_ID: {"signal_is_thresholds": thresholds}},
        }],
        "strategy_pools": [{
            "id": "momentum-strategies", "strategy_pool_name": "momentum-strategies",
            "signal_pool_name": "momentum",
            "allowed_named_universes": [NAMED_UNIVERSE],
            "found_signal_ids": [],
            "is_correlation_threshold": 0.7, "strategy_is_pnl_mi_threshold": 0.02,
            "universes": {RULE_ID: {"strategy_is_thresholds": thresholds}},
        }],
        "transform_pipeline": [{"name": "normalize", "default": "rank",
                                "option_configs": {"rank": {"rotation": "rank"}}}],
        "evaluated_pnl_columns": ["pnl"],
        "column_labels": list(FEATURE_RETURNS),
        "engine_definitions": {"long_short": {"max_weight": 0.5}},
    }


def vocabulary():
    return {
        "era_number": ERA_NUMBER, "rotations": ["rank"], "filtrations": ["top_k"],
        "reductions": ["mean"], "features": list(FEATURE_RETURNS), "metadata": {"version": 1},
    }


def features_of(graph):
    if graph.type == "feature":
        return [graph.node]
    return [name for child in graph.children for name in features_of(child)]


class Auth:
    def get_wallet_secret(self):
        return "demo-wallet-secret"


class SyncManager:
    def __init__(self, data_dir, synced_files):
        self._data_dir = data_dir
        self.bytes_downloaded = 0
        self.total_bytes = 4096
        self._synced_files = synced_files

    def acquire(self):
        pass

    def release(self):
        pass

    def request_feature_files_for_sync(self, names, expression_type=None, named_universe=None):
        self.bytes_downloaded = self.total_bytes // 2

    def request_for_sync(self):
        self.bytes_downloaded = self.total_bytes
        return list(self._synced_files)

    def get_manifest(self):
        return {"market_id": MARKET_ID, "era_number": ERA_NUMBER}


class Vault:
    def initialize(self, shuffle_blob, wallet_secret, era_number):
        assert len(shuffle_blob) == 60

    def init_if_needed(self, era_number):
        pass


class Backtester:
    """Weights: equal long positions in the graph's features. Backtest: their
    average return each day."""

    def __init__(self):
        self.evaluator = None
        self.search_plan_factory = None
        self.raw_backtester = SimpleNamespace(name="demo-engine")

    def init_reconstruction(self, shuffle_blob, wallet_secret, market_id, era_number):
        pass

    def evaluate_expression(self, graph, metaparameters=None, named_universe=None):
        names = features_of(graph) or list(FEATURE_RETURNS)
        return {name: 1.0 / len(names) for name in names}

    def run_backtest(self, graph, metaparameters=None, named_universe=None,
                     return_series=False, return_weights=False):
        weights = self.evaluate_expression(graph)
        days = len(next(iter(FEATURE_RETURNS.values())))
        pnl = [sum(w * FEATURE_RETURNS[f][day] for f, w in weights.items())
               for day in range(days)]
        mean, spread = statistics.fmean(pnl), statistics.pstdev(pnl) or 1.0
        stats = SimpleNamespace(avg_turnover=0.2, delta_exposure=0.0,
                                max_weight=max(weights.values()), abs_weight_sum_mean=1.0,
                                liquidity_metrics={}, custom_stats={}, correlation=None)
        return SimpleNamespace(
            stats=stats, per_column_stats={"pnl_sharpe": mean / spread * 15.87,
                                           "pnl_returns": sum(pnl)},
            pnl_matrix=[pnl], portfolio_returns=pnl if return_series else None,
            processed_weights=weights if return_weights else None, row_count=days)


class SearchTracker:
    def __init__(self):
        self.records = []

    def record_signal_evaluation(self, **payload):
        self.records.append(("signal", payload))

    def record_strategy_evaluation(self, **payload):
        self.records.append(("strategy", payload))


class EraThread:
    def get_current_era_number(self):
        return ERA_NUMBER


class GraphValidator:
    def validate(self, graph, expression_type):
        unknown = set(features_of(graph)) - set(FEATURE_RETURNS)
        if unknown:
            raise ValueError(f"unknown features: {sorted(unknown)}")


def correlate_per_pool(pool_name, pnl_arrays, pnl_column, threshold):
    candidate = FEATURE_RETURNS["close"]
    if not pnl_arrays:
        return 0.0
    return max(abs(statistics.correlation(candidate, series)) for series in pnl_arrays)


def compute_mi_per_pool(pool_name, pnl_column, pool_signals, threshold):
    score = 0.1 + 0.01 * len(pool_signals)
    return score, score >= threshold


def load_found_signal_pnl(signal_id, pool_name=None):
    return FOUND_SIGNAL_PNL.get(signal_id)


def build(data_dir=None, set_phase=None):
    """Keyword arguments for init_simulate_signal, with a prepared data directory."""
    data_dir = data_dir or tempfile.mkdtemp(prefix="simulate-signal-demo-")
    with open(os.path.join(data_dir, "shuffle_seed.enc"), "wb") as handle:
        handle.write(bytes(range(60)))
    strategy_pnl = os.path.join(data_dir, "found_strategies", "s-1", "strategy_is", "pnl.arrow")
    os.makedirs(os.path.dirname(strategy_pnl), exist_ok=True)
    with open(strategy_pnl, "w", encoding="utf-8") as handle:
        handle.write("\n".join(str(x) for x in FOUND_STRATEGY_PNL))
    return dict(
        auth=Auth(), sync_manager=SyncManager(data_dir, [strategy_pnl]), vault=Vault(),
        backtester=Backtester(), search_tracker=SearchTracker(), era_thread=EraThread(),
        graph_validator=GraphValidator(), era_config=era_config(),
        load_vocabulary=lambda era_number: vocabulary(),
        vocabulary=FunctionStore([FunctionEntry("rank"), FunctionEntry("top_k", 2)]),
        useful_signals=["found-1"],
        useful_signal_metadata={"found-1": {"signal_id": "found-1", "signal_pool_id": "momentum"}},
        useful_signal_pool=[FOUND_SIGNAL_PNL["found-1"]],
        load_found_signal_pnl=load_found_signal_pnl, correlate_per_pool=correlate_per_pool,
        compute_mi_per_pool=compute_mi_per_pool, set_phase=set_phase,
    )


def signal_graph():
    return FunctionGraphNode("rotation", "rank", [FunctionGraphNode("feature", "close"),
                                                  FunctionGraphNode("feature", "volume")])


def strategy_graph():
    return FunctionGraphNode("filtration", "top_k", [FunctionGraphNode("feature", "close"),
                                                     FunctionGraphNode("feature", "spread")])
