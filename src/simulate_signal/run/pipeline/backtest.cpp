// Pipeline stretch: backtest, timing and stats gates.
//
// Backtests the evaluated weights, records the timing, loads the found-signal
// PnL the correlation gate needs, and judges the backtest statistics: the
// structural check and the scalar threshold gates.
#include "config/config.hpp"
#include "frame/calls.hpp"
#include "frame/globals.hpp"
#include "frame/helpers.hpp"
#include "gates/gates.hpp"
#include "run/pipeline/pipeline.hpp"

namespace simsig {

namespace {

void ensure_fresh_before_backtest() {
    ref guard = global(G::runtime_freshness_guard);
    if (guard.is_none())
        return;
    ref ensure_fresh = attr_or_none(guard, "ensure_fresh_before_backtest");
    if (PyCallable_Check(ensure_fresh.ptr()))
        ensure_fresh();
}

void run_the_backtest(Run &run) {
    ref graph = handle_field(run, Field::graph);
    if (run.use_adapter_path)
        run.bt_result = call(run.run_backtest, graph,
                             kwarg("metaparameters", run.evaluation_metaparameters_by_pool),
                             kwarg("named_universe", handle_field(run, Field::named_universe)),
                             kwarg("return_series", handle_field(run, Field::return_series)),
                             kwarg("return_weights", handle_field(run, Field::return_weights)));
    else
        run.bt_result = call(run.backtest_direct, kwarg("weights", run.eval_weights),
                             kwarg("era_config", run.era_cfg), kwarg("universe", none()),
                             kwarg("return_series", handle_field(run, Field::return_series)),
                             kwarg("return_weights", handle_field(run, Field::return_weights)),
                             kwarg("use_vault", true_()));
}

void record_timing(Run &run) {
    ref bt_row_count = call_method(global(G::backtest_timing), "extract_backtest_row_count",
                                   run.bt_result, kwarg("weights", run.eval_weights));
    run.bt_max_row_elapsed =
        call_method(global(G::backtest_timing), "extract_max_row_elapsed_seconds", run.bt_result);
    call_method(global(G::backtest_timing), "record_backtest_timing",
                kwarg("graph", handle_field(run, Field::graph)),
                kwarg("frequency", get(run.era_cfg, "frequency")), kwarg("row_count", bt_row_count),
                kwarg("elapsed_seconds", run.bt_elapsed),
                kwarg("max_row_elapsed_seconds", run.bt_max_row_elapsed));
}

// The pool's found signal ids, first occurrence kept.
ref collect_found_signal_ids(nb::handle pool_cfg) {
    nb::list all_signal_ids;
    ref seen_ids = nb::steal(PySet_New(nullptr));
    if (!seen_ids)
        throw nb::python_error();
    for (nb::handle sid : get(pool_cfg, "found_signal_ids", nb::list())) {
        if (contains(seen_ids, sid))
            continue;
        all_signal_ids.append(sid);
        if (PySet_Add(seen_ids.ptr(), sid.ptr()))
            throw nb::python_error();
    }
    return all_signal_ids;
}

ref joined_ids(nb::handle ids) {
    nb::list texts;
    for (nb::handle sid : ids)
        texts.append(nb::str(sid));
    return attr(nb::str(", "), "join")(texts);
}

// Every id is asked for before a missing one is reported.
void load_found_signal_pnl(Run &run, nb::handle all_signal_ids, nb::handle pool_name) {
    run.loaded_signal_pnl = nb::dict();
    if (!nb::bool_(handle_field(run, Field::include_correlation)) || nb::len(all_signal_ids) == 0)
        return;
    if (global(G::load_found_signal_pnl).is_none())
        raise(PyExc_ValueError,
              format("Signal PnL data could not be loaded for found signal IDs: %S. Inject "
                     "_load_found_signal_pnl to provide per-ID PnL loading.",
                     joined_ids(all_signal_ids).ptr()));
    nb::list missing_signal_ids;
    for (nb::handle sid : all_signal_ids) {
        ref loaded_pnl = call(global(G::load_found_signal_pnl), sid, kwarg("pool_name", pool_name));
        if (!loaded_pnl.is_none())
            run.loaded_signal_pnl[sid] = loaded_pnl;
        else
            missing_signal_ids.append(sid);
    }
    if (nb::len(missing_signal_ids) > 0)
        raise(PyExc_ValueError, format("Signal PnL data is missing for found signal IDs: %S",
                                       joined_ids(missing_signal_ids).ptr()));
}

// The pool's threshold set for the run's universe and expression kind.
ref resolve_thresholds(const Run &run, nb::handle pool_cfg) {
    ref pool_universe = call_helper<resolve_pool_universe_thresholds>(
        pool_cfg, handle_field(run, Field::universe_rule_id));
    ref threshold_key =
        nb::borrow(name(is_strategy(run) ? "strategy_is_thresholds" : "signal_is_thresholds"));
    if (nb::isinstance<nb::dict>(pool_universe))
        return attr(pool_universe, "get")(threshold_key, nb::dict());
    return nb::dict();
}

void judge_structure(Run &run) {
    run.structural_failed =
        static_cast<bool>(nb::bool_(attr_or(run.bt_result, "structural_failed", false_())));
    run.pool_passed = !run.structural_failed;
    run.stats_verdict = global(G::gate_verdict)(true);
    run.correlation_verdict = global(G::not_evaluated_verdict)();
    run.mi_verdict = global(G::not_evaluated_verdict)();
}

ref scalar_metrics(const Run &run) {
    ref stats = attr(run.bt_result, "stats");
    ref primary_pnl_col = call_helper<primary_evaluation_pnl_column>(run.era_cfg);
    ref sharpe_key = nb::steal(PyNumber_Add(primary_pnl_col.ptr(), name("_sharpe").ptr()));
    if (!sharpe_key)
        throw nb::python_error();
    ref stats_sharpe = call_helper<tracking_metric>(
        attr(attr(run.bt_result, "per_column_stats"), "get")(sharpe_key, 0.0));
    ref abs_weight_sum_mean =
        call_helper<tracking_metric>(attr_or(stats, "abs_weight_sum_mean", zero_float()));

    // `turnover` wins; `avg_turnover` is the fallback (read either way).
    ref avg_turnover = attr_or(stats, "avg_turnover", zero_float());
    ref metrics = nb::dict();
    metrics[name("sharpe")] = stats_sharpe;
    metrics[name("turnover")] = attr_or(stats, "turnover", avg_turnover);
    metrics[name("delta_exposure")] = attr(stats, "delta_exposure");
    metrics[name("max_weight")] = attr(stats, "max_weight");
    metrics[name("abs_weight_sum_mean")] = abs_weight_sum_mean;
    return metrics;
}

// A structural failure is always reported as invalid weights, even when the
// thresholds failed too.
void judge_thresholds(Run &run, nb::handle thresholds) {
    ref metrics = scalar_metrics(run);
    ref threshold_result = call(global(G::evaluate_threshold_gates), kwarg("metrics", metrics),
                                kwarg("threshold_set", thresholds));
    if (!nb::bool_(attr(threshold_result, "passed"))) {
        run.pool_passed = false;
        run.stats_verdict = global(G::gate_verdict)(false, "thresholds");
    }
    if (run.structural_failed)
        run.stats_verdict = global(G::gate_verdict)(false, "invalid_weights");
}

} // namespace

void backtest_and_gate(Run &run) {
    update_status(run.self, "backtesting", 0.0, "Backtesting signal against thresholds...");
    check_cancelled(run.self);
    ensure_fresh_before_backtest();

    double bt_t0 = monotonic();
    run_the_backtest(run);
    run.bt_elapsed = nb::float_(monotonic() - bt_t0);
    record_timing(run);
    if (!nb::bool_(handle_field(run, Field::include_correlation)))
        set_attr(attr(run.bt_result, "stats"), "correlation", none());
    check_cancelled(run.self);

    ref useful_signals = global(G::useful_signals);
    run.useful_sigs_for_eval = useful_signals.is_none() ? nb::list() : useful_signals;
    // The selected pool, judged under these names.
    ref pool_cfg = run.selected_pool_cfg;
    ref pool_name = run.selected_pool_name;
    ref all_signal_ids = collect_found_signal_ids(pool_cfg);
    load_found_signal_pnl(run, all_signal_ids, pool_name);
    ref thresholds = resolve_thresholds(run, pool_cfg);
    judge_structure(run);
    judge_thresholds(run, thresholds);
}

} // namespace simsig
