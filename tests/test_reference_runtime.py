"""The local reference runtime: determinism, data-directory layout, formulas, call shapes."""
import dataclasses
import inspect
import json
import math
import os
import sys
import threading
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")

ROOT = Path(__file__).resolve().parents[1]
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

from reference_runtime import (build_runtime, example_signal_graph,  # noqa: E402
                               example_strategy_graph, feature, filtration, rotation)
from reference_runtime.engine import RawBacktester, max_drawdown, pearson  # noqa: E402
from reference_runtime.evaluator import Evaluator, UsefulSignal, _row_rank  # noqa: E402
from reference_runtime.market import make_market  # noqa: E402
from reference_runtime.services import EraVault, VaultAlreadyInitializedError  # noqa: E402
from reference_runtime.shuffle_seed import decode_shuffle_seed  # noqa: E402
from reference_runtime.tracker import JsonlSearchTracker, read_records, to_jsonable  # noqa: E402

SMALL = dict(n_dates=60, n_instruments=8)
JOIN_TIMEOUT = 10.0


def synced(tmp_path, seed=0, **sizes):
    """A small runtime whose data is synced and whose backtester is reconstructed."""
    kw = build_runtime(tmp_path, seed=seed, **(sizes or SMALL))
    kw["sync_manager"].request_for_sync()
    blob = (tmp_path / "shuffle_seed.enc").read_bytes()
    kw["backtester"].init_reconstruction(shuffle_blob=blob,
                                         wallet_secret=kw["auth"].get_wallet_secret(),
                                         market_id=1, era_number=1)
    return kw


def tree_bytes(root):
    return {p.relative_to(root).as_posix(): p.read_bytes()
            for p in sorted(Path(root).rglob("*")) if p.is_file()}


# -- determinism -----------------------------------------------------------

def test_same_seed_gives_the_same_data_directory_and_config(tmp_path):
    first, second = synced(tmp_path / "a"), synced(tmp_path / "b")
    assert tree_bytes(tmp_path / "a") == tree_bytes(tmp_path / "b")
    assert first["era_config"] == second["era_config"]
    other = synced(tmp_path / "c", seed=1)
    assert tree_bytes(tmp_path / "c")["features/value.npy"] != \
        tree_bytes(tmp_path / "a")["features/value.npy"]
    assert other["era_config"]["column_labels"] == first["era_config"]["column_labels"]


def test_features_see_only_returns_realised_by_their_date():
    market = make_market(3, n_dates=40, n_instruments=5)
    t = 30
    assert np.allclose(market.forward_returns[t], market.returns[t + 1])
    assert np.allclose(market.features["momentum_20"][t], market.returns[t - 19:t + 1].sum(axis=0))
    assert np.allclose(market.features["reversal_5"][t], -market.returns[t - 4:t + 1].sum(axis=0))
    assert np.isnan(market.features["momentum_20"][18]).all()
    assert market.universes["synth_liquid"].sum() == 2


# -- data directory ----------------------------------------------------------

def test_sync_lays_out_seed_vocabulary_and_found_pnl(tmp_path):
    kw = build_runtime(tmp_path, **SMALL)
    sync = kw["sync_manager"]
    assert (sync.bytes_downloaded, sync.get_manifest()) == (0, None)
    assert sync.total_bytes > 0
    paths = sync.request_for_sync()
    assert sync.bytes_downloaded == sync.total_bytes
    assert len((tmp_path / "shuffle_seed.enc").read_bytes()) == 60
    for universe in ("synth_broad", "synth_liquid"):
        vocabulary = json.loads((tmp_path / universe / "vocabulary.json").read_text())
        assert {"era_number", "rotations", "filtrations", "reductions", "features",
                "metadata"} <= set(vocabulary)
        assert vocabulary["metadata"]["named_universe"] == universe
    strategy_files = [p for p in paths
                      if "/found_strategies/" in "/" + p and p.endswith("/strategy_is/pnl.arrow")]
    assert strategy_files and all(os.path.isfile(p) for p in strategy_files)
    for signal_id in kw["era_config"]["signal_pools"][0]["found_signal_ids"]:
        pnl = kw["load_found_signal_pnl"](signal_id, pool_name="alpha")
        assert pnl.shape == (SMALL["n_dates"],)
    assert kw["load_found_signal_pnl"]("nobody", pool_name="alpha") is None
    manifest = sync.get_manifest()
    assert (manifest["market_id"], manifest["era_number"]) == (1, 1)
    assert set(manifest["files"]) == {Path(p).relative_to(tmp_path).as_posix() for p in paths}


