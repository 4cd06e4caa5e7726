// Pipeline stretch: backtest, timing and stats gates.
//
// Backtests the evaluated weights, records the timing, loads the found-signal
// PnL the correlation gate needs, and judges the backtest statistics: the
// structural check and the scalar threshold gates.
#include "frame/calls.hpp"
#include "run/pipeline.hpp"
#include "run/stretch_util.hpp"

namespace simsig {

namespace {

void ensure_fresh_before_backtest(Run &run) {
    ref guard = global("_runtime_freshness_guard");
    if (is_none(guard))
        return;
    run.ensure_fresh = attr_or_none(guard, "ensure_fresh_before_backtest");
    if (PyCallable_Check(run.ensure_fresh.ptr()))
        run.ensure_fresh();
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
    run.bt_row_count = call_method(global("_backtest_timing"), "extract_backtest_row_count",
                                   run.bt_result, kwarg("weights", run.eval_weights));
    run.bt_max_row_elapsed = call_method(global("_backtest_timing"),
                                         "extract_max_row_elapsed_seconds", run.bt_result);
    call_method(global("_backtest_timing"), "record_backtest_timing",
                kwarg("graph", handle_field(run, Field::graph)),
                kwarg("frequency", get(run.era_cfg, "frequency")),
                kwarg("row_count", run.bt_row_count), kwarg("elapsed_seconds", run.bt_elapsed),
                kwarg("max_row_elapsed_seconds", run.bt_max_row_elapsed));
}

// The pool's found signal ids, first occurrence kept.
void collect_found_signal_ids(Run &run) {
    run.pool_cfg = run.selected_pool_cfg;
    run.pool_name = run.selected_pool_name;
    run.all_signal_ids = new_list();
    run.seen_ids = nb::steal(PySet_New(nullptr));
    if (!run.seen_ids)
        throw nb::python_error();
    for_each_item(get(run.pool_cfg, "found_signal_ids", new_list()), [&](nb::handle sid) {
        if (contains(run.seen_ids, sid))
            return;
        append(run.all_signal_ids, sid);
        if (PySet_Add(run.seen_ids.ptr(), sid.ptr()))
            throw nb::python_error();
    });
}

ref joined_ids(nb::handle ids) {
    ref texts = new_list();
    for_each_item(ids, [&](nb::handle sid) { append(texts, str(sid)); });
    return attr(py_str(", "), "join")(texts);
}

// Every id is asked for before a missing one is reported.
void load_found_signal_pnl(Run &run) {
    run.loaded_signal_pnl = new_dict();
    if (!truthy(handle_field(run, Field::include_correlation)) || length(run.all_signal_ids) == 0)
        return;
    if (is_none(global("_load_found_signal_pnl")))
        raise(PyExc_ValueError,
              format("Signal PnL data could not be loaded for found signal IDs: %S. Inject "
                     "_load_found_signal_pnl to provide per-ID PnL loading.",
                     joined_ids(run.all_signal_ids).ptr()));
    run.missing_signal_ids = new_list();
    for_each_item(run.all_signal_ids, [&](nb::handle sid) {
        ref loaded_pnl =
            call(global("_load_found_signal_pnl"), sid, kwarg("pool_name", run.pool_name));
        if (!is_none(loaded_pnl))
            set_item(run.loaded_signal_pnl, sid, loaded_pnl);
        else
            append(run.missing_signal_ids, sid);
    });
    if (length(run.missing_signal_ids) > 0)
        raise(PyExc_ValueError, format("Signal PnL data is missing for found signal IDs: %S",
                                       joined_ids(run.missing_signal_ids).ptr()));
}

void resolve_thresholds(Run &run) {
    run.pool_universe = helper("_resolve_pool_universe_thresholds", run.pool_cfg,
                               handle_field(run, Field::universe_rule_id));
    run.threshold_key = nb::borrow(name(equals(handle_field(run, Field::expression_type), "STRATEGY")
                                 ? "strategy_is_thresholds"
                                 : "signal_is_thresholds"));
    if (is_dict(run.pool_universe))
        run.thresholds = attr(run.pool_universe, "get")(run.threshold_key, new_dict());
    else
        run.thresholds = new_dict();
}

void judge_structure(Run &run) {
    run.structural_failed = truthy(attr_or(run.bt_result, "structural_failed", false_()));
    run.pool_passed = !run.structural_failed;
    run.stats_verdict = global("_gate_verdict")(true);
    run.correlation_verdict = global("_not_evaluated_verdict")();
    run.mi_verdict = global("_not_evaluated_verdict")();
}

ref scalar_metrics(Run &run) {
    run.stats = attr(run.bt_result, "stats");
    run.primary_pnl_col = helper("_primary_evaluation_pnl_column", run.era_cfg);
    ref sharpe_key = nb::steal(PyNumber_Add(run.primary_pnl_col.ptr(), name("_sharpe").ptr()));
    if (!sharpe_key)
        throw nb::python_error();
    run.stats_sharpe = helper("_tracking_metric", attr(attr(run.bt_result, "per_column_stats"),
                                                       "get")(sharpe_key, 0.0));
    run.abs_weight_sum_mean =
        helper("_tracking_metric", attr_or(run.stats, "abs_weight_sum_mean", zero_float()));

    // `turnover` wins; `avg_turnover` is the fallback (read either way).
    ref avg_turnover = attr_or(run.stats, "avg_turnover", zero_float());
    ref metrics = new_dict();
    set_item(metrics, "sharpe", run.stats_sharpe);
    set_item(metrics, "turnover", attr_or(run.stats, "turnover", avg_turnover));
    set_item(metrics, "delta_exposure", attr(run.stats, "delta_exposure"));
    set_item(metrics, "max_weight", attr(run.stats, "max_weight"));
    set_item(metrics, "abs_weight_sum_mean", run.abs_weight_sum_mean);
    return metrics;
}

// A structural failure is always reported as invalid weights, even when the
// thresholds failed too.
void judge_thresholds(Run &run) {
    ref metrics = scalar_metrics(run);
    run.threshold_result = call(global("evaluate_threshold_gates"), kwarg("metrics", metrics),
                                kwarg("threshold_set", run.thresholds));
    if (!truthy(attr(run.threshold_result, "passed"))) {
        run.pool_passed = false;
        run.stats_verdict = global("_gate_verdict")(false, "thresholds");
    }
    if (run.structural_failed)
        run.stats_verdict = global("_gate_verdict")(false, "invalid_weights");
}

} // namespace

void backtest_and_gate(Run &run) {
    update_status(run.self, "backtesting", 0.0, "Backtesting signal against thresholds...");
    check_cancelled(run.self);
    ensure_fresh_before_backtest(run);

    run.bt_t0 = monotonic();
    run_the_backtest(run);
    run.bt_elapsed = py_float(monotonic() - run.bt_t0);
    record_timing(run);
    if (!truthy(handle_field(run, Field::include_correlation)))
        set_attr(attr(run.bt_result, "stats"), "correlation", none());
    check_cancelled(run.self);

    ref useful_signals = global("_useful_signals");
    run.useful_sigs_for_eval = is_none(useful_signals) ? new_list() : useful_signals;
    collect_found_signal_ids(run);
    load_found_signal_pnl(run);
    resolve_thresholds(run);
    judge_structure(run);
    judge_thresholds(run);
}

} // namespace simsig
