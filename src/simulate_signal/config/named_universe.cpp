// The named universe a simulation runs in: the caller's pool id and name are
// checked, and a missing name is chosen through an ordered chain of
// fallbacks. The name is also one path segment of the synced runtime data on
// disk, so nothing that could step out of that directory is accepted.
#include "config/config.hpp"
#include "config/parts.hpp"
#include "frame/globals.hpp"
#include "frame/helpers.hpp"

namespace simsig {

ref validate_selected_pool_id(nb::handle pool_id, nb::handle field_name) {
    if (is_nonempty_str(pool_id))
        return nb::borrow(pool_id);
    raise(PyExc_ValueError, format("%S must be a non-empty string", field_name.ptr()));
}

namespace {

// "/", "\" and NUL: no separator of any platform, no C-string terminator.
bool has_unsafe_character(nb::handle text) {
    static PyObject *const nul = PyUnicode_FromOrdinal(0);  // kept for the process
    if (!nul)
        throw nb::python_error();
    return contains(text, name("/")) || contains(text, name("\\")) || contains(text, nul);
}

} // namespace

ref safe_named_universe(nb::handle named_universe) {
    if (named_universe.is_none())
        return nb::none();
    ref text = attr(nb::str(named_universe), "strip")();
    if (!nb::bool_(text))
        return nb::none();
    if (text.equal(name(".")) || text.equal(name("..")) || has_unsafe_character(text))
        raise(PyExc_ValueError,
              format("named_universe must be a single safe path segment, got %R",
                     named_universe.ptr()));
    return text;
}

namespace {

ref safe(nb::handle value) { return call_helper<safe_named_universe>(value); }

} // namespace

// A pool's own list (a real list; a tuple does not count), else its single
// name. Each kept element passes through the safety check twice.
ref pool_allowed_named_universes(nb::handle pool_cfg) {
    nb::list universes;
    if (!PyDict_Check(pool_cfg.ptr()))
        return universes;
    ref allowed = method_get(pool_cfg, name("allowed_named_universes"));
    if (PyList_Check(allowed.ptr())) {
        for (nb::handle value : allowed)
            if (nb::bool_(safe(value)))
                universes.append(safe(value));
        return universes;
    }
    ref single = safe(method_get(pool_cfg, name("named_universe")));
    if (nb::bool_(single))
        universes.append(single);
    return universes;
}

// The onboarding configuration is optional: any failure means no name.
ref configured_named_universe() {
    ref configured = nb::none();
    catch_exception([&] {
        ref onboarding_config = from_import("tallowmere.agent_onboarding", "_config");
        configured = safe(attr(onboarding_config, "get")("named_universe"));
    });
    return configured;
}

namespace {

// allowed[0] when the list is non-empty, else an empty ref.
ref first_of(nb::handle allowed) {
    if (!nb::bool_(allowed))
        return ref();
    ref first = nb::steal(PyObject_GetItem(allowed.ptr(), nb::int_(0).ptr()));
    if (!first)
        throw nb::python_error();
    return first;
}

// The selected pool's names; for a strategy pool without any, those of its
// linked signal pool.
ref selected_pool_named_universe(nb::handle era_cfg, nb::handle expression_type,
                                 nb::handle selected_pool_id) {
    ref pool = call_helper<selected_pool_config>(era_cfg, expression_type, selected_pool_id);
    if (ref first = first_of(call_helper<pool_allowed_named_universes>(pool)))
        return first;
    if (!is_strategy(expression_type))
        return ref();
    ref signal_pool_id = call_helper<strategy_signal_pool_id>(pool, selected_pool_id);
    ref signal_pool = call_helper<selected_pool_config>(era_cfg, name("SIGNAL"), signal_pool_id);
    return first_of(call_helper<pool_allowed_named_universes>(signal_pool));
}

} // namespace

ref first_pool_named_universe(nb::handle era_cfg, nb::handle expression_type,
                              nb::handle selected_pool_id) {
    if (!PyDict_Check(era_cfg.ptr()))
        return nb::none();
    if (nb::bool_(selected_pool_id)) {
        ref found;
        ref exc = catch_exception([&] {
            found = selected_pool_named_universe(era_cfg, expression_type, selected_pool_id);
        });
        if (found)
            return found;
        if (exc)
            log_debug("failed to resolve selected pool named universe for %s/%s: %s",
                      expression_type, selected_pool_id, exc);
    }
    // Only signal pools are scanned, whatever the expression type.
    ref signal_pools = method_get(era_cfg, name("signal_pools"), nb::list());
    if (nb::bool_(signal_pools)) {
        ref found;
        for (nb::handle pool : signal_pools) {
            found = first_of(call_helper<pool_allowed_named_universes>(pool));
            if (found)
                break;
        }
        if (found)
            return found;
    }
    ref allowed = method_get(era_cfg, name("allowed_named_universes"));
    if (PyList_Check(allowed.ptr())) {
        ref found;
        for (nb::handle value : allowed) {
            ref candidate = safe(value);
            if (nb::bool_(candidate)) {
                found = candidate;
                break;
            }
        }
        if (found)
            return found;
    }
    return safe(method_get(era_cfg, name("named_universe")));
}

// The caller's name, the onboarding name, then the era's pools: the first
// truthy one wins.
ref resolve_simulation_named_universe(nb::handle named_universe, nb::handle expression_type,
                                      nb::handle selected_pool_id) {
    ref explicit_name = safe(named_universe);
    if (nb::bool_(explicit_name))
        return explicit_name;
    ref configured = call_helper<configured_named_universe>();
    if (nb::bool_(configured))
        return configured;
    ref from_pools = call_helper<first_pool_named_universe>(global(G::era_config), expression_type,
                                                            selected_pool_id);
    if (nb::bool_(from_pools))
        return from_pools;
    raise(PyExc_ValueError,
          "named_universe is required; call tallowmere.configure(named_universe=...) or select "
          "a pool with allowed_named_universes.");
}

void define_named_universe_functions() {
    def_helper<validate_selected_pool_id>("_validate_selected_pool_id",
                                          {arg("pool_id"), arg("field_name")});
    def_helper<safe_named_universe>("_safe_named_universe", {arg("named_universe")});
    def_helper<pool_allowed_named_universes>("_pool_allowed_named_universes", {arg("pool_cfg")});
    def_helper<configured_named_universe>("_configured_named_universe", {});
    def_helper<first_pool_named_universe>(
        "_first_pool_named_universe",
        {arg("era_cfg"), arg("expression_type"), arg("selected_pool_id")});
    def_helper<resolve_simulation_named_universe>(
        "_resolve_simulation_named_universe",
        {arg("named_universe"), arg("expression_type"), arg("selected_pool_id")});
}

} // namespace simsig
