"""The local reference runtime: determinism, data-directory layout, formulas, end-to-end runs."""
import inspect
import json
import math
import os
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")

from reference_runtime import build_runtime, example_signal_graph, example_strategy_graph  # noqa: E402
from reference_runtime.engine import RawBacktester, max_drawdown, pearson  # noqa: E402
from reference_runtime.tracker import read_records  # noqa: E402

SMALL = dict(n_dates=60, n_instruments=8)


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


def test_pearson_by_hand():
    assert pearson([1, 2, 3], [2, 4, 6]) == pytest.approx(1.0)
    assert pearson([1, 2, 3], [3, 2, 1]) == pytest.approx(-1.0)
    assert pearson([1, 1, 1], [1, 2, 3]) == 0.0
    with pytest.raises(ValueError, match="lengths differ"):
        pearson([1, 2], [1, 2, 3])


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


# -- verdicts ---------------------------------------------------------------------

@pytest.mark.parametrize("scalar_runs, verdict_args, judged, text", [
    ([{"sharpe": 1.2, "turnover": 0.5}], (False, "thresholds"), ("sharpe", 1.2, 1.5),
     "Sharpe 1.20 < 1.50"),
    ([{"sharpe": 2.0, "turnover": 0.8}], (False, "thresholds"), ("turnover", 0.8, 0.7),
     "turnover 0.80 > 0.70"),
    # a later evaluation that passes leaves nothing to explain
    ([{"sharpe": 1.2}, {"sharpe": 2.0}], (False, "thresholds"), (None, None, None),
     "failed: thresholds"),
    ([], (False, "correlation", 0.82, 0.7), ("correlation", 0.82, 0.7),
     "correlation 0.82 > 0.70"),
    ([], (False, "pnl_mi", None, 0.05), ("pnl_mi", None, 0.05), "PnL MI unavailable (bound 0.05)"),
], ids=["min", "max", "stale", "correlation", "mi-unavailable"])
def test_failed_verdicts_name_metric_value_and_bound(scalar_runs, verdict_args, judged, text):
    from tallowmere._evaluation_verdicts import gate_verdict
    from tallowmere._threshold_gates import evaluate_threshold_gates
    for metrics in scalar_runs:
        evaluate_threshold_gates(metrics=metrics, threshold_set={"sharpe": {"min": 1.5},
                                                                 "turnover": {"max": 0.7}})
    passed, reason, value, bound = (*verdict_args, None, None)[:4]
    verdict = gate_verdict(passed, reason, value=value, threshold=bound)
    assert (verdict.metric, verdict.value, verdict.bound) == judged
    assert str(verdict) == text
