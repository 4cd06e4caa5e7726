// Module set-up: what importing the module builds, in this order.
#include "assembly.hpp"
#include "frame/calls.hpp"
#include "frame/event.hpp"
#include "frame/frame.hpp"
#include "frame/state.hpp"

#include "config/config.hpp"
#include "frame/globals.hpp"
#include "gates/gates.hpp"
#include "graph/graph.hpp"
#include "options/options.hpp"
#include "run/run.hpp"
#include "runtime_data/runtime_data.hpp"
#include "weights/weights.hpp"

namespace simsig {

namespace {

void bind_standard_modules() {
    for (const char *m : {"logging", "importlib", "inspect", "math", "os", "sys", "threading",
                          "time"})
        set_global(m, import_module(m));
    set_global(G::dataclass, from_import("dataclasses", "dataclass"));
}

void bind_logger() {
    set_global(G::logger, attr(global(G::logging), "getLogger")("tallowmere.simulate_signal"));
}

void bind_sibling_imports() {
    struct Import { const char *module; const char *name; const char *bound_as; };
    const Import imports[] = {
        {"tallowmere.auth", "AuthError", "AuthError"},
        {"tallowmere.errors", "SdkRuntimeNotReadyError", "SdkRuntimeNotReadyError"},
        {"tallowmere._vault_init", "vault_already_initialized_is_ready",
         "vault_already_initialized_is_ready"},
        {"tallowmere._threshold_gates", "SCALAR_THRESHOLD_FIELDS", "SCALAR_THRESHOLD_FIELDS"},
        {"tallowmere._threshold_gates", "evaluate_threshold_gates", "evaluate_threshold_gates"},
        {"tallowmere", "_backtest_timing", "_backtest_timing"},
        {"tallowmere._pnl_marginal_improvement", "empty_pool_pnl_mi", "empty_pool_pnl_mi"},
        {"tallowmere._pool_identity", "resolve_pool_config", "_resolve_pool_config"},
        {"tallowmere._evaluation_verdicts", "gate_verdict", "_gate_verdict"},
        {"tallowmere._evaluation_verdicts", "not_evaluated_verdict", "_not_evaluated_verdict"},
        {"tallowmere.sync", "DiskSpaceError", "DiskSpaceError"},
        {"tallowmere.sync", "IntegrityError", "IntegrityError"},
        {"tallowmere.sync", "EraError", "EraError"},
        {"tallowmere.sync", "SyncError", "SyncError"},
        {"tallowmere.search_tracking", "BacktestStats", "_TrackingStats"},
    };
    for (const Import &i : imports)
        set_global(i.bound_as, from_import(i.module, i.name));
    // import tallowmere.function_store as _function_store
    import_module("tallowmere.function_store");
    set_global(G::function_store, from_import("tallowmere", "function_store"));
    set_global(G::FunctionEntry, from_import("tallowmere.function_store", "FunctionEntry"));
    set_global(G::FunctionStore, from_import("tallowmere.function_store", "FunctionStore"));
}

void bind_primitives_from(const char *metaparameters_module, const char *graph_shape_module) {
    set_global(G::canonicalize_metaparameters, from_import(metaparameters_module, "canonicalize"));
    set_global(G::resolve_metaparameters,
               from_import(metaparameters_module, "resolve_metaparameters"));
    set_global(G::resolve_metaparameters_per_pool,
               from_import(metaparameters_module, "resolve_metaparameters_per_pool"));
    set_global(G::has_filtration_node, from_import(graph_shape_module, "has_filtration_node"));
}

// Only ImportError selects the fallback; a failing fallback aborts the import.
void bind_primitives() {
    ref failure = catch_exception(
        [] {
            bind_primitives_from("tallowmere.simulate_primitives.metaparameters",
                                 "tallowmere.simulate_primitives.graph_shape");
        },
        PyExc_ImportError);
    if (failure) {
        set_global(G::canonicalize_metaparameters,
                   from_import("tallowmere._simulate_primitives", "canonicalize"));
        set_global(G::has_filtration_node,
                   from_import("tallowmere._simulate_primitives", "has_filtration_node"));
        set_global(G::resolve_metaparameters,
                   from_import("tallowmere._simulate_primitives", "resolve_metaparameters"));
        set_global(
            G::resolve_metaparameters_per_pool,
            from_import("tallowmere._simulate_primitives", "resolve_metaparameters_per_pool"));
    }
}

nb::object on_interpreter_exit(const Call &) {
    mark_interpreter_exiting();
    return nb::none();
}

// atexit runs before finalization begins, while pipeline threads still hold
// references; from then on those references are leaked, never released.
void register_exit_hook() {
    ref hook_fn = make_function("_on_interpreter_exit", {}, on_interpreter_exit);
    attr(import_module("atexit"), "register")(hook_fn);
}

// The pipeline threads do not follow into a child made by fork(). Python's
// os.register_at_fork and not pthread_atfork: its child handlers run once the
// interpreter works again in the child (and after threading's own), so they
// may call Python; pthread_atfork's run before that.
nb::object on_fork_child(const Call &) {
    renew_wait_flags_after_fork();
    simsig::after_fork_in_child();
    return nb::none();
}

void register_fork_hook() {
    ref hook_fn = make_function("_after_fork_in_child", {}, on_fork_child);
    call(attr(import_module("os"), "register_at_fork"), kwarg("after_in_child", hook_fn));
}

} // namespace

void build_module() {
    init_function_type();
    register_exit_hook();
    register_fork_hook();

    bind_standard_modules();
    bind_logger();
    bind_sibling_imports();
    bind_primitives();

    // Module-level helpers; the pool threshold set comes first.
    define_threshold_set();
    define_graph_functions();
    define_config_functions();
    define_gate_functions();
    define_runtime_data_functions();
    define_weights_functions();

    // Classes.
    define_evaluator_class();
    define_records();

    define_collaborator_globals();
    define_sync_globals();
    define_wiring();

    // The handle, the entry points with their published signatures, and the
    // options surface.
    define_handle_class();
    define_entry_points();
    define_options_functions();
}

} // namespace simsig
