// Collaborator globals, the shared sync state and init_simulate_signal.
#include "frame/event.hpp"
#include "frame/frame.hpp"
#include "frame/state.hpp"

namespace simsig {

namespace {

// The collaborator globals in their order of creation.
const char *const kCollaboratorGlobals[] = {
    "_auth", "_sync_manager", "_graph_validator", "_batch_orchestrator", "_backtester",
    "_search_tracker", "_era_thread", "_vault", "_compute_search_plan", "_era_config",
    "_vocabulary", "_load_vocabulary", "_useful_signal_metadata", "_useful_signals",
    "_useful_signal_pool", "_found_signal_pool", "_load_found_signal_pnl", "_signal_dir",
    "_network_client", "_server_client", "_BatchOrchestrator", "_set_phase",
    "_correlate_per_pool", "_compute_mi_per_pool", "_runtime_freshness_guard",
    "_vocabulary_raw",
};

// init_simulate_signal's parameters in order; the global each one sets is
// its name with a leading underscore, assigned in this order. The freshness
// guard and the two ignored ids are handled apart.
enum Index {
    AUTH, SYNC_MANAGER, VAULT, BACKTESTER, SEARCH_TRACKER, ERA_THREAD, GRAPH_VALIDATOR,
    BATCH_ORCHESTRATOR, COMPUTE_SEARCH_PLAN, ERA_CONFIG, LOAD_VOCABULARY,
    USEFUL_SIGNAL_METADATA, USEFUL_SIGNALS, USEFUL_SIGNAL_POOL, FOUND_SIGNAL_POOL,
    LOAD_FOUND_SIGNAL_PNL, SIGNAL_DIR, NETWORK_CLIENT, SERVER_CLIENT, BATCH_ORCHESTRATOR_CLS,
    SET_PHASE, CORRELATE_PER_POOL, COMPUTE_MI_PER_POOL, VOCABULARY, VOCABULARY_RAW,
    RUNTIME_FRESHNESS_GUARD, MARKET_ID, ERA_NUMBER,
};

struct Assignment { Index param; const char *global; };
const Assignment kAssignments[] = {
    {AUTH, "_auth"}, {SYNC_MANAGER, "_sync_manager"}, {VAULT, "_vault"},
    {BACKTESTER, "_backtester"}, {SEARCH_TRACKER, "_search_tracker"},
    {ERA_THREAD, "_era_thread"}, {GRAPH_VALIDATOR, "_graph_validator"},
    {BATCH_ORCHESTRATOR, "_batch_orchestrator"}, {COMPUTE_SEARCH_PLAN, "_compute_search_plan"},
    {ERA_CONFIG, "_era_config"}, {LOAD_VOCABULARY, "_load_vocabulary"},
    {USEFUL_SIGNAL_METADATA, "_useful_signal_metadata"}, {USEFUL_SIGNALS, "_useful_signals"},
    {USEFUL_SIGNAL_POOL, "_useful_signal_pool"}, {FOUND_SIGNAL_POOL, "_found_signal_pool"},
    {LOAD_FOUND_SIGNAL_PNL, "_load_found_signal_pnl"}, {SIGNAL_DIR, "_signal_dir"},
    {NETWORK_CLIENT, "_network_client"}, {SERVER_CLIENT, "_server_client"},
    {BATCH_ORCHESTRATOR_CLS, "_BatchOrchestrator"}, {SET_PHASE, "_set_phase"},
    {CORRELATE_PER_POOL, "_correlate_per_pool"}, {COMPUTE_MI_PER_POOL, "_compute_mi_per_pool"},
    {VOCABULARY, "_vocabulary"}, {VOCABULARY_RAW, "_vocabulary_raw"},
};

const char *const kInitDoc =
    "Wire all module-level DI globals for production use.\n"
    "\n"
    "Required (must not be None) for the pipeline to function:\n"
    "    auth, sync_manager, vault, backtester, search_tracker, era_thread.\n"
    "\n"
    "Optional (None is acceptable; pipeline degrades gracefully):\n"
    "    graph_validator, batch_orchestrator, compute_search_plan, era_config,\n"
    "    load_vocabulary, useful_signal_metadata, useful_signals,\n"
    "    useful_signal_pool, found_signal_pool, load_found_signal_pnl,\n"
    "    signal_dir, network_client, server_client, BatchOrchestrator_cls,\n"
    "    set_phase, correlate_per_pool, compute_mi_per_pool, vocabulary,\n"
    "    vocabulary_raw, runtime_freshness_guard.\n"
    "\n"
    "market_id and era_number are accepted and ignored: a run's era always\n"
    "comes from the wired era_config.\n"
    "\n"
    "May be called again at any time to re-wire; each call replaces every\n"
    "collaborator global, setting omitted optional ones back to None.";

nb::object init_simulate_signal(const Call &a) {
    for (const Assignment &assignment : kAssignments)
        set_global(assignment.global, a[assignment.param]);

    ref guard = nb::borrow(a[RUNTIME_FRESHNESS_GUARD]);
    if (is_none(guard))
        guard = attr_or_none(a[SYNC_MANAGER], "runtime_freshness_guard");
    set_global("_runtime_freshness_guard", guard);

    ref registered_guard = global("_runtime_freshness_guard");
    if (!is_none(registered_guard) && has_attr(a[BACKTESTER], "raw_backtester")) {
        if (ref register_consumer = hook(registered_guard, "register_module_consumer"))
            register_consumer("backtester", a[BACKTESTER], "raw_backtester");
    }
    return nb::none();
}

} // namespace

void define_wiring() {
    def_function("init_simulate_signal",
                 {arg("auth"), arg("sync_manager"), arg("vault"), arg("backtester"),
                  arg("search_tracker"), arg("era_thread"), arg("graph_validator", none()),
                  arg("batch_orchestrator", none()), arg("compute_search_plan", none()),
                  arg("era_config", none()), arg("load_vocabulary", none()),
                  arg("useful_signal_metadata", none()), arg("useful_signals", none()),
                  arg("useful_signal_pool", none()), arg("found_signal_pool", none()),
                  arg("load_found_signal_pnl", none()), arg("signal_dir", none()),
                  arg("network_client", none()), arg("server_client", none()),
                  arg("BatchOrchestrator_cls", none()), arg("set_phase", none()),
                  arg("correlate_per_pool", none()), arg("compute_mi_per_pool", none()),
                  arg("vocabulary", none()), arg("vocabulary_raw", none()),
                  arg("runtime_freshness_guard", none()), arg("market_id", none()),
                  arg("era_number", none())},
                 init_simulate_signal, kInitDoc);
}

void define_collaborator_globals() {
    for (const char *g : kCollaboratorGlobals)
        set_global(g, none());
}

void define_sync_globals() {
    ref threading = global("threading");
    set_global("_sync_lock", attr(threading, "Lock")());
    set_global("_sync_in_progress", false_());
    set_global("_sync_result_cache", none());
    set_global("_sync_exception_cache", none());
    set_global("_sync_event", new_event());
}

} // namespace simsig
