// The module globals the module reads or writes after they are bound: one
// row each, its C++ name and its name in the namespace. Every read goes to
// the namespace at that moment (global(G::sync_manager)), so an assignment
// from outside is seen at the next use; only the names are made once.
//
// The module-level helpers are not rows here: each is reached through its
// C++ symbol (call_helper<fn>, frame/helpers.hpp).
#pragma once

#include "frame/frame.hpp"

namespace simsig {

#define SIMSIG_MODULE_GLOBALS(X)                                                                   \
    /* standard modules and the logger */                                                          \
    X(logging, "logging")                                                                          \
    X(importlib, "importlib")                                                                      \
    X(inspect, "inspect")                                                                          \
    X(math, "math")                                                                                \
    X(os, "os")                                                                                    \
    X(sys, "sys")                                                                                  \
    X(threading, "threading")                                                                      \
    X(time, "time")                                                                                \
    X(dataclass, "dataclass")                                                                      \
    X(logger, "logger")                                                                            \
    /* sibling imports */                                                                          \
    X(AuthError, "AuthError")                                                                      \
    X(SdkRuntimeNotReadyError, "SdkRuntimeNotReadyError")                                          \
    X(vault_already_initialized_is_ready, "vault_already_initialized_is_ready")                    \
    X(SCALAR_THRESHOLD_FIELDS, "SCALAR_THRESHOLD_FIELDS")                                          \
    X(evaluate_threshold_gates, "evaluate_threshold_gates")                                        \
    X(backtest_timing, "_backtest_timing")                                                         \
    X(empty_pool_pnl_mi, "empty_pool_pnl_mi")                                                      \
    X(resolve_pool_config, "_resolve_pool_config")                                                 \
    X(gate_verdict, "_gate_verdict")                                                               \
    X(not_evaluated_verdict, "_not_evaluated_verdict")                                             \
    X(DiskSpaceError, "DiskSpaceError")                                                            \
    X(IntegrityError, "IntegrityError")                                                            \
    X(EraError, "EraError")                                                                        \
    X(SyncError, "SyncError")                                                                      \
    X(TrackingStats, "_TrackingStats")                                                             \
    X(function_store, "_function_store")                                                           \
    X(FunctionEntry, "FunctionEntry")                                                              \
    X(FunctionStore, "FunctionStore")                                                              \
    /* the metaparameter and graph-shape primitives */                                             \
    X(canonicalize_metaparameters, "_canonicalize_metaparameters")                                 \
    X(resolve_metaparameters, "_resolve_metaparameters")                                           \
    X(resolve_metaparameters_per_pool, "_resolve_metaparameters_per_pool")                         \
    X(has_filtration_node, "_has_filtration_node")                                                 \
    /* module state and classes */                                                                 \
    X(POOL_METRIC_THRESHOLD_SET, "_POOL_METRIC_THRESHOLD_SET")                                     \
    X(SimulationOrchestratorEvaluator, "_SimulationOrchestratorEvaluator")                         \
    X(CancelledError, "CancelledError")                                                            \
    X(SimulationStatus, "SimulationStatus")                                                        \
    X(SimulationResult, "SimulationResult")                                                        \
    /* collaborators, set by init_simulate_signal; module set-up creates them in */                \
    /* this order, from auth to vocabulary_raw (the order of the namespace)      */                \
    X(auth, "_auth")                                                                               \
    X(sync_manager, "_sync_manager")                                                               \
    X(graph_validator, "_graph_validator")                                                         \
    X(batch_orchestrator, "_batch_orchestrator")                                                   \
    X(backtester, "_backtester")                                                                   \
    X(search_tracker, "_search_tracker")                                                           \
    X(era_thread, "_era_thread")                                                                   \
    X(vault, "_vault")                                                                             \
    X(compute_search_plan, "_compute_search_plan")                                                 \
    X(era_config, "_era_config")                                                                   \
    X(vocabulary, "_vocabulary")                                                                   \
    X(load_vocabulary, "_load_vocabulary")                                                         \
    X(useful_signal_metadata, "_useful_signal_metadata")                                           \
    X(useful_signals, "_useful_signals")                                                           \
    X(useful_signal_pool, "_useful_signal_pool")                                                   \
    X(found_signal_pool, "_found_signal_pool")                                                     \
    X(load_found_signal_pnl, "_load_found_signal_pnl")                                             \
    X(signal_dir, "_signal_dir")                                                                   \
    X(network_client, "_network_client")                                                           \
    X(server_client, "_server_client")                                                             \
    X(BatchOrchestrator, "_BatchOrchestrator")                                                     \
    X(set_phase, "_set_phase")                                                                     \
    X(correlate_per_pool, "_correlate_per_pool")                                                   \
    X(compute_mi_per_pool, "_compute_mi_per_pool")                                                 \
    X(runtime_freshness_guard, "_runtime_freshness_guard")                                         \
    X(vocabulary_raw, "_vocabulary_raw")                                                           \
    /* the shared sync */                                                                          \
    X(sync_lock, "_sync_lock")                                                                     \
    X(sync_in_progress, "_sync_in_progress")                                                       \
    X(sync_result_cache, "_sync_result_cache")                                                     \
    X(sync_exception_cache, "_sync_exception_cache")                                               \
    X(sync_event, "_sync_event")                                                                   \
    /* the handle class and the entry points */                                                    \
    X(SimulationHandle, "SimulationHandle")                                                        \
    X(simulate_signal, "simulate_signal")                                                          \
    X(simulate_strategy, "simulate_strategy")

enum class G : int {
#define SIMSIG_GLOBAL_ID(id, python_name) id,
    SIMSIG_MODULE_GLOBALS(SIMSIG_GLOBAL_ID)
#undef SIMSIG_GLOBAL_ID
        count
};

// The global's name in the namespace (interned).
nb::handle global_name(G g);
// The value bound to it now (NameError if unbound).
ref global(G g);
void set_global(G g, nb::handle value);

} // namespace simsig
