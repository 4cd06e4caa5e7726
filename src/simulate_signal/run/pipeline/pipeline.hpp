// The pipeline body's shared state and its stretches (run folder internals).
//
// The locals of one run that outlive their stretch live together in `Run`,
// created on the pipeline thread by SimulationHandle._run_pipeline and handed
// to each stretch in run order:
//
//   acquire_and_sync        acquisition and data sync
//   set_up_runtime          vault, vocabulary and reconstruction set-up
//   validate_and_configure  graph validation and configuration
//   evaluate                evaluation
//   backtest_and_gate       backtest, timing and stats gates
//   pool_gates              correlation and marginal-improvement gates
//   finish                  era re-check, pending record and result
//
// Run holds what a later stretch (or the driver) reads: each section lists
// what its stretch leaves for those after it. What a stretch needs for itself
// alone stays local to its file. Field names are the locals' names.
#pragma once

#include "frame/frame.hpp"
#include "run/handle/handle.hpp"

namespace simsig {

struct HandleObject;

struct Run {
    nb::handle self;  // the SimulationHandle (kept alive by the thread's target)
    HandleObject *handle() const { return reinterpret_cast<HandleObject *>(self.ptr()); }

    // --- acquisition and data sync -------------------------------------
    bool acquired = false;  // read by the driver's exit block
    ref wallet_secret;      // never logged, never stored on the handle
    ref sync_result;
    ref market_id;
    ref era_number;

    // --- vault, vocabulary and reconstruction set-up ---------------------
    ref data_dir;

    // --- graph validation and configuration ------------------------------
    ref era_cfg;
    ref transform_pipeline;
    ref selected_pool_cfg;
    ref selected_pool_name;
    ref selected_signal_pool_id;
    ref selected_resolved_metaparameters;
    ref record_metaparameters_by_pool;
    ref evaluation_metaparameters_by_pool;

    // --- evaluation -------------------------------------------------------
    ref run_backtest;
    ref backtest_direct;
    bool use_adapter_path = false;
    ref eval_weights;
    ref eval_elapsed;  // float seconds

    // --- backtest, timing and stats gates ---------------------------------
    ref bt_result;
    ref bt_elapsed;  // float seconds
    ref bt_max_row_elapsed;
    ref useful_sigs_for_eval;
    ref loaded_signal_pnl;
    bool structural_failed = false;
    bool pool_passed = false;  // structural check and scalar thresholds only
    ref stats_verdict;
    ref correlation_verdict;
    ref mi_verdict;

    // --- correlation and marginal-improvement gates -----------------------
    ref pool_correlation;
    ref pool_mi_score;
    ref pool_mi_passed;
    bool was_diagnostic_only = false;
    ref failure_reason;
    ref failure_detail;
};

// self.<attribute>, read at each use.
inline ref handle_field(const Run &run, Field f) { return field(run.self, f); }
inline bool is_strategy(const Run &run) {
    return is_strategy(handle_field(run, Field::expression_type));
}

// SimulationHandle._run_pipeline (run/pipeline/driver.cpp).
ref run_pipeline(nb::handle self);

void acquire_and_sync(Run &run);
void set_up_runtime(Run &run);
void validate_and_configure(Run &run);
void evaluate(Run &run);
void backtest_and_gate(Run &run);
void pool_gates(Run &run);
void finish(Run &run);

// After fork(), in the child (run/pipeline/sync.cpp, run/handle/handle.cpp).
void reset_shared_sync_after_fork();
// A new lock for one held by a thread that did not follow; empty otherwise.
ref renewed_lock_if_held(nb::handle lock);

} // namespace simsig