def test_feature_request_syncs_only_those_files_and_progress_counts_them(tmp_path):
    sync = build_runtime(tmp_path, **SMALL)["sync_manager"]
    synced_paths = sync.request_feature_files_for_sync(("value", "no_such_feature"),
                                                       expression_type="SIGNAL",
                                                       named_universe="synth_broad")
    assert synced_paths == [str(tmp_path / "features" / "value.npy")]
    assert sorted(p.name for p in tmp_path.rglob("*") if p.is_file()) == ["value.npy"]
    assert sync.bytes_downloaded == (tmp_path / "features" / "value.npy").stat().st_size
    # A later sync manager on the same directory counts what is already there,
    # but not a file whose content differs from the published one; a sync restores it.
    again = build_runtime(tmp_path, **SMALL)["sync_manager"]
    assert again.bytes_downloaded == sync.bytes_downloaded
    published = (tmp_path / "features" / "value.npy").read_bytes()
    (tmp_path / "features" / "value.npy").write_bytes(b"damaged")
    third = build_runtime(tmp_path, **SMALL)["sync_manager"]
    assert third.bytes_downloaded == 0
    third.request_for_sync()
    assert (tmp_path / "features" / "value.npy").read_bytes() == published


def test_published_change_is_pending_until_the_freshness_guard_syncs_it(tmp_path):
    sync = synced(tmp_path)["sync_manager"]
    guard = sync.runtime_freshness_guard
    assert guard.ensure_fresh_before_evaluation() == 0
    vocabulary_path = str(tmp_path / "synth_broad" / "vocabulary.json")
    sync.publish("synth_broad/vocabulary.json", b'{"era_number": 1}')
    before = guard.snapshot
    assert list(before.pending_data_artifact_shas) == [vocabulary_path]
    assert sync.bytes_downloaded < sync.total_bytes
    assert guard.ensure_fresh_before_evaluation() == 1
    after = guard.snapshot
    assert after.pending_data_artifact_shas == {}
    assert after.loaded_data_artifact_shas[vocabulary_path] == \
        before.pending_data_artifact_shas[vocabulary_path]
    assert json.loads(Path(vocabulary_path).read_text()) == {"era_number": 1}


def test_acquire_and_release_balance(tmp_path):
    sync = build_runtime(tmp_path, **SMALL)["sync_manager"]
    sync.acquire()
    sync.release()
    with pytest.raises(RuntimeError, match="without a matching acquire"):
        sync.release()


# -- seed file and vault -------------------------------------------------------

def test_seed_file_opens_only_with_the_wallet_secret(tmp_path):
    kw = synced(tmp_path)
    blob = (tmp_path / "shuffle_seed.enc").read_bytes()
    secret = kw["auth"].get_wallet_secret()
    market_id, era_number, key = decode_shuffle_seed(blob, secret)
    assert (market_id, era_number, len(key)) == (1, 1, 32)
    with pytest.raises(ValueError, match="does not verify"):
        decode_shuffle_seed(blob, b"another secret")
    damaged = bytearray(blob)
    damaged[20] ^= 1
    with pytest.raises(ValueError, match="does not verify"):
        decode_shuffle_seed(bytes(damaged), secret)


def test_vault_refuses_a_second_initialize_but_stays_ready(tmp_path):
    from tallowmere._vault_init import vault_already_initialized_is_ready
    kw = synced(tmp_path)
    vault, secret = kw["vault"], kw["auth"].get_wallet_secret()
    blob = (tmp_path / "shuffle_seed.enc").read_bytes()
    with pytest.raises(RuntimeError, match="not initialized for era 1"):
        vault.init_if_needed(1)
    vault.initialize(blob, secret, 1)
    vault.init_if_needed(1)
    with pytest.raises(VaultAlreadyInitializedError) as caught:
        vault.initialize(blob, secret, 1)
    assert vault_already_initialized_is_ready(vault, caught.value)
    with pytest.raises(ValueError, match="for era 1, not era 2"):
        EraVault().initialize(blob, secret, 2)


# -- formulas ------------------------------------------------------------------

RETURNS = [[0.01, -0.02], [0.03, 0.00], [-0.01, 0.02]]
WEIGHTS = [[0.5, -0.5], [0.5, -0.5], [0.0, 1.0]]


