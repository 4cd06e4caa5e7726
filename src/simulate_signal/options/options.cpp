// The per-era simulation-options surface for SDK consumers: which named
// universes an era offers and its canonical engine definitions. Pure: reads
// no module state besides the helpers it calls, starts no thread.
#include "options/options.hpp"
#include "config/config.hpp"
#include "frame/frame.hpp"
#include "frame/globals.hpp"
#include "frame/helpers.hpp"

namespace simsig {

namespace {

// getattr(obj, name, []) or []
ref attr_or_empty_list(nb::handle obj, const char *name_) {
    ref empty = nb::list();
    ref value = attr_or(obj, name_, empty);
    return nb::bool_(value) ? value : empty;
}

void set_add(nb::handle set, nb::handle item) {
    if (PySet_Add(set.ptr(), item.ptr()))
        throw nb::python_error();
}

// The names the era allows: its own list, else the union of its signal
// pools' lists (as strings). Empty means no filtering.
ref allowed_named_universes(nb::handle era_config) {
    ref allowed =
        nb::steal(PySet_New(attr_or_empty_list(era_config, "allowed_named_universes").ptr()));
    if (!allowed)
        throw nb::python_error();
    if (PySet_Size(allowed.ptr()) > 0)
        return allowed;
    for (nb::handle pool : attr_or_empty_list(era_config, "signal_pools"))
        for (nb::handle value : attr_or_empty_list(pool, "allowed_named_universes"))
            if (nb::bool_(value))
                set_add(allowed, nb::str(value));
    return allowed;
}

// rules.items() in the order of str(key), stable for equal string forms:
// the indices are sorted with the string forms as their keys.
ref items_by_string_key(nb::handle rules) {
    ref items = nb::steal(PySequence_List(attr(rules, "items")().ptr()));
    if (!items)
        throw nb::python_error();
    nb::list string_keys, order;
    Py_ssize_t index = 0;
    for (nb::handle item : items) {
        string_keys.append(nb::str(unpack(item, 2)[0]));
        order.append(nb::int_(index++));
    }
    attr(order, "sort")(nb::arg("key") = attr(string_keys, "__getitem__"));
    nb::list sorted_items;
    for (nb::handle i : order)  // a local list of ints: nothing below can change it
        sorted_items.append(nb::handle(PyList_GetItem(items.ptr(), PyLong_AsSsize_t(i.ptr()))));
    return sorted_items;
}

// option[key] = int(value) when the rule's field coerces to a positive int.
void add_optional_id(nb::handle option, const char *key, nb::handle rule) {
    ref value = call_helper<coerce_int_rule_id>(method_get(rule, name(key)));
    if (!value.is_none())
        option[name(key)] = nb::int_(value);
}

const char *const kUniverseOptionsDoc = "Build the universe-options list from a typed EraConfig.";

} // namespace

ref universe_options(nb::handle era_config) {
    ref allowed = allowed_named_universes(era_config);
    bool filtered = PySet_Size(allowed.ptr()) > 0;
    ref rules = attr(era_config, "universe_rules");
    if (!nb::bool_(rules))
        rules = nb::dict();
    nb::list options;
    if (!nb::isinstance<nb::dict>(rules))
        return options;
    for (nb::handle item : items_by_string_key(rules)) {
        std::vector<ref> pair = unpack(item, 2);
        nb::handle named_universe = pair[0], rule = pair[1];
        if (!nb::isinstance<nb::dict>(rule))
            continue;
        ref rule_id = call_helper<coerce_int_rule_id>(method_get(rule, name("rule_id")));
        if (rule_id.is_none())
            continue;
        ref universe = nb::str(named_universe);
        if (filtered && !contains(allowed, universe))
            continue;
        ref option = nb::dict();
        option["id"] = universe;
        option["named_universe"] = universe;
        option["rule_id"] = nb::int_(rule_id);
        add_optional_id(option, "market_id", rule);
        add_optional_id(option, "pool_id", rule);
        options.append(option);
    }
    return options;
}

// The engine definitions come from the caller's own input: the synced
// canonical agent payload, a dict.
ref engine_definitions_from_agent_payload(nb::handle source_era_config,
                                          nb::handle /* typed_era_config: accepted, not read */) {
    ref definitions = nb::isinstance<nb::dict>(source_era_config)
                          ? method_get(source_era_config, name("engine_definitions"))
                          : attr_or_none(source_era_config, "engine_definitions");
    if (definitions.is_none())
        raise(global(G::SdkRuntimeNotReadyError),
              "engine_definitions missing from synced era config");
    if (!nb::isinstance<nb::dict>(definitions))
        raise(global(G::SdkRuntimeNotReadyError),
              "engine_definitions must be the synced canonical agent payload");
    return call_helper<plain_engine_definition_payload>(definitions);
}

// A deep copy into plain containers: dicts with string keys, lists (tuples
// become lists); any other value is kept as it is.
ref plain_engine_definition_payload(nb::handle value) {
    return recursing(" while copying engine definitions", [&]() -> nb::object {
        if (nb::isinstance<nb::dict>(value)) {
            ref plain = nb::dict();
            for (nb::handle item : attr(value, "items")()) {
                std::vector<ref> pair = unpack(item, 2);
                ref key = PyUnicode_Check(pair[0].ptr()) ? pair[0] : nb::str(pair[0]);
                plain[key] = call_helper<plain_engine_definition_payload>(pair[1]);
            }
            return plain;
        }
        if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
            nb::list plain;
            for (nb::handle item : value)
                plain.append(call_helper<plain_engine_definition_payload>(item));
            return plain;
        }
        return nb::borrow(value);
    });
}

