// Collaborator globals, the shared sync state and init_simulate_signal.
#include "assembly.hpp"
#include "frame/event.hpp"
#include "frame/frame.hpp"

#include <vector>

namespace simsig {

namespace {

// init_simulate_signal's parameters, in order: one row each, the one place
// they are written. Columns: the parameter; the module global it sets; its
// default (REQUIRED or NONE); what the call does with it (ASSIGN: stored in
// its global, in parameter order; GUARD: the freshness guard, resolved after
// them; IGNORE: accepted and not used); the global's place among the
// collaborator globals created at import (-1: none).
#define SIMSIG_WIRING(X)                                                                   \
    X(auth, _auth, REQUIRED, ASSIGN, 0)                                                    \
    X(sync_manager, _sync_manager, REQUIRED, ASSIGN, 1)                                    \
    X(vault, _vault, REQUIRED, ASSIGN, 7)                                                  \
    X(backtester, _backtester, REQUIRED, ASSIGN, 4)                                        \
    X(search_tracker, _search_tracker, REQUIRED, ASSIGN, 5)                                \
    X(era_thread, _era_thread, REQUIRED, ASSIGN, 6)                                        \
    X(graph_validator, _graph_validator, NONE, ASSIGN, 2)                                  \
    X(batch_orchestrator, _batch_orchestrator, NONE, ASSIGN, 3)                            \
    X(compute_search_plan, _compute_search_plan, NONE, ASSIGN, 8)                          \
    X(era_config, _era_config, NONE, ASSIGN, 9)                                            \
    X(load_vocabulary, _load_vocabulary, NONE, ASSIGN, 11)                                 \
    X(useful_signal_metadata, _useful_signal_metadata, NONE, ASSIGN, 12)                   \
    X(useful_signals, _useful_signals, NONE, ASSIGN, 13)                                   \
    X(useful_signal_pool, _useful_signal_pool, NONE, ASSIGN, 14)                           \
    X(found_signal_pool, _found_signal_pool, NONE, ASSIGN, 15)                             \
    X(load_found_signal_pnl, _load_found_signal_pnl, NONE, ASSIGN, 16)                     \
    X(signal_dir, _signal_dir, NONE, ASSIGN, 17)                                           \
    X(network_client, _network_client, NONE, ASSIGN, 18)                                   \
    X(server_client, _server_client, NONE, ASSIGN, 19)                                     \
    X(BatchOrchestrator_cls, _BatchOrchestrator, NONE, ASSIGN, 20)                         \
    X(set_phase, _set_phase, NONE, ASSIGN, 21)                                             \
    X(correlate_per_pool, _correlate_per_pool, NONE, ASSIGN, 22)                           \
    X(compute_mi_per_pool, _compute_mi_per_pool, NONE, ASSIGN, 23)                         \
    X(vocabulary, _vocabulary, NONE, ASSIGN, 10)                                           \
    X(vocabulary_raw, _vocabulary_raw, NONE, ASSIGN, 25)                                   \
    X(runtime_freshness_guard, _runtime_freshness_guard, NONE, GUARD, 24)                  \
    X(market_id, -, NONE, IGNORE, -1)                                                      \
    X(era_number, -, NONE, IGNORE, -1)

enum Role { ASSIGN, GUARD, IGNORE };

enum Index {
#define SIMSIG_WIRING_INDEX(parameter, global_, default_, role, created) parameter,
    SIMSIG_WIRING(SIMSIG_WIRING_INDEX)
#undef SIMSIG_WIRING_INDEX
    kParameterCount
};

struct Row {
    const char *parameter;
    const char *global;
    bool required;
    Role role;
    int created;
};

const Row kRows[] = {
#define SIMSIG_WIRING_ROW(parameter, global_, default_, role, created) \
    {#parameter, #global_, #default_[0] == 'R', role, created},
    SIMSIG_WIRING(SIMSIG_WIRING_ROW)
#undef SIMSIG_WIRING_ROW
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
    for (const Row &row : kRows)
        if (row.role == ASSIGN)
            set_global(row.global, a[size_t(&row - kRows)]);

    ref guard = nb::borrow(a[runtime_freshness_guard]);
    if (is_none(guard))
        guard = attr_or_none(a[sync_manager], "runtime_freshness_guard");
    set_global(kRows[runtime_freshness_guard].global, guard);

    ref registered_guard = global("_runtime_freshness_guard");
    if (!is_none(registered_guard) && has_attr(a[backtester], "raw_backtester")) {
        if (ref register_consumer = hook(registered_guard, "register_module_consumer"))
            register_consumer("backtester", a[backtester], "raw_backtester");
    }
    return nb::none();
}

} // namespace

void define_wiring() {
    std::vector<Param> params;
    for (const Row &row : kRows)
        params.push_back(row.required ? arg(row.parameter) : arg(row.parameter, none()));
    def_function("init_simulate_signal", params, init_simulate_signal, kInitDoc);
}

void define_collaborator_globals() {
    for (int place = 0; place < kParameterCount; ++place)
        for (const Row &row : kRows)
            if (row.created == place)
                set_global(row.global, none());
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
