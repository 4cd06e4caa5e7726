// The public entry points simulate_signal and simulate_strategy, and the
// published signature both advertise to introspection.
//
// Everything before the handle exists runs on the caller's thread: the graph
// conversion, the named universe and the pool id are checked here, so a bad
// request raises from the call itself and no thread is started.
#include "assembly.hpp"
#include "config/config.hpp"
#include "frame/calls.hpp"
#include "frame/frame.hpp"
#include "frame/globals.hpp"
#include "frame/helpers.hpp"
#include "graph/graph.hpp"
#include "run/handle/attributes.hpp"

#include <vector>

namespace simsig {

namespace {

// The parameters of both entry points, in their order (the attribute
// table's entry column), the pool parameter named for its kind.
std::vector<Param> entry_parameters(const char *pool_field) {
    std::vector<Param> params;
    for (int place = 0; place < kEntryParameterCount; ++place) {
        const HandleAttribute &row = entry_row(place);
        const char *n = row.pool_parameter ? pool_field : row.parameter();
        if (row.entry_default == Default::required)
            params.push_back(row.entry_keyword_only ? kwonly(n) : arg(n));
        else
            params.push_back(row.entry_keyword_only ? kwonly(n, default_object(row.entry_default))
                                                    : arg(n, default_object(row.entry_default)));
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

// The names of the constructor's parameters, a tuple made once.
PyObject *constructor_keywords() {
    nb::list names;
    for (const HandleAttribute &row : kHandleAttributes)
        if (row.init_parameter)
            names.append(name(row.parameter()));
    PyObject *keywords = PySequence_Tuple(names.ptr());
    if (!keywords)
        throw nb::python_error();  // the static below is then made at the next call
    return keywords;
}

// The handle's constructor argument for field f: what the caller gave, with
// the graph, the named universe and the pool checked and resolved here.
nb::handle constructor_argument(Field f, const Call &a, const Kind &kind, const ref &graph,
                                const ref &named_universe, const ref &selected_pool_id) {
    switch (f) {
    case Field::graph:
        return graph;
    case Field::named_universe:
        return named_universe;
    case Field::expression_type:
        return name(kind.expression_type);
    case Field::selected_pool_id:
        return selected_pool_id;
    case Field::selected_pool_kind:
        return name(kind.pool_kind);
    default:
        return a[size_t(row_of(f).entry_place)];
    }
}

// SimulationHandle(**arguments), keyword by keyword in the constructor's order.
// market_id and era_number are accepted and not used: a run's era always
// comes from the wired era config.
nb::object start_simulation(const Call &a, const Kind &kind) {
    ref graph = call_helper<typed_runtime_graph>(a[entry_index(Field::graph)]);
    ref named_universe = call_helper<resolve_simulation_named_universe>(
        a[entry_index(Field::named_universe)], kind.expression_type,
        a[entry_index(Field::selected_pool_id)]);
    ref selected_pool_id = call_helper<validate_selected_pool_id>(
        a[entry_index(Field::selected_pool_id)], kind.pool_field);

    static PyObject *keywords = constructor_keywords();
    PyObject *stack[1 + kAttributeCount];
    size_t n = 0;
    for (int i = 0; i < kAttributeCount; ++i)
        if (kHandleAttributes[i].init_parameter)
            stack[1 + n++] =
                constructor_argument(Field(i), a, kind, graph, named_universe, selected_pool_id)
                    .ptr();
    PyObject *handle = PyObject_Vectorcall(global(G::SimulationHandle).ptr(), stack + 1,
                                           PY_VECTORCALL_ARGUMENTS_OFFSET, keywords);
    if (!handle)
        throw nb::python_error();
    return nb::steal(handle);
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

} // namespace

// inspect.Signature of the published parameters, in the entry points' order,
// the pool parameter named `pool_parameter_name`. market_id and era_number are
// not published.
ref pool_v2_signature(nb::handle pool_parameter_name) {
    ref inspect = global(G::inspect);
    ref parameter = attr(inspect, "Parameter");
    ref positional_or_keyword = attr(parameter, "POSITIONAL_OR_KEYWORD");
    ref keyword_only = attr(parameter, "KEYWORD_ONLY");
    nb::list parameters;
    for (int place = 0; place < kEntryParameterCount; ++place) {
        const HandleAttribute &row = entry_row(place);
        nb::handle n = row.pool_parameter ? pool_parameter_name : name(row.parameter());
        switch (row.published) {
        case Published::hidden:
            break;
        case Published::positional:
            parameters.append(parameter(n, positional_or_keyword));
            break;
        case Published::keyword_required:
            parameters.append(parameter(n, keyword_only));
            break;
        case Published::keyword:
            parameters.append(
                parameter(n, keyword_only, nb::arg("default") = default_object(row.entry_default)));
            break;
        }
    }
    return attr(inspect, "Signature")(nb::arg("parameters") = parameters);
}

void define_entry_points() {
    def_function("simulate_signal", entry_parameters("signal_pool_id"), simulate_signal,
                 kSignalDoc);
    def_function("simulate_strategy", entry_parameters("strategy_pool_id"), simulate_strategy,
                 kStrategyDoc);
    def_helper<pool_v2_signature>("_pool_v2_signature", {arg("pool_parameter_name")});

    set_attr(global(G::simulate_signal), "__signature__",
             call_helper<pool_v2_signature>("signal_pool_id"));
    set_attr(global(G::simulate_strategy), "__signature__",
             call_helper<pool_v2_signature>("strategy_pool_id"));
}

} // namespace simsig
