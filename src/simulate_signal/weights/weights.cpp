// Rescale detection, weight finalisation and the write-back of finalized
// weights into the backtester's caches.
//
// A stage of the era's transform pipeline is a dict or any object, read by
// key or attribute. The pipeline rescales when the option a stage resolves to,
// or its option config, names one of the rescaling transforms.
#include "weights/weights.hpp"
#include "frame/frame.hpp"
#include "frame/globals.hpp"
#include "frame/helpers.hpp"
#include "graph/graph.hpp"

namespace simsig {

namespace {

// The three rescaling option names, compared by equality.
bool is_rescale_name(nb::handle value) {
    return value.equal(name("rescale")) || value.equal(name("latitudinal_fill_c3d683")) ||
           value.equal(name("l1_resize"));
}

// `first or d.get(key)`
ref or_get(ref first, nb::handle d, const char *key) {
    return nb::bool_(first) ? first : method_get(d, name(key));
}

// ---------------------------------------------------------------------------
// Rescale detection

} // namespace

ref stage_value(nb::handle stage, nb::handle key, nb::handle default_value) {
    if (nb::isinstance<nb::dict>(stage))
        return method_get(stage, key, default_value);
    return attr_or(stage, key, default_value);
}

ref resolved_stage_option(nb::handle stage, nb::handle metaparameters) {
    ref stage_name = call_helper<stage_value>(stage, name("name"));
    if (nb::isinstance<nb::dict>(metaparameters)) {
        if (contains(metaparameters, stage_name)) {
            PyObject *option = PyObject_GetItem(metaparameters.ptr(), stage_name.ptr());
            if (!option)
                throw nb::python_error();
            return nb::steal(option);
        }
    }
    return call_helper<stage_value>(stage, name("default"));
}

ref option_uses_rescale(nb::handle option, nb::handle option_config) {
    if (is_rescale_name(option))
        return nb::bool_(true);
    if (!nb::isinstance<nb::dict>(option_config))
        return nb::bool_(false);
    ref rotation = or_get(method_get(option_config, name("rotation")), option_config, "transform");
    if (is_rescale_name(rotation))
        return nb::bool_(true);
    ref composite = method_get(option_config, name("composite"));
    if (!PyList_Check(composite.ptr()) && !PyTuple_Check(composite.ptr()))
        return nb::bool_(false);
    bool rescales = false;
    for (nb::handle entry : composite) {
        if (PyUnicode_Check(entry.ptr())) {
            rescales = is_rescale_name(entry);
        } else if (nb::isinstance<nb::dict>(entry)) {
            ref entry_name = or_get(or_get(method_get(entry, name("name")), entry, "rotation"),
                                    entry, "transform");
            rescales = is_rescale_name(entry_name);
        }
        if (rescales)
            break;
    }
    return nb::bool_(rescales);
}

ref pipeline_applies_rescale(nb::handle transform_pipeline, nb::handle metaparameters) {
    if (!nb::bool_(transform_pipeline))
        return nb::bool_(false);
    bool rescales = false;
    for (nb::handle stage : transform_pipeline) {
        ref option = call_helper<resolved_stage_option>(stage, metaparameters);
        ref option_configs = call_helper<stage_value>(stage, name("option_configs"), none());
        ref option_config = nb::isinstance<nb::dict>(option_configs)
                                ? method_get(option_configs, option)
                                : ref(nb::none());
        if (nb::bool_(call_helper<option_uses_rescale>(option, option_config))) {
            rescales = true;
            break;
        }
    }
    return nb::bool_(rescales);
}

// ---------------------------------------------------------------------------
// Stage data and finalisation

ref empty_runtime_stage_data() {
    // _FunctionGraphNode, StageData = _import_typed_shapes()
    std::vector<ref> shapes = unpack(call_helper<import_typed_shapes>(), 2);
    return shapes[1]();
}

ref finalize_rescaled_weights(nb::handle weights) {
    ref finalize = from_import("tallowmere._runtime", "_finalize_rescaled_runtime_weights");
    return finalize(weights);
}

namespace {

// ---------------------------------------------------------------------------
// Write-back

const char *const kInstallFinalizedWeightsDoc =
    "Best-effort update for adapters that cache evaluated weights internally.";

void cache_on_results(nb::handle backtester, nb::handle weights) {
    for (const char *result_attr : {"_last_eval_result", "last_eval_result"}) {
        ref result = attr_or_none(backtester, result_attr);
        if (result.is_none())
            continue;
        if (ref failure = catch_exception([&] { set_attr(result, "weights", weights); }))
            log_debug("failed to cache finalized weights on %s: %s", result_attr, failure);
    }
}

void cache_on_cache_entry(nb::handle backtester, nb::handle graph, nb::handle metaparameters,
                          nb::handle named_universe, nb::handle weights) {
    ref cache = attr_or_none(backtester, "_cache");
    ref cache_key = attr_or_none(backtester, "_cache_key");
    if (!nb::isinstance<nb::dict>(cache) || !PyCallable_Check(cache_key.ptr()))
        return;
    ref key;
    if (catch_exception([&] {
            key = cache_key(graph, nb::arg("metaparameters") = metaparameters,
                            nb::arg("named_universe") = named_universe);
        }))
        return;
    ref entry = method_get(cache, key);
    if (entry.is_none())
        return;
    ref failure = catch_exception([&] { set_attr(entry, "weights", weights); });
    if (!failure)
        return;
    log_debug("failed to cache finalized weights on cache entry attribute: %s", failure);
    if (!nb::isinstance<nb::dict>(entry))
        return;
    if (ref mapping_failure = catch_exception([&] { entry[name("weights")] = weights; }))
        log_debug("failed to cache finalized weights on cache entry mapping: %s",
                  mapping_failure);
}

} // namespace

// Best effort: every write is guarded and a failure only logged at DEBUG.
ref install_finalized_weights(nb::handle backtester, nb::handle graph, nb::handle metaparameters,
                              nb::handle named_universe, nb::handle weights) {
    if (backtester.is_none())
        return nb::none();
    if (ref failure = catch_exception([&] { set_attr(backtester, "_last_weights", weights); }))
        log_debug("failed to cache finalized weights on backtester: %s", failure);
    cache_on_results(backtester, weights);
    cache_on_cache_entry(backtester, graph, metaparameters, named_universe, weights);
    return nb::none();
}

namespace {

// ---------------------------------------------------------------------------
// _SimulationOrchestratorEvaluator: installed as the backtester's `evaluator`
// so that its evaluation calls reach the batch orchestrator with the run's
// extra keyword arguments.

nb::object evaluator_init(const Call &a) {
    nb::handle self = a[0];
    set_attr(self, "_delegate", a[1]);
    set_attr(self, "_extra_kwargs", dict_copy(a[2]));
    return nb::none();
}

// The caller's keyword arguments win over the stored extras.
nb::object evaluator_evaluate(const Call &a) {
    nb::handle self = a[0];
    ref merged = nb::steal(PyDict_Copy(a.kwargs().ptr()));
    if (!merged)
        throw nb::python_error();
    for (nb::handle item : attr(attr(self, "_extra_kwargs"), "items")()) {
        std::vector<ref> pair = unpack(item, 2);
        int given = PyDict_Contains(merged.ptr(), pair[0].ptr());
        if (given < 0 || (!given && PyDict_SetItem(merged.ptr(), pair[0].ptr(), pair[1].ptr())))
            throw nb::python_error();
    }
    return call_with_kwargs(attr(attr(self, "_delegate"), "evaluate"), merged);
}

} // namespace

void define_weights_functions() {
    def_helper<stage_value>("_stage_value", {arg("stage"), arg("name"), arg("default", none())});
    def_helper<resolved_stage_option>("_resolved_stage_option",
                                      {arg("stage"), arg("metaparameters")});
    def_helper<option_uses_rescale>("_option_uses_rescale", {arg("option"), arg("option_config")});
    def_helper<pipeline_applies_rescale>("_pipeline_applies_rescale",
                                         {arg("transform_pipeline"), arg("metaparameters")});
    def_helper<empty_runtime_stage_data>("_empty_runtime_stage_data", {});
    def_helper<finalize_rescaled_weights>("_finalize_rescaled_weights", {arg("weights")});
    def_helper<install_finalized_weights>("_install_finalized_weights",
                                          {arg("backtester"), arg("graph"), arg("metaparameters"),
                                           arg("named_universe"), arg("weights")},
                                          kInstallFinalizedWeightsDoc);
}

void define_evaluator_class() {
    nb::dict ns;
    ns["__doc__"] = "Routes a backtester's evaluation calls to the batch orchestrator, adding "
                    "extra keyword arguments the caller did not give.";
    ns["__init__"] = make_function("_SimulationOrchestratorEvaluator.__init__",
                                   {arg("self"), arg("delegate"), arg("extra_kwargs")},
                                   evaluator_init);
    ns["evaluate"] = make_function("_SimulationOrchestratorEvaluator.evaluate",
                                   {arg("self"), var_kwargs("kwargs")}, evaluator_evaluate);
    nb::tuple bases = nb::make_tuple(nb::handle((PyObject *) &PyBaseObject_Type));
    set_global(G::SimulationOrchestratorEvaluator,
               make_class("_SimulationOrchestratorEvaluator", bases, ns));
}

} // namespace simsig