def test_engine_pnl_turnover_and_exposure_by_hand():
    engine = RawBacktester(RETURNS, cost_bps=10.0, liquid_mask=[True, False])
    result = engine.run(WEIGHTS, return_series=True)
    # gross: .005+.01, .015, .02; turnover: 1, 0, 2; cost 10 bps per unit traded
    assert np.allclose(result.column("pnl_gross"), [0.015, 0.015, 0.02])
    assert np.allclose(result.column("pnl_net"), [0.014, 0.015, 0.018])
    assert np.allclose(result.portfolio_returns, [0.014, 0.015, 0.018])
    stats = result.stats
    assert stats.avg_turnover == pytest.approx(1.0)  # mean of 0 and 2; the build-up not counted
    assert stats.delta_exposure == pytest.approx(1 / 3)
    assert (stats.abs_weight_sum_mean, stats.max_weight) == (pytest.approx(1.0), 1.0)
    assert stats.liquidity_metrics["illiquid_weight_share"] == pytest.approx(2 / 3)
    assert stats.custom_stats == {"long_count_mean": 1.0, "short_count_mean": pytest.approx(2 / 3),
                                  "active_dates": 3}
    assert (result.structural_failed, result.row_count, result.processed_weights) == (False, 3, None)


def test_per_column_statistics_by_hand():
    engine = RawBacktester([[0.02], [0.0]], cost_bps=0.0)
    stats = engine.run([[1.0], [1.0]]).per_column_stats
    # daily PnL .02 and 0: mean .01, std .01 -> Sharpe sqrt(252); no drawdown
    assert stats["pnl_gross_returns"] == pytest.approx(2.52)
    assert stats["pnl_gross_sharpe"] == pytest.approx(math.sqrt(252))
    assert (stats["pnl_gross_drawdown"], stats["pnl_gross_quality_score"]) == (0.0, 0.0)
    assert stats["pnl_gross_hit_rate"] == 0.5
    assert max_drawdown([0.01, -0.03, 0.01, 0.005]) == pytest.approx(0.03)
    assert max_drawdown([-0.01, 0.02]) == pytest.approx(0.01)  # the peak starts at 0


@pytest.mark.parametrize("weights", [
    [[1.0, 0.0]],                                 # wrong shape
    [[math.inf, 0.0], [0.0, 0.0], [0.0, 0.0]],    # infinite entry
    [[0.0, 0.0]] * 3,                              # no position at all
    "weights",                                     # not numbers
])
def test_structurally_failed_weights_are_flagged_not_raised(weights):
    result = RawBacktester(RETURNS).run(weights)
    assert result.structural_failed is True
    assert np.isfinite(result.pnl_matrix).all()


def test_pearson_by_hand():
    assert pearson([1, 2, 3], [2, 4, 6]) == pytest.approx(1.0)
    assert pearson([1, 2, 3], [3, 2, 1]) == pytest.approx(-1.0)
    assert pearson([1, 1, 1], [1, 2, 3]) == 0.0
    with pytest.raises(ValueError, match="lengths differ"):
        pearson([1, 2], [1, 2, 3])


def test_rank_averages_ties_and_keeps_missing_values():
    ranked = _row_rank(np.array([[3.0, 1.0, 1.0, np.nan], [np.nan, 5.0, np.nan, np.nan]]))
    assert np.allclose(ranked[0, :3], [0.5, -0.25, -0.25])
    assert np.isnan(ranked[0, 3]) and ranked[1, 1] == 0.0


def _evaluator(useful=None):
    features = {"a": np.array([[1.0, 2.0, 3.0, 6.0], [4.0, 4.0, 1.0, np.nan]]),
                "b": np.array([[1.0, -1.0, 1.0, -1.0], [-1.0, -1.0, 1.0, 1.0]])}
    universes = {"all": np.ones(4, bool), "first3": np.array([True, True, True, False])}
    from reference_runtime.era import TRANSFORM_PIPELINE
    return Evaluator(features.__getitem__, universes, TRANSFORM_PIPELINE, useful)


def test_evaluation_masks_the_universe_then_demeans_and_resizes():
    weights = _evaluator().evaluate(feature("a"), named_universe="first3")
    # first3 of date 0: 1, 2, 3 -> demean -1, 0, 1 -> l1 -.5, 0, .5; instrument 4 is out
    assert np.allclose(weights[0], [-0.5, 0.0, 0.5, 0.0])
    assert np.allclose(weights[1], [0.25, 0.25, -0.5, 0.0])
    raw = _evaluator().evaluate(feature("a"), named_universe="all",
                                metaparameters={"alpha": {"neutralize": "none", "scale": "none"}})
    assert np.allclose(raw, [[1, 2, 3, 6], [4, 4, 1, 0]])


