// The function-store registry and vocabulary freshness.
//
// The raw vocabulary (a dict) comes from the injected loader, from a
// "vocabulary.json" artifact of the synced data, or is refreshed by the
// runtime freshness guard between runs. Collaborator globals (`_sync_manager`,
// `_load_vocabulary`, `_era_config`, `_backtester`) are read at each call.
#include "frame/frame.hpp"
#include "frame/globals.hpp"
#include "frame/helpers.hpp"
#include "runtime_data/runtime_data.hpp"

namespace simsig {

namespace {

ref python_import(const char *module_name) {
    return attr(global(G::importlib), "import_module")(module_name);
}

// ---------------------------------------------------------------------------
// The registry

} // namespace

// Also true for an instance of the class that a reload of the function-store
// module put in its place.
ref is_function_store_registry(nb::handle value) {
    if (is_instance(value, global(G::FunctionStore)))
        return nb::bool_(true);
    ref current_function_store;
    ref missing = catch_exception(
        [&] { current_function_store = from_import("tallowmere.function_store", "FunctionStore"); },
        PyExc_ModuleNotFoundError);
    if (missing) {
        if (attr(missing, "name").equal(name("tallowmere.function_store")))
            return nb::bool_(false);
        raise_object(missing);
    }
    return nb::bool_(is_instance(value, current_function_store));
}

ref build_obfuscated_store(nb::handle vocabulary_dict) {
    ref runtime_mod = python_import("tallowmere._runtime");
    ref build_function_registry = hook(runtime_mod, "_build_function_registry");
    if (!build_function_registry)
        raise(PyExc_RuntimeError, "tallowmere._runtime._build_function_registry is required");
    ref era_config = global(G::era_config);
    ref era_cfg = nb::isinstance<nb::dict>(era_config) ? era_config : nb::dict();
    return build_function_registry(vocabulary_dict, nb::arg("era_config") = era_cfg);
}

// (GraphValidator, ValidatorConfig) of the simulator engine, the loaded one
// first. A failed import is tried once more before its error is raised.
ref import_graph_validator_runtime() {
    const char *gv_name = "tallowmere.simulator_engine.graph_validator";
    ref gv_mod = attr(attr(global(G::sys), "modules"), "get")(gv_name);
    if (gv_mod.is_none()) {
        if (catch_exception([&] { gv_mod = python_import(gv_name); }, PyExc_ImportError))
            gv_mod = python_import(gv_name);
    }
    ref runtime_mod = python_import("tallowmere._runtime");
    ref graph_validator = attr(runtime_mod, "_graph_validator_constructor")(gv_mod);
    ref validator_config = attr(gv_mod, "ValidatorConfig");
    return nb::make_tuple(graph_validator, validator_config);
}

namespace {

// ---------------------------------------------------------------------------
// Freshness

ref shas_or_empty(nb::handle snapshot, const char *name_) {
    ref shas = attr_or(snapshot, name_, nb::dict());
    return nb::bool_(shas) ? shas : nb::dict();
}

} // namespace

// (pending, loaded) copies of the guard's artifact bookkeeping; any failure
// reading it counts as no bookkeeping at all.
ref runtime_vocabulary_freshness_state(nb::handle guard) {
    if (guard.is_none())
        return nb::make_tuple(nb::dict(), nb::dict());
    ref state;
    ref failure = catch_exception([&] {
        ref snapshot = attr_or_none(guard, "snapshot");
        if (snapshot.is_none()) {
            state = nb::make_tuple(nb::dict(), nb::dict());
            return;
        }
        ref pending = shas_or_empty(snapshot, "pending_data_artifact_shas");
        ref loaded = shas_or_empty(snapshot, "loaded_data_artifact_shas");
        state = nb::make_tuple(dict_copy(pending), dict_copy(loaded));
    });
    if (failure)
        return nb::make_tuple(nb::dict(), nb::dict());
    return state;
}

namespace {

ref unicode_result(PyObject *o) {
    if (!o)
        throw nb::python_error();
    return ref(nb::steal(o));
}

} // namespace

ref is_vocabulary_artifact_path(nb::handle path, nb::handle named_universe) {
    ref normalized = unicode_result(
        PyUnicode_Replace(nb::str(path).ptr(), name("\\").ptr(), name("/").ptr(), -1));
    Py_ssize_t ends = PyUnicode_Tailmatch(normalized.ptr(), name("/vocabulary.json").ptr(), 0,
                                          PY_SSIZE_T_MAX, +1);
    if (ends < 0)
        throw nb::python_error();
    if (!ends)
        return nb::bool_(false);
    if (!nb::bool_(named_universe))
        return nb::bool_(true);
    // The leading slash lets a relative path that starts with the universe match.
    ref segment = concat({name("/"), named_universe, name("/")});
    ref rooted = unicode_result(PyUnicode_Concat(name("/").ptr(), normalized.ptr()));
    int found = PyUnicode_Contains(rooted.ptr(), segment.ptr());
    if (found < 0)
        throw nb::python_error();
    return nb::bool_(found == 1);
}

// True when a vocabulary artifact pending before has since been loaded with
// the expected hash.
ref runtime_vocabulary_refreshed(nb::handle before_state, nb::handle after_state,
                                 nb::handle named_universe) {
    std::vector<ref> before = unpack(before_state, 2), after = unpack(after_state, 2);
    nb::handle before_pending = before[0], before_loaded = before[1];
    nb::handle after_pending = after[0], after_loaded = after[1];
    bool refreshed = false;
    for (nb::handle item : attr(before_pending, "items")()) {
        std::vector<ref> pair = unpack(item, 2);
        nb::handle path = pair[0], expected_sha = pair[1];
        if (!nb::bool_(call_helper<is_vocabulary_artifact_path>(path, named_universe)))
            continue;
        if (contains(after_pending, path))
            continue;
        if (method_get(after_loaded, path).equal(expected_sha) &&
            !method_get(before_loaded, path).equal(expected_sha)) {
            refreshed = true;
            break;
        }
    }
    return nb::bool_(refreshed);
}

namespace {

// ---------------------------------------------------------------------------
// Reload

// The vocabulary artifact of the synced data directory, when there is one.
// Any failure is logged at DEBUG and leaves the injected loader to answer.
ref reload_vocabulary_from_disk(nb::handle named_universe) {
    ref sync_manager = global(G::sync_manager);
    ref data_dir =
        sync_manager.is_none() ? ref(nb::none()) : attr_or_none(sync_manager, "_data_dir");
    if (!nb::bool_(data_dir) || !nb::bool_(named_universe))
        return ref();
    ref reloaded;
    ref failure = catch_exception([&] {
        ref load_disk_vocabulary = from_import("tallowmere.obfuscation", "load_vocabulary");
        ref vocabulary = load_disk_vocabulary(data_dir, named_universe);
        if (!nb::isinstance<nb::dict>(vocabulary))
            return;
        set_global(G::vocabulary_raw, vocabulary);
        ref backtester = global(G::backtester);
        if (has_attr(backtester, "raw_vocabulary"))
            set_attr(backtester, "raw_vocabulary", vocabulary);
        reloaded = vocabulary;
    });
    if (failure)
        attr(global(G::logger), "debug")("failed to reload runtime vocabulary from disk",
                                         nb::arg("exc_info") = failure);
    return reloaded;
}

// The injected loader, in the first call form it accepts: keywords, then
// two positional arguments, then the era number alone. Only TypeError moves
// on to the next form; the last form's errors are chained to the refusals.
ref call_vocabulary_loader(nb::handle load_vocabulary, nb::handle era_number,
                           nb::handle named_universe) {
    ref vocabulary;
    ref keyword_form_refused = catch_exception(
        [&] {
            vocabulary = load_vocabulary(nb::arg("era_number") = era_number,
                                         nb::arg("named_universe") = named_universe);
        },
        PyExc_TypeError);
    if (!keyword_form_refused)
        return vocabulary;
    ref two_argument_form_refused;
    while_handling(keyword_form_refused, [&] {
        two_argument_form_refused = catch_exception(
            [&] { vocabulary = load_vocabulary(era_number, named_universe); }, PyExc_TypeError);
    });
    if (!two_argument_form_refused)
        return vocabulary;
    return while_handling(two_argument_form_refused,
                          [&] { return ref(load_vocabulary(era_number)); });
}

} // namespace

ref reload_runtime_vocabulary_after_freshness(nb::handle named_universe) {
    if (ref vocabulary = reload_vocabulary_from_disk(named_universe))
        return vocabulary;

    ref load_vocabulary = global(G::load_vocabulary);
    ref era_config = global(G::era_config);
    if (load_vocabulary.is_none() || era_config.is_none())
        return nb::none();
    ref era_number = nb::isinstance<nb::dict>(era_config)
                         ? method_get(era_config, name("era_number"))
                         : ref(nb::none());
    ref vocabulary = call_vocabulary_loader(load_vocabulary, era_number, named_universe);
    if (nb::isinstance<nb::dict>(vocabulary))
        set_global(G::vocabulary_raw, vocabulary);
    return vocabulary;
}

void define_vocabulary_functions() {
    def_helper<is_function_store_registry>("_is_function_store_registry", {arg("value")});
    def_helper<build_obfuscated_store>("_build_obfuscated_store", {arg("vocabulary_dict")});
    def_helper<import_graph_validator_runtime>("_import_graph_validator_runtime", {});
    def_helper<runtime_vocabulary_freshness_state>("_runtime_vocabulary_freshness_state",
                                                   {arg("guard")});
    def_helper<is_vocabulary_artifact_path>("_is_vocabulary_artifact_path",
                                            {arg("path"), arg("named_universe")});
    def_helper<runtime_vocabulary_refreshed>(
        "_runtime_vocabulary_refreshed",
        {arg("before_state"), arg("after_state"), arg("named_universe")});
    def_helper<reload_runtime_vocabulary_after_freshness>(
        "_reload_runtime_vocabulary_after_freshness", {arg("named_universe")});
}

} // namespace simsig
