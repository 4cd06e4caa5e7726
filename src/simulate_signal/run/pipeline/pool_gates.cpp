// Pipeline stretch: correlation and marginal-improvement gates.
//
// Judges the selected pool on the correlation of the simulated PnL with the
// pool's found PnL and on the marginal improvement it adds, then condenses
// every gate outcome into one failure reason. With fail_fast off a pool that
// already failed keeps being evaluated, as diagnostics.
#include "config/config.hpp"
#include "frame/calls.hpp"
#include "frame/globals.hpp"
#include "frame/helpers.hpp"
#include "gates/gates.hpp"
#include "run/pipeline/pipeline.hpp"
#include "runtime_data/runtime_data.hpp"

namespace simsig {

namespace {

bool fail_fast(const Run &run) {
    return static_cast<bool>(nb::bool_(handle_field(run, Field::fail_fast)));
}

// What the gates of this stretch share among themselves.
struct PoolGates {
    bool has_multiple_selected_pools = false;
    bool pool_correlation_failed = false;
};

bool has_multiple_selected_pools(const Run &run) {
    ref pools = get(run.era_cfg, is_strategy(run) ? "strategy_pools" : "signal_pools");
    return nb::len(or_else(pools, nb::list())) > 1;
}

// The pool's found PnL, in configured order (a repeated id counts twice), and
// for a strategy the synced found-strategy PnL.
ref gather_pool_pnl(const Run &run) {
    ref pool_signal_ids = get(run.selected_pool_cfg, "found_signal_ids", nb::list());
    nb::list pool_pnl_arrays;
    for (nb::handle sid : pool_signal_ids)
        if (contains(run.loaded_signal_pnl, sid))
            pool_pnl_arrays.append(ref(run.loaded_signal_pnl[sid]));
    if (is_strategy(run)) {
        ref synced_found_strategy_pnl_arrays = call_helper<load_synced_found_strategy_pnl_arrays>(
            run.sync_result,
            kwarg("raw_backtester", attr_or_none(global(G::backtester), "raw_backtester")));
        attr(pool_pnl_arrays, "extend")(synced_found_strategy_pnl_arrays);
    }
    return pool_pnl_arrays;
}

// The pool's own column, else the era's primary evaluation column.
ref pnl_column(const Run &run, const char *key) {
    ref column = get(run.selected_pool_cfg, key);
    if (!nb::bool_(column))
        column = call_helper<primary_evaluation_pnl_column>(run.era_cfg);
    return column;
}

void correlation_gate(Run &run, PoolGates &gates) {
    ref pool_pnl_arrays = gather_pool_pnl(run);
    ref corr_column = pnl_column(run, "correlation_pnl_column");
    ref corr_threshold = get(run.selected_pool_cfg, "is_correlation_threshold");
    if (corr_threshold.is_none())
        raise(PyExc_ValueError,
              "era config selected pool missing required is_correlation_threshold");

    // Among several pools of the kind, an empty pool cannot correlate.
    if (nb::len(pool_pnl_arrays) == 0 && gates.has_multiple_selected_pools && fail_fast(run)) {
        run.pool_correlation = nb::float_(0.0);
    } else {
        ref correlate = global(G::correlate_per_pool);
        if (correlate.is_none())
            raise(PyExc_ValueError, "Per-pool correlation function required. Inject "
                                    "_correlate_per_pool to compute pool-level correlations.");
        run.pool_correlation =
            call(correlate, kwarg("pool_name", run.selected_pool_name),
                 kwarg("pnl_arrays", pool_pnl_arrays), kwarg("pnl_column", corr_column),
                 kwarg("threshold", corr_threshold));
    }

    gates.pool_correlation_failed =
        !nb::bool_(call_helper<correlation_gate_passed>(run.pool_correlation, corr_threshold));
    if (gates.pool_correlation_failed)
        run.correlation_verdict =
            call(global(G::gate_verdict), false_(), name("correlation"),
                 kwarg("value", run.pool_correlation), kwarg("threshold", corr_threshold));
    else
        run.correlation_verdict =
            call(global(G::gate_verdict), true_(), kwarg("value", run.pool_correlation),
                 kwarg("threshold", corr_threshold));
}

ref resolve_mi_threshold(const Run &run) {
    if (is_strategy(run)) {
        ref fallback = get(run.selected_pool_cfg, "is_pnl_mi_threshold");
        ref mi_threshold = get(run.selected_pool_cfg, "strategy_is_pnl_mi_threshold", fallback);
        if (mi_threshold.is_none())
            raise(PyExc_ValueError, "era config selected strategy pool missing required "
                                    "strategy_is_pnl_mi_threshold");
        return mi_threshold;
    }
    ref mi_threshold = get(run.selected_pool_cfg, "is_pnl_mi_threshold");
    if (mi_threshold.is_none())
        raise(PyExc_ValueError,
              "era config selected signal pool missing required is_pnl_mi_threshold");
    return mi_threshold;
}

void empty_pool_mi(Run &run, nb::handle mi_threshold) {
    run.pool_mi_score = global(G::empty_pool_pnl_mi)();
    run.pool_mi_passed = call_helper<pnl_mi_gate_passed>(run.pool_mi_score, mi_threshold);
}

// A score that is no MI score, or a non-finite one for a non-empty pool,
// counts as unavailable.
void computed_mi(Run &run, nb::handle compute_mi, nb::handle mi_column, nb::handle mi_threshold,
                 nb::handle pool_signals_for_mi) {
    std::vector<ref> result = unpack(
        call(compute_mi, kwarg("pool_name", run.selected_pool_name), kwarg("pnl_column", mi_column),
             kwarg("pool_signals", pool_signals_for_mi), kwarg("threshold", mi_threshold)),
        2);
    run.pool_mi_score = result[0];
    run.pool_mi_passed = result[1];
    bool unusable = call_helper<is_mi_score>(run.pool_mi_score).ptr() == Py_False;
    if (!unusable && nb::bool_(pool_signals_for_mi)) {
        ref number = nb::steal(PyNumber_Float(run.pool_mi_score.ptr()));
        if (!number)
            throw nb::python_error();
        unusable = !nb::bool_(call(module_attr(global(G::math), "isfinite"), number));
    }
    if (unusable) {
        run.pool_mi_score = ref(nb::none());
        run.pool_mi_passed = nb::bool_(false);
    } else {
        run.pool_mi_passed = nb::bool_(run.pool_mi_passed);
    }
}

void mi_unavailable(Run &run) {
    run.pool_mi_score = ref(nb::none());
    run.pool_mi_passed = nb::bool_(false);
    ref extra = nb::dict();
    extra[name("pool")] = run.selected_pool_name;
    attr(global(G::logger), "warning")("mi_computation_unavailable", nb::arg("extra") = extra);
}

void mi_gate(Run &run, const PoolGates &gates) {
    if (!attr(handle_field(run, Field::status), "phase").equal(name("computing_mi")))
        update_status(run.self, "computing_mi", 0.0, "Computing marginal improvement score...");
    check_cancelled(run.self);
    ref mi_column = pnl_column(run, "mi_pnl_column");
    ref mi_threshold = resolve_mi_threshold(run);

    // An injected found-signal pool replaces the configured ids.
    ref pool_signals_for_mi = get(run.selected_pool_cfg, "found_signal_ids", nb::list());
    if (!global(G::found_signal_pool).is_none())
        pool_signals_for_mi = global(G::found_signal_pool);

    bool empty_pool = !nb::bool_(pool_signals_for_mi);
    if (empty_pool && (!global(G::found_signal_pool).is_none() ||
                       (gates.has_multiple_selected_pools && fail_fast(run)))) {
        empty_pool_mi(run, mi_threshold);
    } else if (ref compute_mi = global(G::compute_mi_per_pool); !compute_mi.is_none()) {
        computed_mi(run, compute_mi, mi_column, mi_threshold, pool_signals_for_mi);
    } else if (empty_pool) {
        empty_pool_mi(run, mi_threshold);
    } else {
        mi_unavailable(run);
    }

    if (run.pool_mi_passed.ptr() == Py_False)
        run.mi_verdict = call(global(G::gate_verdict), false_(), name("pnl_mi"),
                              kwarg("value", run.pool_mi_score), kwarg("threshold", mi_threshold));
    else
        run.mi_verdict = call(global(G::gate_verdict), true_(), kwarg("value", run.pool_mi_score),
                              kwarg("threshold", mi_threshold));
}

void set_failure(Run &run, const char *reason, const char *detail) {
    run.failure_reason = nb::str(reason);
    run.failure_detail = nb::str(detail);
}

// The first failing stage names the reason.
void condense_failure(Run &run, const PoolGates &gates) {
    run.failure_reason = ref(nb::none());
    run.failure_detail = ref(nb::none());
    if (run.structural_failed)
        set_failure(run, "invalid_weights", "Selected pool structural backtest check failed");
    else if (!run.pool_passed)
        set_failure(run, "thresholds", "Selected pool threshold check failed");
    else if (gates.pool_correlation_failed)
        set_failure(run, "correlation", "Selected pool correlation threshold failed");
    else if (run.pool_mi_passed.ptr() == Py_False)
        set_failure(run, "pnl_mi",
                    run.pool_mi_score.is_none() ? "Selected pool PnL MI computation unavailable"
                                                : "Selected pool PnL MI threshold failed");
}

} // namespace

void pool_gates(Run &run) {
    PoolGates gates;
    gates.has_multiple_selected_pools = has_multiple_selected_pools(run);

    run.pool_correlation = ref(nb::none());
    if (nb::bool_(handle_field(run, Field::include_correlation)) &&
        (run.pool_passed || !fail_fast(run)))
        correlation_gate(run, gates);

    run.pool_mi_score = ref(nb::none());
    run.pool_mi_passed = ref(nb::none());
    if (nb::bool_(handle_field(run, Field::include_mi)) &&
        ((run.pool_passed && !gates.pool_correlation_failed) || !fail_fast(run)))
        mi_gate(run, gates);

    // The MI was computed for a pool that had already failed an earlier stage.
    run.was_diagnostic_only = !fail_fast(run) &&
                              (!run.pool_passed || gates.pool_correlation_failed) &&
                              !run.pool_mi_score.is_none();
    condense_failure(run, gates);
}

} // namespace simsig
