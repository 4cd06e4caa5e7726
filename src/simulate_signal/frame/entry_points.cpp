// The public entry points simulate_signal and simulate_strategy, and the
// published signature both advertise to introspection.
//
// Everything before the handle exists runs on the caller's thread: the graph
// conversion, the named universe and the pool id are checked here, so a bad
// request raises from the call itself and no thread is started.
#include "frame/calls.hpp"
#include "frame/frame.hpp"
#include "frame/state.hpp"

namespace simsig {

namespace {

// The parameters of both entry points, in order.
enum Index {
    GRAPH, NAMED_UNIVERSE, MARKET_ID, ERA_NUMBER, POOL_ID, METAPARAMETERS, INCLUDE_CORRELATION,
    INCLUDE_MI, RECORD, RETURN_SERIES, RETURN_WEIGHTS, FAIL_FAST,
};

struct Kind {
    const char *expression_type;   // "SIGNAL" / "STRATEGY"
    const char *pool_field;        // "signal_pool_id" / "strategy_pool_id"
    const char *pool_kind;         // "signal" / "strategy"
};

constexpr Kind kSignal{"SIGNAL", "signal_pool_id", "signal"};
constexpr Kind kStrategy{"STRATEGY", "strategy_pool_id", "strategy"};

// market_id and era_number are accepted and not used: a run's era always
// comes from the wired era config.
nb::object start_simulation(const Call &a, const Kind &kind) {
    ref graph = helper("_typed_runtime_graph", a[GRAPH]);
    ref named_universe = helper("_resolve_simulation_named_universe", a[NAMED_UNIVERSE],
                                name(kind.expression_type), a[POOL_ID]);
    ref selected_pool_id =
        helper("_validate_selected_pool_id", a[POOL_ID], name(kind.pool_field));
    return call(global("SimulationHandle"), kwarg("graph", graph),
                kwarg("named_universe", named_universe),
                kwarg("expression_type", name(kind.expression_type)),
                kwarg("metaparameters", a[METAPARAMETERS]),
                kwarg("include_correlation", a[INCLUDE_CORRELATION]),
                kwarg("include_mi", a[INCLUDE_MI]), kwarg("record", a[RECORD]),
                kwarg("return_series", a[RETURN_SERIES]),
                kwarg("return_weights", a[RETURN_WEIGHTS]),
                kwarg("selected_pool_id", selected_pool_id),
                kwarg("selected_pool_kind", name(kind.pool_kind)),
                kwarg("fail_fast", a[FAIL_FAST]));
}

nb::object simulate_signal(const Call &a) { return start_simulation(a, kSignal); }
nb::object simulate_strategy(const Call &a) { return start_simulation(a, kStrategy); }

const char *const kSignalDoc =
    "Evaluate a signal expression graph. Returns SimulationHandle immediately.\n"
    "\n"
    "The graph (rotation and feature nodes only) is simulated in the named\n"
    "universe against the signal pool `signal_pool_id` on a background thread.\n"
    "Poll handle.status(), cancel with handle.cancel(), and collect the\n"
    "SimulationResult with handle.result(), which raises the run's error.";

const char *const kStrategyDoc =
    "Evaluate a strategy expression graph. Returns SimulationHandle immediately.\n"
    "\n"
    "The graph (with at least one filtration node over useful signals) is\n"
    "simulated in the named universe against the strategy pool\n"
    "`strategy_pool_id` on a background thread. Poll handle.status(), cancel\n"
    "with handle.cancel(), and collect the SimulationResult with\n"
    "handle.result(), which raises the run's error.";

// inspect.Signature of the ten published parameters, with the pool
// parameter third. market_id and era_number are not published.
nb::object pool_v2_signature(const Call &a) {
    ref inspect = global("inspect");
    ref parameter = attr(inspect, "Parameter");
    ref positional_or_keyword = attr(parameter, "POSITIONAL_OR_KEYWORD");
    ref keyword_only = attr(parameter, "KEYWORD_ONLY");
    nb::list parameters;
    parameters.append(parameter("graph", positional_or_keyword));
    parameters.append(parameter("named_universe", keyword_only, nb::arg("default") = none()));
    parameters.append(parameter(a[0], keyword_only));
    struct Published { const char *name; nb::handle default_value; };
    const Published rest[] = {
        {"metaparameters", none()}, {"include_correlation", true_()}, {"include_mi", true_()},
        {"record", true_()}, {"return_series", false_()}, {"return_weights", false_()},
        {"fail_fast", true_()},
    };
    for (const Published &p : rest)
        parameters.append(parameter(name(p.name), keyword_only, nb::arg("default") = p.default_value));
    return attr(inspect, "Signature")(nb::arg("parameters") = parameters);
}

} // namespace

void define_entry_points() {
    def_function(
        "simulate_signal",
        {arg("graph"), arg("named_universe", none()), kwonly("market_id", none()),
         kwonly("era_number", none()), kwonly("signal_pool_id", none()),
         kwonly("metaparameters", none()), kwonly("include_correlation", true_()),
         kwonly("include_mi", true_()), kwonly("record", true_()),
         kwonly("return_series", false_()), kwonly("return_weights", false_()),
         kwonly("fail_fast", true_())},
        simulate_signal, kSignalDoc);
    def_function(
        "simulate_strategy",
        {arg("graph"), arg("named_universe", none()), kwonly("market_id", none()),
         kwonly("era_number", none()), kwonly("strategy_pool_id", none()),
         kwonly("metaparameters", none()), kwonly("include_correlation", true_()),
         kwonly("include_mi", true_()), kwonly("record", true_()),
         kwonly("return_series", false_()), kwonly("return_weights", false_()),
         kwonly("fail_fast", true_())},
        simulate_strategy, kStrategyDoc);
    def_function("_pool_v2_signature", {arg("pool_parameter_name")}, pool_v2_signature);

    set_attr(global("simulate_signal"), "__signature__",
             helper("_pool_v2_signature", "signal_pool_id"));
    set_attr(global("simulate_strategy"), "__signature__",
             helper("_pool_v2_signature", "strategy_pool_id"));
}

} // namespace simsig