@pytest.mark.parametrize("metaparameters, message", [
    ({"scale": "triple"}, "unknown option 'triple' for transform stage 'scale'"),
    ({"p1": {}, "p2": {}}, "exactly one pool"),
])
def test_bad_metaparameters_are_refused(metaparameters, message):
    with pytest.raises(ValueError, match=message):
        _evaluator().evaluate(feature("a"), named_universe="all", metaparameters=metaparameters)


def test_filtrations_choose_and_filter_useful_signals():
    good = UsefulSignal("good", "alpha", np.array([[1.0, -1.0, 0.0, 0.0]] * 2), sharpe=2.0)
    poor = UsefulSignal("poor", "alpha", np.array([[0.0, 0.0, 1.0, -1.0]] * 2), sharpe=-1.0)
    evaluator = _evaluator({"good": good, "poor": poor})
    flat = {"neutralize": "none", "scale": "none"}

    def run(graph):
        return evaluator.evaluate(graph, named_universe="all", metaparameters=flat)
    assert np.allclose(run(filtration("useful_top", config={"k": 1})), good.weights)
    assert np.allclose(run(filtration("useful_blend")), (good.weights + poor.weights) / 2)
    assert np.allclose(run(filtration("useful_blend", config={"signal_ids": ["poor"]})),
                       poor.weights)
    kept = run(filtration("where_positive", filtration("useful_top", config={"k": 1}),
                          feature("b")))
    assert np.allclose(kept, [[1.0, 0.0, 0.0, 0.0], [0.0, 0.0, 0.0, 0.0]])
    with pytest.raises(ValueError, match="unknown useful signals"):
        run(filtration("useful_blend", config={"signal_ids": ["missing"]}))


def _deep(depth):
    graph = feature("value")
    for _ in range(depth - 1):
        graph = rotation("neg", graph)
    return graph


@pytest.mark.parametrize("graph, expression_type, message", [
    (feature("price"), "SIGNAL", "unknown feature 'price'"),
    (rotation("add", feature("value")), "SIGNAL", "takes 2 children, got 1"),
    (rotation("median", feature("value")), "SIGNAL", "unknown rotation 'median'"),
    (filtration("useful_blend"), "SIGNAL", "only allowed in strategies"),
    ({"type": "aggregation", "node": "sum", "children": []}, "STRATEGY", "not allowed"),
    (_deep(33), "SIGNAL", "deeper than 32"),
])
def test_validator_refuses_graphs_it_cannot_run(tmp_path, graph, expression_type, message):
    validator = build_runtime(tmp_path, **SMALL)["graph_validator"]
    with pytest.raises(ValueError, match=message):
        validator.validate(graph, expression_type)
    validator.validate(example_strategy_graph(), "STRATEGY")
    validator.validate(_deep(32), "SIGNAL")


# -- backtester call shapes ---------------------------------------------------

def test_reconstruction_restores_the_shuffled_feature_columns(tmp_path):
    kw = build_runtime(tmp_path, seed=5, **SMALL)
    kw["sync_manager"].request_for_sync()
    backtester = kw["backtester"]
    with pytest.raises(RuntimeError, match="init_reconstruction"):
        backtester.evaluate_expression(feature("value"), named_universe="synth_broad")
    true_value = make_market(5, **SMALL).features["value"]
    stored = np.load(tmp_path / "features" / "value.npy")
    assert not np.allclose(stored, true_value)
    blob = (tmp_path / "shuffle_seed.enc").read_bytes()
    backtester.init_reconstruction(shuffle_blob=blob,
                                   wallet_secret=kw["auth"].get_wallet_secret(),
                                   market_id=1, era_number=1)
    assert np.allclose(backtester.evaluator.feature_source("value"), true_value)
    with pytest.raises(ValueError, match="not market 1 era 2"):
        backtester.init_reconstruction(shuffle_blob=blob,
                                       wallet_secret=kw["auth"].get_wallet_secret(),
                                       market_id=1, era_number=2)


