// Pipeline stretch: era re-check, pending record and result.
//
// Makes sure the era did not change while the run went on, leaves the
// search-tracking record for result() to record, publishes the
// SimulationResult and reports "complete".
#include "config/config.hpp"
#include "frame/globals.hpp"
#include "frame/helpers.hpp"
#include "gates/gates.hpp"
#include "graph/graph.hpp"
#include "run/pipeline/pipeline.hpp"

namespace simsig {

namespace {

void recheck_era(const Run &run) {
    ref current_era = attr(global(G::era_thread), "get_current_era_number")();
    ref config_era = handle_field(run, Field::config_era_number);
    if (current_era.not_equal(config_era))
        raise(global(G::EraError),
              format("Era changed during simulation. Started with era_number=%S, current "
                     "era_number=%S. Results are invalid. Retry with the new era.",
                     config_era.ptr(), current_era.ptr()));
}

ref record_payload(const Run &run, nb::handle rejection_reason, nb::handle tracking_stats) {
    ref graph = handle_field(run, Field::graph);
    ref payload = dict_of({
        {"source", name("simulate")},
        {"graph", call_helper<plain_tracking_graph>(graph)},
        {"named_universe", handle_field(run, Field::named_universe)},
        {"era_number", run.era_number},
        {"passed_thresholds", nb::bool_(run.pool_passed)},
        {"rejection_reason", rejection_reason},
        {"expression_elapsed_seconds", run.eval_elapsed},
        {"stats", tracking_stats},
        {"metaparameters", run.record_metaparameters_by_pool},
        {"per_column_stats", attr(run.bt_result, "per_column_stats")},
        {"is_correlation", run.pool_correlation},
        {"is_pnl_mi", run.pool_mi_score},
        {"agent_is_pnl_mi", run.pool_mi_score},
        {"failure_reason", run.failure_reason},
        {"failure_detail", run.failure_detail},
        {"stats_verdict", run.stats_verdict},
        {"correlation_verdict", run.correlation_verdict},
        {"mi_verdict", run.mi_verdict},
    });
    if (is_strategy(run)) {
        payload[name("strategy_pool_id")] = handle_field(run, Field::selected_pool_id);
        payload[name("signal_pool_id")] = run.selected_signal_pool_id;
        payload[name("referenced_signal_ids")] = call_helper<strategy_referenced_signal_ids>(
            run.useful_sigs_for_eval, global(G::useful_signal_metadata), run.selected_pool_cfg);
    } else {
        payload[name("signal_pool_id")] = run.selected_signal_pool_id;
    }
    return payload;
}

// Stores `value` on the handle. A cancel() that came after the last check
// (while the record or the result was built) ends the run here, as a check
// would: the cancelled run publishes neither.
void publish(const Run &run, Field f, nb::handle value) {
    HandleObject *h = run.handle();
    locked(h, [&](Displaced &displaced) {
        if (field_truthy(h, Field::cancelled))
            raise(global(G::CancelledError), "Simulation cancelled");
        displaced.push_back(set_field(h, f, value));
    });
}

// result() records it once the caller collects the result; cancel() drops it.
void prepare_pending_record(const Run &run) {
    ref rejection_reason = ref(nb::none());
    if (!run.failure_reason.is_none())
        rejection_reason = nb::bool_(run.failure_detail) ? run.failure_detail : run.failure_reason;
    ref tracking_stats = call_helper<build_tracking_stats>(
        attr(run.bt_result, "stats"), attr(run.bt_result, "per_column_stats"), run.era_cfg);
    ref payload = record_payload(run, rejection_reason, tracking_stats);
    ref pending = pair(handle_field(run, Field::expression_type), payload);
    publish(run, Field::pending_recording, pending);
}

// mi_score and mi_passed are the selected pool's.
ref simulation_result(const Run &run) {
    ref fields = dict_of({
        {"stats", attr(run.bt_result, "stats")},
        {"pnl_matrix", attr(run.bt_result, "pnl_matrix")},
        {"per_column_stats", attr(run.bt_result, "per_column_stats")},
        {"portfolio_returns", nb::bool_(handle_field(run, Field::return_series))
                                  ? attr_or_none(run.bt_result, "portfolio_returns")
                                  : ref(nb::none())},
        {"processed_weights", attr_or_none(run.bt_result, "processed_weights")},
        {"pool_kind", handle_field(run, Field::selected_pool_kind)},
        {"signal_pool_id", run.selected_signal_pool_id},
        {"strategy_pool_id",
         is_strategy(run) ? handle_field(run, Field::selected_pool_id) : ref(nb::none())},
        {"is_correlation", run.pool_correlation},
        {"is_pnl_mi", run.pool_mi_score},
        {"was_diagnostic_only", nb::bool_(run.was_diagnostic_only)},
        {"failure_reason", run.failure_reason},
        {"failure_detail", run.failure_detail},
        {"rejection_reason", none()},
        {"passed", nb::bool_(run.pool_passed)},
        {"structural_failed", attr_or(run.bt_result, "structural_failed", false_())},
        {"mi_score", run.pool_mi_score},
        {"mi_passed", run.pool_mi_passed},
        {"stats_verdict", run.stats_verdict},
        {"correlation_verdict", run.correlation_verdict},
        {"mi_verdict", run.mi_verdict},
        {"expression_elapsed_seconds", run.eval_elapsed},
        {"backtest_elapsed_seconds", run.bt_elapsed},
        {"max_backtest_row_elapsed_seconds", run.bt_max_row_elapsed},
        {"resolved_metaparameters", run.selected_resolved_metaparameters},
    });
    return call_with_kwargs(global(G::SimulationResult), fields);
}

} // namespace

void finish(Run &run) {
    check_cancelled(run.self);
    recheck_era(run);
    check_cancelled(run.self);

    if (nb::bool_(handle_field(run, Field::record)))
        prepare_pending_record(run);

    ref sim_result = simulation_result(run);
    publish(run, Field::result, sim_result);
    update_status(run.self, "complete", 1.0, "Simulation complete. Results available.");
}

} // namespace simsig
