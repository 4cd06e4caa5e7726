// The public entry points simulate_signal and simulate_strategy, and the
// published signature both advertise to introspection.
//
// Everything before the handle exists runs on the caller's thread: the graph
// conversion, the named universe and the pool id are checked here, so a bad
// request raises from the call itself and no thread is started.
#include "assembly.hpp"
#include "frame/calls.hpp"
#include "frame/frame.hpp"

#include <vector>

namespace simsig {

namespace {

// The parameters of both entry points, in order: one row each, the one
// place they are written. Columns: the parameter (`pool_id` stands for
// signal_pool_id / strategy_pool_id); its kind (POSITIONAL: positional or
// keyword; KEYWORD: keyword-only); its default (REQUIRED, NONE, TRUE or FALSE);
// whether the published signature shows it (market_id and era_number are
// accepted and not published).
#define SIMSIG_ENTRY_PARAMETERS(X)                                                         \
    X(graph, POSITIONAL, REQUIRED, true)                                                   \
    X(named_universe, POSITIONAL, NONE, true)                                              \
    X(market_id, KEYWORD, NONE, false)                                                     \
    X(era_number, KEYWORD, NONE, false)                                                    \
    X(pool_id, KEYWORD, NONE, true)                                                        \
    X(metaparameters, KEYWORD, NONE, true)                                                 \
    X(include_correlation, KEYWORD, TRUE, true)                                            \
    X(include_mi, KEYWORD, TRUE, true)                                                     \
    X(record, KEYWORD, TRUE, true)                                                         \
    X(return_series, KEYWORD, FALSE, true)                                                 \
    X(return_weights, KEYWORD, FALSE, true)                                                \
    X(fail_fast, KEYWORD, TRUE, true)

enum Index {
#define SIMSIG_ENTRY_INDEX(parameter, kind, default_, published) parameter,
    SIMSIG_ENTRY_PARAMETERS(SIMSIG_ENTRY_INDEX)
#undef SIMSIG_ENTRY_INDEX
};

enum Default { REQUIRED, NONE, TRUE, FALSE };

struct EntryParameter {
    const char *name;
    bool keyword_only;
    Default default_value;
    bool published;
};

const EntryParameter kEntryParameters[] = {
#define SIMSIG_ENTRY_ROW(parameter, kind, default_, published) \
    {#parameter, #kind[0] == 'K', default_, published},
    SIMSIG_ENTRY_PARAMETERS(SIMSIG_ENTRY_ROW)
#undef SIMSIG_ENTRY_ROW
};

nb::handle default_object(Default d) {
    return d == TRUE ? true_() : d == FALSE ? false_() : none();
}

// The parameter's name, with the pool parameter named for its kind.
const char *parameter_name(const EntryParameter &p, const char *pool_field) {
    return &p == &kEntryParameters[pool_id] ? pool_field : p.name;
}

std::vector<Param> entry_parameters(const char *pool_field) {
    std::vector<Param> params;
    for (const EntryParameter &p : kEntryParameters) {
        const char *n = parameter_name(p, pool_field);
        if (p.default_value == REQUIRED)
            params.push_back(p.keyword_only ? kwonly(n) : arg(n));
        else
            params.push_back(p.keyword_only ? kwonly(n, default_object(p.default_value))
                                            : arg(n, default_object(p.default_value)));
    }
    return params;
}

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
    ref graph = helper("_typed_runtime_graph", a[Index::graph]);
    ref named_universe = helper("_resolve_simulation_named_universe", a[Index::named_universe],
                                name(kind.expression_type), a[pool_id]);
    ref selected_pool_id =
        helper("_validate_selected_pool_id", a[pool_id], name(kind.pool_field));
    return call(global("SimulationHandle"), kwarg("graph", graph),
                kwarg("named_universe", named_universe),
                kwarg("expression_type", name(kind.expression_type)),
                kwarg("metaparameters", a[metaparameters]),
                kwarg("include_correlation", a[include_correlation]),
                kwarg("include_mi", a[include_mi]), kwarg("record", a[record]),
                kwarg("return_series", a[return_series]),
                kwarg("return_weights", a[return_weights]),
                kwarg("selected_pool_id", selected_pool_id),
                kwarg("selected_pool_kind", name(kind.pool_kind)),
                kwarg("fail_fast", a[fail_fast]));
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
    for (const EntryParameter &p : kEntryParameters) {
        if (!p.published)
            continue;
        // The published form: the graph alone is positional, and the pool
        // parameter has no default.
        bool first = &p == &kEntryParameters[Index::graph];
        nb::handle n = &p == &kEntryParameters[pool_id] ? a[0] : name(p.name);
        if (first || &p == &kEntryParameters[pool_id])
            parameters.append(parameter(n, first ? positional_or_keyword : keyword_only));
        else
            parameters.append(parameter(n, keyword_only,
                                        nb::arg("default") = default_object(p.default_value)));
    }
    return attr(inspect, "Signature")(nb::arg("parameters") = parameters);
}

} // namespace

void define_entry_points() {
    def_function("simulate_signal", entry_parameters("signal_pool_id"), simulate_signal,
                 kSignalDoc);
    def_function("simulate_strategy", entry_parameters("strategy_pool_id"), simulate_strategy,
                 kStrategyDoc);
    def_function("_pool_v2_signature", {arg("pool_parameter_name")}, pool_v2_signature);

    set_attr(global("simulate_signal"), "__signature__",
             helper("_pool_v2_signature", "signal_pool_id"));
    set_attr(global("simulate_strategy"), "__signature__",
             helper("_pool_v2_signature", "strategy_pool_id"));
}

} // namespace simsig
