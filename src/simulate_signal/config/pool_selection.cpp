// The selected pool: its config, its runtime name, and the per-universe
// thresholds it holds under the named universe's positive integer rule id.
#include "config/config.hpp"
#include "config/parts.hpp"
#include "frame/calls.hpp"
#include "frame/globals.hpp"
#include "frame/helpers.hpp"

namespace simsig {

namespace {}  // namespace

ref selected_pool_field_name(nb::handle expression_type) {
    return nb::borrow(is_strategy(expression_type) ? name("strategy_pool_id")
                                                   : name("signal_pool_id"));
}

// The resolver is given the whole era config; the list is checked here only
// so an era without pools of the kind fails with a clear message.
ref selected_pool_config(nb::handle era_cfg, nb::handle expression_type,
                         nb::handle selected_pool_id) {
    ref field_name = call_helper<selected_pool_field_name>(expression_type);
    bool strategy = is_strategy(expression_type);
    nb::handle pool_key = name(strategy ? "strategy_pools" : "signal_pools");
    ref config_pools = method_get(era_cfg, pool_key, nb::list());
    if (!PyList_Check(config_pools.ptr()) || nb::len(config_pools) == 0)
        raise(PyExc_ValueError,
              format("era_config must contain a '%S' key with at least one pool definition.",
                     pool_key.ptr()));
    nb::handle kind = name(strategy ? "strategy" : "signal");
    ref pool_cfg;
    ref missing = catch_exception(
        [&] {
            pool_cfg = call(global(G::resolve_pool_config), era_cfg, selected_pool_id,
                            kwarg("kind", kind));
        },
        PyExc_KeyError);
    if (!missing)
        return pool_cfg;
    size_t available = nb::len(config_pools);
    raise_from(PyExc_ValueError,
               format("Unknown %S '%S'. Available %S: %zu.", field_name.ptr(),
                      selected_pool_id.ptr(), pool_key.ptr(), available),
               missing);
}

// The pool's own name under the first key that holds a non-empty str, else
// the selected id itself.
ref selected_pool_runtime_name(nb::handle pool_cfg, nb::handle expression_type,
                               nb::handle selected_pool_id) {
    bool strategy = is_strategy(expression_type);
    const char *const keys[] = {strategy ? "strategy_pool_name" : "signal_pool_name", "name",
                                strategy ? "strategy_pool_id" : "signal_pool_id", "pool_id"};
    if (PyDict_Check(pool_cfg.ptr())) {
        for (const char *key : keys) {
            ref value = method_get(pool_cfg, name(key));
            if (is_nonempty_str(value))
                return value;
        }
    }
    if (is_nonempty_str(selected_pool_id))
        return nb::borrow(selected_pool_id);
    ref field_name = call_helper<selected_pool_field_name>(expression_type);
    raise(PyExc_ValueError,
          format("selected %S config must declare one of: %s, %s, %s, %s", field_name.ptr(),
                 keys[0], keys[1], keys[2], keys[3]));
}

namespace {

bool greater_than_zero(nb::handle value) {
    ref zero = nb::int_(0);
    ref result = nb::steal(PyObject_RichCompare(value.ptr(), zero.ptr(), Py_GT));
    if (!result)
        throw nb::python_error();
    return static_cast<bool>(nb::bool_(result));
}

} // namespace

// Ints as they are, decimal strings parsed; anything else (floats included)
// is no rule id.
ref coerce_int_rule_id(nb::handle value) {
    if (value.is_none() || PyBool_Check(value.ptr()))
        return nb::none();
    if (PyLong_Check(value.ptr()))
        return greater_than_zero(value) ? nb::borrow(value) : nb::none();
    if (!PyUnicode_Check(value.ptr()))
        return nb::none();
    ref stripped = attr(value, "strip")();
    if (!nb::bool_(attr(stripped, "isdecimal")()))
        return nb::none();
    PyObject *parsed = PyNumber_Long(stripped.ptr());
    if (!parsed) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            throw nb::python_error();
        PyErr_Clear();  // e.g. more digits than int() converts
        return nb::none();
    }
    ref rule_id = nb::steal(parsed);
    return greater_than_zero(rule_id) ? nb::object(rule_id) : nb::none();
}

// The era-level "universes" key was replaced by "universe_rules"; an era
// config that still carries it is refused rather than half-read.
ref resolve_universe_rule_id_for_sdk(nb::handle era_cfg, nb::handle named_universe) {
    if (contains(era_cfg, name("universes")))
        raise_runtime_not_ready();
    ref rules = method_get(era_cfg, name("universe_rules"));
    if (PyDict_Check(rules.ptr())) {
        ref entry = method_get(rules, named_universe);
        if (PyDict_Check(entry.ptr()))
            return call_helper<coerce_int_rule_id>(method_get(entry, name("rule_id")));
    }
    return nb::none();
}

// Every key is checked before the lookup: a pool keyed by anything but
// positive int rule ids (digit strings included) is refused.
ref resolve_pool_universe_thresholds(nb::handle pool_cfg, nb::handle universe_rule_id) {
    ref pool_universes = method_get(pool_cfg, name("universes"), nb::dict());
    if (!PyDict_Check(pool_universes.ptr()))
        return nb::dict();
    for (nb::handle key : pool_universes)
        if (!PyLong_Check(key.ptr()) || PyBool_Check(key.ptr()) || !greater_than_zero(key))
            raise_runtime_not_ready();
    if (!universe_rule_id.is_none() && contains(pool_universes, universe_rule_id)) {
        ref thresholds = nb::steal(PyObject_GetItem(pool_universes.ptr(), universe_rule_id.ptr()));
        if (!thresholds)
            throw nb::python_error();
        return thresholds;
    }
    return nb::dict();
}

void define_pool_selection_functions() {
    def_helper<selected_pool_field_name>("_selected_pool_field_name", {arg("expression_type")});
    def_helper<selected_pool_config>(
        "_selected_pool_config", {arg("era_cfg"), arg("expression_type"), arg("selected_pool_id")});
    def_helper<selected_pool_runtime_name>(
        "_selected_pool_runtime_name",
        {arg("pool_cfg"), arg("expression_type"), arg("selected_pool_id")});
    def_helper<coerce_int_rule_id>(
        "_coerce_int_rule_id", {arg("value")},
        "Best-effort coercion of a rule_id-shaped value to a positive int.");
    def_helper<resolve_universe_rule_id_for_sdk>("_resolve_universe_rule_id_for_sdk",
                                                 {arg("era_cfg"), arg("named_universe")});
    def_helper<resolve_pool_universe_thresholds>("_resolve_pool_universe_thresholds",
                                                 {arg("pool_cfg"), arg("universe_rule_id")});
}

} // namespace simsig