ref stage_attr(nb::handle stage, nb::handle key, nb::handle default_value) {
    if (nb::isinstance<nb::dict>(stage))
        return method_get(stage, key, default_value);
    return attr_or(stage, key, default_value);
}

namespace {

const char *const kEffectiveSimulationOptionsDoc =
    "Per-era SDK simulation-options surface.\n"
    "\n"
    "Tells what may be simulated in an era. ``era_config`` is the era config as\n"
    "the SDK transports it (a dict holding ``engine_definitions``) or an already\n"
    "typed era-config object.\n"
    "\n"
    "Returns a new dict with two keys:\n"
    "\n"
    "- ``\"universe_options\"``: a list with one dict per named universe open in\n"
    "  the era, sorted by name: ``id`` and ``named_universe`` (the name),\n"
    "  ``rule_id`` (int), and ``market_id`` and ``pool_id`` (ints) when the\n"
    "  universe's rule carries them. Universes whose rule has no usable rule id,\n"
    "  or that the era does not allow, are left out.\n"
    "- ``\"engine_definitions\"``: a plain copy of the era's canonical engine\n"
    "  definitions (dicts with string keys, lists and scalars).\n"
    "\n"
    "Raises SdkRuntimeNotReadyError when the era config carries no engine\n"
    "definitions, or when they are not a dict.";

} // namespace

ref effective_simulation_options(nb::handle era_config) {
    ref sdk_era_config_from_dict = from_import("tallowmere._runtime", "sdk_era_config_from_dict");
    ref typed = sdk_era_config_from_dict(era_config);
    ref options = nb::dict();
    options["universe_options"] = call_helper<universe_options>(typed);
    options["engine_definitions"] =
        call_helper<engine_definitions_from_agent_payload>(era_config, typed);
    return options;
}

void define_options_functions() {
    def_helper<universe_options>("_universe_options", {arg("era_config")}, kUniverseOptionsDoc);
    def_helper<engine_definitions_from_agent_payload>(
        "_engine_definitions_from_agent_payload",
        {arg("source_era_config"), arg("typed_era_config")});
    def_helper<plain_engine_definition_payload>("_plain_engine_definition_payload", {arg("value")});
    def_helper<stage_attr>("_stage_attr", {arg("stage"), arg("key"), arg("default", none())});
    def_helper<effective_simulation_options>("effective_simulation_options", {arg("era_config")},
                                             kEffectiveSimulationOptionsDoc);
}

} // namespace simsig