def test_run_backtest_uses_the_cached_weights_the_caller_finalised(tmp_path):
    backtester = synced(tmp_path)["backtester"]
    graph, meta = example_signal_graph(), {"alpha": {}}
    weights = backtester.evaluate_expression(graph, metaparameters=meta,
                                             named_universe="synth_broad")
    assert isinstance(weights, list) and isinstance(weights[0], list)
    key = backtester._cache_key(graph, metaparameters=meta, named_universe="synth_broad")
    assert isinstance(backtester._cache, dict)
    halved = [[w / 2 for w in row] for row in weights]
    backtester._cache.get(key).weights = halved
    result = backtester.run_backtest(graph, metaparameters=meta, named_universe="synth_broad",
                                     return_series=False, return_weights=True)
    assert np.allclose(result.processed_weights, halved)
    assert result.portfolio_returns is None
    assert result.pnl_matrix.shape == (SMALL["n_dates"], 2)
    assert {"pnl_net_sharpe", "pnl_gross_drawdown"} <= set(result.per_column_stats)
    assert backtester.last_result is result


def test_direct_backtest_needs_the_open_vault(tmp_path):
    kw = synced(tmp_path)
    backtester, era_config = kw["backtester"], kw["era_config"]
    weights = np.ones((SMALL["n_dates"], SMALL["n_instruments"])) / SMALL["n_instruments"]
    call = dict(weights=weights, era_config=era_config, universe=None, return_series=True,
                return_weights=False, use_vault=True)
    with pytest.raises(RuntimeError, match="not initialized for era 1"):
        backtester.backtest(**call)
    kw["vault"].initialize((tmp_path / "shuffle_seed.enc").read_bytes(),
                           kw["auth"].get_wallet_secret(), 1)
    result = backtester.backtest(**call)
    assert result.portfolio_returns.shape == (SMALL["n_dates"],)
    liquid = backtester.backtest(**dict(call, universe="synth_liquid", return_weights=True))
    assert liquid.processed_weights[:, ~backtester.evaluator.universes["synth_liquid"]].sum() == 0


# -- pool callables ------------------------------------------------------------

def test_correlation_and_marginal_improvement_by_hand(tmp_path):
    kw = build_runtime(tmp_path, **SMALL)
    backtester = kw["backtester"]
    engine = RawBacktester([[0.01], [-0.02], [0.03], [0.01]], cost_bps=0.0)
    backtester.raw_backtester = engine
    backtester.backtest(weights=[[1.0]] * 4, use_vault=False)
    candidate = np.array([0.01, -0.02, 0.03, 0.01])
    pool = [candidate[::-1].copy(), np.array([0.0, 0.01, 0.0, 0.01])]
    correlate = kw["correlate_per_pool"]
    value = correlate(pool_name="alpha", pnl_arrays=pool, pnl_column="pnl_net", threshold=0.5)
    assert type(value) is float
    assert value == pytest.approx(max(abs(pearson(candidate, p)) for p in pool))
    assert correlate(pool_name="alpha", pnl_arrays=[], pnl_column="pnl_net", threshold=0.5) == 0.0
    mi = kw["compute_mi_per_pool"]
    score, passed = mi(pool_name="alpha", pnl_column="pnl_gross", pool_signals=pool,
                       threshold=0.0)

    def sharpe_of(series):
        return RawBacktester(np.asarray(series)[:, None], cost_bps=0).run(
            [[1.0]] * len(series)).per_column_stats["pnl_gross_sharpe"]
    expected = sharpe_of((pool[0] + pool[1] + candidate) / 3) - sharpe_of((pool[0] + pool[1]) / 2)
    assert (type(score), score, passed) == (float, pytest.approx(expected), expected >= 0.0)
    alone, _ = mi(pool_name="alpha", pnl_column="pnl_net", pool_signals=[], threshold=0.0)
    assert alone == pytest.approx(sharpe_of(candidate))


def test_pool_callables_judge_only_this_threads_backtest(tmp_path):
    kw = synced(tmp_path)
    kw["backtester"].run_backtest(example_signal_graph(), metaparameters={},
                                  named_universe="synth_broad")
    outcome = []

    def other_thread():
        try:
            kw["correlate_per_pool"](pool_name="alpha", pnl_arrays=[], pnl_column="pnl_net",
                                     threshold=0.7)
        except RuntimeError as exc:
            outcome.append(str(exc))
    worker = threading.Thread(target=other_thread)
    worker.start()
    worker.join(JOIN_TIMEOUT)
    assert not worker.is_alive() and outcome == ["no backtest has run on this thread; run one first"]
    score, passed = kw["compute_mi_per_pool"](pool_name="alpha", pnl_column="pnl_net",
                                              pool_signals=["found-alpha-1", "found-alpha-2"],
                                              threshold=0.05)
    assert math.isfinite(score) and type(passed) is bool
    with pytest.raises(ValueError, match="no found PnL for signal 'ghost'"):
        kw["compute_mi_per_pool"](pool_name="alpha", pnl_column="pnl_net",
                                  pool_signals=["ghost"], threshold=0.05)


