"""``build_runtime``: every collaborator of the simulation module, wired on one seed."""
import io
import json
import os

import numpy as np

from .backtester import ReconstructedFeatures, ReferenceBacktester
from .engine import RawBacktester
from .era import TRANSFORM_PIPELINE, build_era_config, build_vocabulary
from .evaluator import Evaluator, GraphValidator, UsefulSignal
from .market import BROAD_UNIVERSE, LIQUID_UNIVERSE, make_market
from .pools import (FoundPnlLoader, PoolCorrelation, PoolMarginalImprovement,
                    found_signal_path, found_strategy_path, pnl_file_bytes)
from .services import AuthManager, EraThread, EraVault
from .shuffle_seed import (column_permutation, encode_shuffle_seed, shuffle_key_for,
                           wallet_secret_for)
from .sync import SyncManager
from .tracker import JsonlSearchTracker


def feature(name):
    return {"type": "feature", "node": name, "children": []}


def rotation(name, *children):
    return {"type": "rotation", "node": name, "children": list(children)}


def filtration(name, *children, config=None):
    node = {"type": "filtration", "node": name, "children": list(children)}
    if config:
        node["config"] = dict(config)
    return node


# Signals already accepted in pool "alpha", which strategies may combine.
USEFUL_SIGNAL_GRAPHS = {
    "useful-value": rotation("rank", feature("value")),
    "useful-value-smooth": rotation("rank", rotation("ts_mean_5", feature("value"))),
    "useful-small-size": rotation("rank", rotation("neg", feature("size"))),
}
# Signals and strategies already found in their pools (their PnL is synced).
FOUND_SIGNAL_GRAPHS = {
    "alpha": {"found-alpha-1": rotation("rank", feature("momentum_20")),
              "found-alpha-2": rotation("zscore", rotation("neg", feature("volatility_20")))},
}
FOUND_STRATEGY_GRAPHS = {
    "combo": {"found-combo-1": filtration("useful_blend")},
}


def example_signal_graph():
    """A signal on the planted edge: the rank of the 20-date mean of ``value``."""
    return rotation("rank", rotation("ts_mean_20", feature("value")))


def example_strategy_graph():
    """A strategy: the two useful signals with the best Sharpe, held only where the
    20-date mean of ``value`` is positive."""
    return filtration("where_positive", filtration("useful_top", config={"k": 2}),
                      rotation("ts_mean_20", feature("value")))


class VocabularyLoader:
    """``load(era_number, named_universe=None)``: the synced vocabulary.json of the
    universe (default ``default_universe``); refuses one made for another era."""

    def __init__(self, sync_manager, default_universe):
        self._sync_manager = sync_manager
        self._default_universe = default_universe

    def __call__(self, era_number, named_universe=None):
        universe = named_universe or self._default_universe
        with open(self._sync_manager.path(f"{universe}/vocabulary.json"),
                  encoding="utf-8") as handle:
            vocabulary = json.load(handle)
        if vocabulary.get("era_number") != era_number:
            raise ValueError(f"synced vocabulary is for era {vocabulary.get('era_number')}, "
                             f"not era {era_number}")
        return vocabulary


