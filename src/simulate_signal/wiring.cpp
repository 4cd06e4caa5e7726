// Collaborator globals, the shared sync state and init_simulate_signal.
#include "assembly.hpp"
#include "frame/event.hpp"
#include "frame/frame.hpp"
#include "frame/globals.hpp"

#include <string_view>
#include <vector>

namespace simsig {

namespace {

// init_simulate_signal's parameters, in order: one row each, the one place
// they are written. Columns: the parameter; the module global it sets; whether
// it is required (the others default to None); what the call does with it
// (assign: stored in its global, in parameter order; guard: the freshness
// guard, resolved after them; ignore: accepted and not used).
enum class Role { assign, guard, ignore };

struct WiringParameter {
    const char *parameter;
    G global;
    bool required;
    Role role;
};

constexpr WiringParameter kWiring[] = {
    {"auth", G::auth, true, Role::assign},
    {"sync_manager", G::sync_manager, true, Role::assign},
    {"vault", G::vault, true, Role::assign},
    {"backtester", G::backtester, true, Role::assign},
    {"search_tracker", G::search_tracker, true, Role::assign},
    {"era_thread", G::era_thread, true, Role::assign},
    {"graph_validator", G::graph_validator, false, Role::assign},
    {"batch_orchestrator", G::batch_orchestrator, false, Role::assign},
    {"compute_search_plan", G::compute_search_plan, false, Role::assign},
    {"era_config", G::era_config, false, Role::assign},
    {"load_vocabulary", G::load_vocabulary, false, Role::assign},
    {"useful_signal_metadata", G::useful_signal_metadata, false, Role::assign},
    {"useful_signals", G::useful_signals, false, Role::assign},
    {"useful_signal_pool", G::useful_signal_pool, false, Role::assign},
    {"found_signal_pool", G::found_signal_pool, false, Role::assign},
    {"load_found_signal_pnl", G::load_found_signal_pnl, false, Role::assign},
    {"signal_dir", G::signal_dir, false, Role::assign},
    {"network_client", G::network_client, false, Role::assign},
    {"server_client", G::server_client, false, Role::assign},
    {"BatchOrchestrator_cls", G::BatchOrchestrator, false, Role::assign},
    {"set_phase", G::set_phase, false, Role::assign},
    {"correlate_per_pool", G::correlate_per_pool, false, Role::assign},
    {"compute_mi_per_pool", G::compute_mi_per_pool, false, Role::assign},
    {"vocabulary", G::vocabulary, false, Role::assign},
    {"vocabulary_raw", G::vocabulary_raw, false, Role::assign},
    {"runtime_freshness_guard", G::runtime_freshness_guard, false, Role::guard},
    {"market_id", G::count, false, Role::ignore},
    {"era_number", G::count, false, Role::ignore},
};
constexpr int kWiringCount = int(sizeof(kWiring) / sizeof(kWiring[0]));

// The argument index of a parameter, by its name.
consteval size_t parameter_index(std::string_view parameter) {
    for (int i = 0; i < kWiringCount; ++i)
        if (parameter == kWiring[i].parameter)
            return size_t(i);
    throw "not a parameter of init_simulate_signal";
}

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
    for (int i = 0; i < kWiringCount; ++i)
        if (kWiring[i].role == Role::assign)
            set_global(kWiring[i].global, a[size_t(i)]);

    nb::handle sync_manager = a[parameter_index("sync_manager")];
    ref guard = nb::borrow(a[parameter_index("runtime_freshness_guard")]);
    if (guard.is_none())
        guard = attr_or_none(sync_manager, "runtime_freshness_guard");
    set_global(G::runtime_freshness_guard, guard);

    ref registered_guard = global(G::runtime_freshness_guard);
    nb::handle backtester = a[parameter_index("backtester")];
    if (!registered_guard.is_none() && has_attr(backtester, "raw_backtester")) {
        if (ref register_consumer = hook(registered_guard, "register_module_consumer"))
            register_consumer("backtester", backtester, "raw_backtester");
    }
    return nb::none();
}

} // namespace

void define_wiring() {
    std::vector<Param> params;
    for (const WiringParameter &row : kWiring)
        params.push_back(row.required ? arg(row.parameter) : arg(row.parameter, none()));
    def_function("init_simulate_signal", params, init_simulate_signal, kInitDoc);
}

// The collaborator rows of the globals table, in its order: the order the
// module namespace lists them in, which is not the parameters' order.
void define_collaborator_globals() {
    for (int g = int(G::auth); g <= int(G::vocabulary_raw); ++g)
        set_global(G(g), none());
}

void define_sync_globals() {
    ref threading = global(G::threading);
    set_global(G::sync_lock, attr(threading, "Lock")());
    set_global(G::sync_in_progress, false_());
    set_global(G::sync_result_cache, none());
    set_global(G::sync_exception_cache, none());
    set_global(G::sync_event, new_event());
}

} // namespace simsig
