// The pipeline body's shared state and its stretches (run folder internals).
//
// One run's locals live together in `Run`, created on the pipeline thread by
// SimulationHandle._run_pipeline and handed to each stretch in run order:
//
//   acquire_and_sync        acquisition and data sync
//   set_up_runtime          vault, vocabulary and reconstruction set-up
//   validate_and_configure  graph validation and configuration
//   evaluate                evaluation
//   backtest_and_gate       backtest, timing and stats gates
//   pool_gates              correlation and marginal-improvement gates
//   finish                  era re-check, pending record and result
//
// Each stretch reads and writes the fields of its own section and reads
// those of earlier sections. Field names are the locals' names.
#pragma once

#include "frame/frame.hpp"

namespace simsig {

struct HandleObject;

struct Run {
    nb::handle self;   // the SimulationHandle (kept alive by the thread's target)
    HandleObject *handle() const { return reinterpret_cast<HandleObject *>(self.ptr()); }

    // --- acquisition and data sync -------------------------------------
    bool acquired = false;
    ref ec_dict;
    ref wallet_secret;          // never logged, never stored on the handle
    ref graph_feature_names;
    bool do_sync = false;
    ref sync_result;
    ref market_id;
    ref era_number;

    // --- vault, vocabulary and reconstruction set-up ---------------------
    ref data_dir;
    ref shuffle_blob;
    ref initialize_runtime_vault;
    ref initialize_vault;
    ref loaded_vocab;

    // --- graph validation and configuration ------------------------------
    ref era_cfg;
    ref transform_pipeline;
    ref universe_rule_id;
    ref selected_pool_cfg;
    ref allowed_named_universes;
    ref selected_pool_name;
    ref selected_signal_pool_id;
    ref selected_transform_pool_id;
    ref resolved_metaparameters_by_pool;
    ref selected_resolved_metaparameters;
    ref record_metaparameters_by_pool;
    ref evaluation_metaparameters_by_pool;

    // --- evaluation -------------------------------------------------------
    ref evaluate_expression;
    ref run_backtest;
    ref backtest_direct;
    bool use_adapter_path = false;
    bool use_direct_backtest_path = false;
    ref manifest;
    ref signal_dir;
    ref feature_dir;
    ref search_plan;
    ref orchestrator_delegate;
    ref extra_evaluate_kwargs;
    ref eval_result;
    ref per_pool_weights;
    ref eval_weights;
    double eval_t0 = 0.0;
    ref eval_elapsed;           // float seconds

    // --- backtest, timing and stats gates ---------------------------------
    ref ensure_fresh;
    double bt_t0 = 0.0;
    ref bt_result;
    ref bt_elapsed;             // float seconds
    ref bt_row_count;
    ref bt_max_row_elapsed;
    ref useful_sigs_for_eval;
    ref pool_cfg;
    ref pool_name;
    ref all_signal_ids;
    ref seen_ids;
    ref loaded_signal_pnl;
    ref missing_signal_ids;
    ref pool_universe;
    ref threshold_key;
    ref thresholds;
    bool structural_failed = false;
    bool pool_passed = false;   // structural check and scalar thresholds only
    ref stats_verdict;
    ref correlation_verdict;
    ref mi_verdict;
    ref stats;
    ref primary_pnl_col;
    ref stats_sharpe;
    ref abs_weight_sum_mean;
    ref threshold_result;

    // --- correlation and marginal-improvement gates -----------------------
    bool has_multiple_selected_pools = false;
    ref pool_correlation;
    bool pool_correlation_failed = false;
    ref pool_signal_ids;
    ref pool_pnl_arrays;
    ref synced_found_strategy_pnl_arrays;
    ref corr_column;
    ref corr_threshold;
    ref pool_mi_score;
    ref pool_mi_passed;
    ref mi_column;
    ref mi_threshold;
    ref pool_signals_for_mi;
    bool was_diagnostic_only = false;
    ref failure_reason;
    ref failure_detail;

    // --- era re-check, pending record and result --------------------------
    ref mi_score;
    ref mi_passed;
    ref current_era;
    ref config_era;
    ref rejection_reason;
    ref tracking_stats;
    ref payload;
    ref sim_result;
};

void acquire_and_sync(Run &run);
void set_up_runtime(Run &run);
void validate_and_configure(Run &run);
void evaluate(Run &run);
void backtest_and_gate(Run &run);
void pool_gates(Run &run);
void finish(Run &run);

} // namespace simsig
