// Pipeline stretch: graph validation and configuration.
//
// The run's private era-config copy, the lazily built graph validator, the
// transform pipeline and metaparameters, the universe rule id, the graph
// check, the selected pool and the per-pool metaparameters.
#include "config/config.hpp"
#include "frame/globals.hpp"
#include "frame/helpers.hpp"
#include "run/pipeline/pipeline.hpp"
#include "runtime_data/runtime_data.hpp"

namespace simsig {

namespace {

const char *const kGraphValidatorRequired =
    "GraphValidator runtime is required for simulation. Initialize the synced graph "
    "validation runtime before calling simulate_signal().";

void build_graph_validator(const Run &run) {
    std::vector<ref> runtime = unpack(call_helper<import_graph_validator_runtime>(), 2);
    ref graph_validator_cls = runtime[0], validator_config_cls = runtime[1];
    if (!nb::bool_(call_helper<is_function_store_registry>(global(G::vocabulary))))
        raise(PyExc_TypeError,
              "GraphValidator requires a FunctionStore registry in runtime simulation");
    ref raw = or_else(global(G::vocabulary_raw), nb::dict());
    ref graph_validator_config = from_import("tallowmere._runtime", "_graph_validator_config");
    ref graph_validator_names = from_import("tallowmere._runtime", "_graph_validator_names");
    std::vector<ref> names = unpack(graph_validator_names(raw), 2);
    ref config = graph_validator_config(validator_config_cls, run.era_cfg);
    set_global(G::graph_validator,
               graph_validator_cls(global(G::vocabulary), names[0], names[1], config));
}

// Built once per process by the first run that finds none and has a vocabulary.
void bootstrap_graph_validator(const Run &run) {
    if (!global(G::graph_validator).is_none() || global(G::vocabulary).is_none())
        return;
    ref exc = catch_exception([&] { build_graph_validator(run); });
    if (!exc)
        return;
    if (is_instance(exc, global(G::SdkRuntimeNotReadyError)))
        raise_object(exc);
    log_warning("Failed to bootstrap _graph_validator: %s", exc);
    raise_from(PyExc_RuntimeError, kGraphValidatorRequired, exc);
}

// Stages are tested in order; the first truthy one ends the test.
bool has_per_pool_default(nb::handle transform_pipeline) {
    for (nb::handle stage : transform_pipeline)
        if (nb::bool_(get(stage, "per_pool_default")))
            return true;
    return false;
}

void resolve_transform_pipeline(Run &run) {
    run.transform_pipeline = get(run.era_cfg, "transform_pipeline");
    if (run.transform_pipeline.is_none())
        raise_from_none(global(G::SdkRuntimeNotReadyError),
                        "missing required era config field: transform_pipeline");
    // Rejects invalid metaparameters before any pool work; the per-pool
    // resolution below is the one whose result counts.
    if (!has_per_pool_default(run.transform_pipeline))
        call_function(global(G::resolve_metaparameters), handle_field(run, Field::metaparameters),
                      run.transform_pipeline);
}

void resolve_universe_rule_id(const Run &run) {
    ref named_universe = handle_field(run, Field::named_universe);
    ref universe_rule_id =
        call_helper<resolve_universe_rule_id_for_sdk>(run.era_cfg, named_universe);
    if (universe_rule_id.is_none()) {
        ref available_names =
            nb::list(attr(or_else(get(run.era_cfg, "universe_rules"), nb::dict()), "keys")());
        if (PyList_Sort(available_names.ptr()))
            throw nb::python_error();
        ref allowed_names =
            nb::list(or_else(get(run.era_cfg, "allowed_named_universes"), nb::list()));
        raise(PyExc_ValueError,
              format("Unknown named_universe '%S'. Available named_universe values: %S. "
                     "Allowed named_universe values: %S",
                     named_universe.ptr(), available_names.ptr(), allowed_names.ptr()));
    }
    ref old = set_field(run.handle(), Field::universe_rule_id, universe_rule_id);
}

void validate_graph(const Run &run) {
    ref graph_validator = global(G::graph_validator);
    if (graph_validator.is_none())
        raise(PyExc_RuntimeError, kGraphValidatorRequired);
    attr(graph_validator, "validate")(handle_field(run, Field::graph),
                                      handle_field(run, Field::expression_type));
}

// A None on either side skips the check.
void require_useful_signals() {
    ref useful_signals = global(G::useful_signals);
    ref useful_signal_pool = global(G::useful_signal_pool);
    if (!useful_signals.is_none() && nb::len(useful_signals) == 0 &&
        !useful_signal_pool.is_none() && nb::len(useful_signal_pool) == 0)
        raise(PyExc_ValueError, "No useful signals match the filtration criteria. Cannot "
                                "execute strategy graph without useful signals.");
}

void select_pool(Run &run) {
    ref expression_type = handle_field(run, Field::expression_type);
    ref named_universe = handle_field(run, Field::named_universe);
    run.selected_pool_cfg = call_helper<selected_pool_config>(
        run.era_cfg, expression_type, handle_field(run, Field::selected_pool_id));
    ref allowed_named_universes = call_helper<pool_allowed_named_universes>(run.selected_pool_cfg);
    if (nb::bool_(allowed_named_universes) && !contains(allowed_named_universes, named_universe))
        raise(PyExc_ValueError,
              format("named_universe '%S' is not in selected pool allowed_named_universes=%R",
                     named_universe.ptr(), allowed_named_universes.ptr()));
    run.selected_pool_name = call_helper<selected_pool_runtime_name>(
        run.selected_pool_cfg, expression_type, handle_field(run, Field::selected_pool_id));
}

// The weights belong to a signal pool: the selected one, or a strategy's linked one.
void select_signal_pool(Run &run) {
    if (!is_strategy(run)) {
        run.selected_signal_pool_id = handle_field(run, Field::selected_pool_id);
    } else {
        run.selected_signal_pool_id = call_helper<strategy_signal_pool_id>(
            run.selected_pool_cfg, handle_field(run, Field::selected_pool_id));
        call_helper<validate_strategy_useful_signal_pools>(
            handle_field(run, Field::selected_pool_id), run.selected_pool_cfg,
            global(G::useful_signals), global(G::useful_signal_metadata));
    }
}

// The transforms run for the pool the weights belong to.
void resolve_pool_metaparameters(Run &run) {
    ref selected_transform_pool_id = run.selected_signal_pool_id;
    nb::list pool_ids;
    pool_ids.append(selected_transform_pool_id);
    ref resolved_metaparameters_by_pool = call_function(
        global(G::canonicalize_metaparameters),
        call_function(global(G::resolve_metaparameters_per_pool),
                      handle_field(run, Field::metaparameters), run.transform_pipeline, pool_ids));
    run.selected_resolved_metaparameters =
        attr(resolved_metaparameters_by_pool, "get")(selected_transform_pool_id, nb::dict());
    // Recording is keyed by the selected pool, evaluation by the signal pool;
    // each gets its own copy.
    run.record_metaparameters_by_pool = nb::dict();
    ref selected_pool_id = handle_field(run, Field::selected_pool_id);
    run.record_metaparameters_by_pool[selected_pool_id] =
        dict_copy(run.selected_resolved_metaparameters);
    run.evaluation_metaparameters_by_pool = nb::dict();
    run.evaluation_metaparameters_by_pool[selected_transform_pool_id] =
        dict_copy(run.selected_resolved_metaparameters);
}

} // namespace

void validate_and_configure(Run &run) {
    update_status(run.self, "graph-validation", 0.0,
                  "Validating graph and simulation parameters...");
    run.era_cfg = call_helper<resolve_runtime_era_config>(run.market_id, run.era_number);
    bootstrap_graph_validator(run);
    resolve_transform_pipeline(run);
    resolve_universe_rule_id(run);
    validate_graph(run);
    if (is_strategy(run))
        require_useful_signals();
    select_pool(run);
    select_signal_pool(run);
    resolve_pool_metaparameters(run);
}

} // namespace simsig