def build_runtime(data_dir, seed=0, *, n_dates=300, n_instruments=40, market_id=1,
                  era_number=1, tracking_path=None):
    """The keyword arguments for ``init_simulate_signal``, all built from ``seed``.

    Nothing is written until the first sync; the data directory then holds
    "shuffle_seed.enc", ``<universe>/vocabulary.json``, ``features/*.npy``,
    the found PnL files and ``manifest.json``. Search records are appended to
    ``tracking_path`` (default ``<data_dir>/tracking/search_records.jsonl``).
    """
    data_dir = os.fspath(data_dir)
    market = make_market(seed, n_dates, n_instruments)
    wallet_secret = wallet_secret_for(seed)
    shuffle_key = shuffle_key_for(seed, market_id, era_number)
    engine = RawBacktester(market.forward_returns, liquid_mask=market.universes[LIQUID_UNIVERSE])
    useful = _useful_signals(market, engine)
    found_signals = _found_pnl(market, engine, useful, FOUND_SIGNAL_GRAPHS)
    found_strategies = _found_pnl(market, engine, useful, FOUND_STRATEGY_GRAPHS)
    era_config = build_era_config(
        market, market_id=market_id, era_number=era_number,
        found_signals={pool: list(ids) for pool, ids in found_signals.items()},
        found_strategies={pool: list(ids) for pool, ids in found_strategies.items()})
    vocabularies = {universe: build_vocabulary(market, market_id=market_id,
                                               era_number=era_number, named_universe=universe)
                    for universe in market.universes}
    artifacts = _artifacts(market, shuffle_key, wallet_secret, market_id, era_number,
                           vocabularies, found_signals, found_strategies)
    sync_manager = SyncManager(data_dir, artifacts, market_id=market_id, era_number=era_number)
    vault = EraVault()
    features = ReconstructedFeatures(data_dir)
    evaluator = Evaluator(features, market.universes, era_config["transform_pipeline"], useful)
    backtester = ReferenceBacktester(engine, evaluator, features, market_id=market_id,
                                     era_number=era_number, n_instruments=n_instruments,
                                     vault=vault)
    load_found_pnl = FoundPnlLoader(sync_manager)
    if tracking_path is None:
        tracking_path = os.path.join(data_dir, "tracking", "search_records.jsonl")
    return {
        "auth": AuthManager(wallet_secret),
        "sync_manager": sync_manager,
        "vault": vault,
        "backtester": backtester,
        "search_tracker": JsonlSearchTracker(tracking_path),
        "era_thread": EraThread(era_number),
        "graph_validator": GraphValidator(vocabularies[BROAD_UNIVERSE]),
        "era_config": era_config,
        "load_vocabulary": VocabularyLoader(sync_manager, BROAD_UNIVERSE),
        "useful_signal_metadata": {sid: {"signal_id": sid, "signal_pool_id": s.signal_pool_id}
                                   for sid, s in useful.items()},
        "useful_signals": list(useful),
        "useful_signal_pool": {sid: s.weights for sid, s in useful.items()},
        "load_found_signal_pnl": load_found_pnl,
        "signal_dir": data_dir,
        "correlate_per_pool": PoolCorrelation(backtester),
        "compute_mi_per_pool": PoolMarginalImprovement(backtester, load_found_pnl),
    }


def _true_evaluator(market, useful=None):
    """An evaluator on the market's own features (no sync, no reconstruction)."""
    return Evaluator(market.features.__getitem__, market.universes, TRANSFORM_PIPELINE, useful)


def _useful_signals(market, engine):
    evaluator = _true_evaluator(market)
    useful = {}
    for signal_id, graph in USEFUL_SIGNAL_GRAPHS.items():
        weights = evaluator.evaluate(graph, named_universe=BROAD_UNIVERSE)
        sharpe = engine.run(weights).per_column_stats["pnl_net_sharpe"]
        useful[signal_id] = UsefulSignal(signal_id, "alpha", weights, sharpe)
    return useful


def _found_pnl(market, engine, useful, graphs_by_pool):
    """{pool: {id: net PnL}} of found signals or strategies."""
    evaluator = _true_evaluator(market, useful)
    return {pool: {found_id: engine.run(evaluator.evaluate(graph, named_universe=BROAD_UNIVERSE))
                   .column("pnl_net") for found_id, graph in graphs.items()}
            for pool, graphs in graphs_by_pool.items()}


def _artifacts(market, shuffle_key, wallet_secret, market_id, era_number, vocabularies,
               found_signals, found_strategies):
    """{relative path: bytes} of everything the era publishes."""
    artifacts = {"shuffle_seed.enc": encode_shuffle_seed(shuffle_key, wallet_secret,
                                                         market_id, era_number)}
    for universe, vocabulary in vocabularies.items():
        artifacts[f"{universe}/vocabulary.json"] = json.dumps(vocabulary, indent=1).encode()
    permutation = column_permutation(shuffle_key, market.n_instruments)
    for name, matrix in market.features.items():
        artifacts[f"features/{name}.npy"] = _npy_bytes(matrix[:, permutation])
    for pool, series in found_signals.items():
        for signal_id, pnl in series.items():
            artifacts[found_signal_path(pool, signal_id)] = pnl_file_bytes(pnl)
    for pool, series in found_strategies.items():
        for strategy_id, pnl in series.items():
            artifacts[found_strategy_path(pool, strategy_id)] = pnl_file_bytes(pnl)
    return artifacts


def _npy_bytes(matrix):
    buffer = io.BytesIO()
    np.save(buffer, np.ascontiguousarray(matrix), allow_pickle=False)
    return buffer.getvalue()