# -- search tracker ------------------------------------------------------------

@dataclasses.dataclass
class _Verdict:
    passed: bool
    value: float


class _Plain:
    def __init__(self):
        self.weights = np.array([1.0, np.nan])
        self._hidden = 1


def test_non_json_values_are_converted():
    cyclic = []
    cyclic.append(cyclic)
    converted = to_jsonable({"v": _Verdict(True, math.inf), "arr": np.array([[1, 2]]),
                             "n": np.float64(0.5), 3: {2, 1}, "b": b"\x01\xff",
                             "o": _Plain(), "t": (1, None), "c": cyclic, "f": len})
    assert converted == {"v": {"passed": True, "value": None}, "arr": [[1, 2]], "n": 0.5,
                         "3": [1, 2], "b": "01ff", "o": {"weights": [1.0, None]},
                         "t": [1, None], "c": ["<cycle>"], "f": repr(len)}
    json.dumps(converted, allow_nan=False)


def test_tracker_appends_one_line_per_record_from_many_threads(tmp_path):
    tracker = JsonlSearchTracker(tmp_path / "deep" / "records.jsonl")
    tracker.record_signal_evaluation(source="simulate", stats=_Verdict(True, 1.0))
    workers = [threading.Thread(target=tracker.record_strategy_evaluation,
                                kwargs={"index": i, "pnl": np.arange(3.0)}) for i in range(8)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(JOIN_TIMEOUT)
    assert not any(worker.is_alive() for worker in workers)
    records = read_records(tmp_path / "deep" / "records.jsonl")
    assert [r["sequence"] for r in records] == list(range(1, 10))
    assert records[0] == {"kind": "signal", "sequence": 1,
                          "payload": {"source": "simulate", "stats": {"passed": True, "value": 1.0}}}
    assert {r["kind"] for r in records[1:]} == {"strategy"}
    assert sorted(r["payload"]["index"] for r in records[1:]) == list(range(8))


# -- wiring into the module ------------------------------------------------------

def test_build_runtime_matches_the_wiring_call(ss, tmp_path):
    module = ss
    kw = build_runtime(tmp_path, **SMALL)
    inspect.signature(module.init_simulate_signal).bind(**kw)
    assert kw["era_config"]["era_number"] == kw["era_thread"].get_current_era_number() == 1
    options = module.effective_simulation_options(kw["era_config"])
    assert [o["named_universe"] for o in options["universe_options"]] == \
        ["synth_broad", "synth_liquid"]


def test_signal_and_strategy_simulations_run_end_to_end(ss, tmp_path):
    module = ss
    from doubles import collect
    kw = build_runtime(tmp_path, seed=0)
    module.init_simulate_signal(**kw)
    signal = collect(module.simulate_signal(example_signal_graph(), named_universe="synth_broad",
                                            signal_pool_id="alpha"), timeout=60)
    assert signal.passed is True and signal.failure_reason is None
    assert signal.stats.avg_turnover > 0 and signal.stats.abs_weight_sum_mean > 0.5
    assert math.isfinite(signal.per_column_stats["pnl_net_sharpe"])
    assert 0.0 <= signal.is_correlation <= 1.0 and math.isfinite(signal.mi_score)
    assert signal.pnl_matrix.shape == (300, 2)
    strategy = collect(module.simulate_strategy(example_strategy_graph(),
                                                named_universe="synth_liquid",
                                                strategy_pool_id="combo", fail_fast=False),
                       timeout=60)
    assert strategy.pool_kind == "strategy" and strategy.signal_pool_id == "alpha"
    assert strategy.is_correlation is not None and strategy.mi_score is not None
    records = read_records(tmp_path / "tracking" / "search_records.jsonl")
    assert [r["kind"] for r in records] == ["signal", "strategy"]
    assert records[1]["payload"]["referenced_signal_ids"] == kw["useful_signals"]
    assert records[0]["payload"]["stats"]["sharpe"] == \
        pytest.approx(signal.per_column_stats["pnl_net_sharpe"])
    assert kw["sync_manager"].holds == 0
    assert kw["vault"].is_ready()
