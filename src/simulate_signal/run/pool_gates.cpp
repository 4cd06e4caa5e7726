// Pipeline stretch: correlation and marginal-improvement gates.
//
// Judges the selected pool on the correlation of the simulated PnL with the
// pool's found PnL and on the marginal improvement it adds, then condenses
// every gate outcome into one failure reason. With fail_fast off a pool that
// already failed keeps being evaluated, as diagnostics.
#include "frame/calls.hpp"
#include "run/pipeline.hpp"
#include "run/stretch_util.hpp"

namespace simsig {

namespace {

bool is_strategy(const Run &run) { return equals(handle_field(run, Field::expression_type), "STRATEGY"); }
bool fail_fast(const Run &run) { return truthy(handle_field(run, Field::fail_fast)); }

void count_selected_pools(Run &run) {
    ref pools = get(run.era_cfg, is_strategy(run) ? "strategy_pools" : "signal_pools");
    run.has_multiple_selected_pools = length(or_else(pools, new_list())) > 1;
}

// The pool's found PnL, in configured order (a repeated id counts twice), and
// for a strategy the synced found-strategy PnL.
void gather_pool_pnl(Run &run) {
    run.pool_signal_ids = get(run.selected_pool_cfg, "found_signal_ids", new_list());
    run.pool_pnl_arrays = new_list();
    for_each_item(run.pool_signal_ids, [&](nb::handle sid) {
        if (contains(run.loaded_signal_pnl, sid))
            append(run.pool_pnl_arrays, getitem(run.loaded_signal_pnl, sid));
    });
    if (is_strategy(run)) {
        run.synced_found_strategy_pnl_arrays = call(
            global("_load_synced_found_strategy_pnl_arrays"), run.sync_result,
            kwarg("raw_backtester", attr_or_none(global("_backtester"), "raw_backtester")));
        attr(run.pool_pnl_arrays, "extend")(run.synced_found_strategy_pnl_arrays);
    }
}

// The pool's own column, else the era's primary evaluation column.
ref pnl_column(const Run &run, const char *key) {
    ref column = get(run.selected_pool_cfg, key);
    if (!truthy(column))
        column = helper("_primary_evaluation_pnl_column", run.era_cfg);
    return column;
}

void correlation_gate(Run &run) {
    gather_pool_pnl(run);
    run.corr_column = pnl_column(run, "correlation_pnl_column");
    run.corr_threshold = get(run.selected_pool_cfg, "is_correlation_threshold");
    if (is_none(run.corr_threshold))
        raise(PyExc_ValueError, "era config selected pool missing required is_correlation_threshold");

    // Among several pools of the kind, an empty pool cannot correlate.
    if (length(run.pool_pnl_arrays) == 0 && run.has_multiple_selected_pools && fail_fast(run)) {
        run.pool_correlation = py_float(0.0);
    } else {
        ref correlate = global("_correlate_per_pool");
        if (is_none(correlate))
            raise(PyExc_ValueError, "Per-pool correlation function required. Inject "
                                    "_correlate_per_pool to compute pool-level correlations.");
        run.pool_correlation =
            call(correlate, kwarg("pool_name", run.selected_pool_name),
                 kwarg("pnl_arrays", run.pool_pnl_arrays), kwarg("pnl_column", run.corr_column),
                 kwarg("threshold", run.corr_threshold));
    }

    run.pool_correlation_failed =
        !truthy(helper("_correlation_gate_passed", run.pool_correlation, run.corr_threshold));
    if (run.pool_correlation_failed)
        run.correlation_verdict = call(global("_gate_verdict"), false_(), name("correlation"),
                                       kwarg("value", run.pool_correlation),
                                       kwarg("threshold", run.corr_threshold));
    else
        run.correlation_verdict =
            call(global("_gate_verdict"), true_(), kwarg("value", run.pool_correlation),
                 kwarg("threshold", run.corr_threshold));
}

void resolve_mi_threshold(Run &run) {
    if (is_strategy(run)) {
        ref fallback = get(run.selected_pool_cfg, "is_pnl_mi_threshold");
        run.mi_threshold = get(run.selected_pool_cfg, "strategy_is_pnl_mi_threshold", fallback);
        if (is_none(run.mi_threshold))
            raise(PyExc_ValueError, "era config selected strategy pool missing required "
                                    "strategy_is_pnl_mi_threshold");
    } else {
        run.mi_threshold = get(run.selected_pool_cfg, "is_pnl_mi_threshold");
        if (is_none(run.mi_threshold))
            raise(PyExc_ValueError,
                  "era config selected signal pool missing required is_pnl_mi_threshold");
    }
}

void empty_pool_mi(Run &run) {
    run.pool_mi_score = global("empty_pool_pnl_mi")();
    run.pool_mi_passed = helper("_pnl_mi_gate_passed", run.pool_mi_score, run.mi_threshold);
}

// A score that is no MI score, or a non-finite one for a non-empty pool,
// counts as unavailable.
void computed_mi(Run &run, nb::handle compute_mi) {
    std::vector<ref> result = unpack(
        call(compute_mi, kwarg("pool_name", run.selected_pool_name),
             kwarg("pnl_column", run.mi_column), kwarg("pool_signals", run.pool_signals_for_mi),
             kwarg("threshold", run.mi_threshold)),
        2);
    run.pool_mi_score = result[0];
    run.pool_mi_passed = result[1];
    bool unusable = helper("_is_mi_score", run.pool_mi_score).ptr() == Py_False;
    if (!unusable && truthy(run.pool_signals_for_mi)) {
        ref number = nb::steal(PyNumber_Float(run.pool_mi_score.ptr()));
        if (!number)
            throw nb::python_error();
        unusable = !truthy(attr(global("math"), "isfinite")(number));
    }
    if (unusable) {
        run.pool_mi_score = ref(nb::none());
        run.pool_mi_passed = py_bool(false);
    } else {
        run.pool_mi_passed = py_bool(truthy(run.pool_mi_passed));
    }
}

void mi_unavailable(Run &run) {
    run.pool_mi_score = ref(nb::none());
    run.pool_mi_passed = py_bool(false);
    ref extra = new_dict();
    set_item(extra, "pool", run.selected_pool_name);
    attr(global("logger"), "warning")("mi_computation_unavailable", nb::arg("extra") = extra);
}

void mi_gate(Run &run) {
    if (!equals(attr(handle_field(run, Field::status), "phase"), "computing_mi"))
        update_status(run.self, "computing_mi", 0.0, "Computing marginal improvement score...");
    check_cancelled(run.self);
    run.mi_column = pnl_column(run, "mi_pnl_column");
    resolve_mi_threshold(run);

    // An injected found-signal pool replaces the configured ids.
    run.pool_signals_for_mi = get(run.selected_pool_cfg, "found_signal_ids", new_list());
    if (!is_none(global("_found_signal_pool")))
        run.pool_signals_for_mi = global("_found_signal_pool");

    bool empty_pool = !truthy(run.pool_signals_for_mi);
    if (empty_pool && (!is_none(global("_found_signal_pool")) ||
                       (run.has_multiple_selected_pools && fail_fast(run)))) {
        empty_pool_mi(run);
    } else if (ref compute_mi = global("_compute_mi_per_pool"); !is_none(compute_mi)) {
        computed_mi(run, compute_mi);
    } else if (empty_pool) {
        empty_pool_mi(run);
    } else {
        mi_unavailable(run);
    }

    if (run.pool_mi_passed.ptr() == Py_False)
        run.mi_verdict = call(global("_gate_verdict"), false_(), name("pnl_mi"),
                              kwarg("value", run.pool_mi_score),
                              kwarg("threshold", run.mi_threshold));
    else
        run.mi_verdict = call(global("_gate_verdict"), true_(), kwarg("value", run.pool_mi_score),
                              kwarg("threshold", run.mi_threshold));
}

void set_failure(Run &run, const char *reason, const char *detail) {
    run.failure_reason = py_str(reason);
    run.failure_detail = py_str(detail);
}

// The first failing stage names the reason.
void condense_failure(Run &run) {
    run.failure_reason = ref(nb::none());
    run.failure_detail = ref(nb::none());
    if (run.structural_failed)
        set_failure(run, "invalid_weights", "Selected pool structural backtest check failed");
    else if (!run.pool_passed)
        set_failure(run, "thresholds", "Selected pool threshold check failed");
    else if (run.pool_correlation_failed)
        set_failure(run, "correlation", "Selected pool correlation threshold failed");
    else if (run.pool_mi_passed.ptr() == Py_False)
        set_failure(run, "pnl_mi", is_none(run.pool_mi_score)
                                       ? "Selected pool PnL MI computation unavailable"
                                       : "Selected pool PnL MI threshold failed");
}

} // namespace

void pool_gates(Run &run) {
    count_selected_pools(run);

    run.pool_correlation = ref(nb::none());
    run.pool_correlation_failed = false;
    if (truthy(handle_field(run, Field::include_correlation)) && (run.pool_passed || !fail_fast(run)))
        correlation_gate(run);

    run.pool_mi_score = ref(nb::none());
    run.pool_mi_passed = ref(nb::none());
    if (truthy(handle_field(run, Field::include_mi)) &&
        ((run.pool_passed && !run.pool_correlation_failed) || !fail_fast(run)))
        mi_gate(run);

    // The MI was computed for a pool that had already failed an earlier stage.
    run.was_diagnostic_only = !fail_fast(run) &&
                              (!run.pool_passed || run.pool_correlation_failed) &&
                              !is_none(run.pool_mi_score);
    condense_failure(run);
}

} // namespace simsig
