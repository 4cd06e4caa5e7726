// The synced market and era, and the run's private copy of the era config.
// Everything here fails closed: a missing or mismatching identity is an
// exception, never a silent default.
#include "config/config.hpp"
#include "config/parts.hpp"
#include "frame/globals.hpp"
#include "frame/helpers.hpp"

namespace simsig {

namespace {

// int(value), or None when the value is None, a bool, or not convertible
// (TypeError/ValueError); an OverflowError (int(inf)) propagates.
ref coerce_int(nb::handle value) {
    if (value.is_none() || PyBool_Check(value.ptr()))
        return ref();
    PyObject *converted = PyNumber_Long(value.ptr());
    if (!converted) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return ref();
        }
        throw nb::python_error();
    }
    return ref(nb::steal(converted));
}

bool compare_with_zero(nb::handle value, int op) {
    ref zero = nb::int_(0);
    ref result = nb::steal(PyObject_RichCompare(value.ptr(), zero.ptr(), op));
    if (!result)
        throw nb::python_error();
    return static_cast<bool>(nb::bool_(result));
}

} // namespace

ref coerce_era_number(nb::handle value) {
    ref number = coerce_int(value);
    if (!number || compare_with_zero(number, Py_LT))
        return nb::none();
    return number;
}

ref coerce_market_id(nb::handle value) {
    ref number = coerce_int(value);
    if (!number || compare_with_zero(number, Py_LE))
        return nb::none();
    return number;
}

namespace {

// A manifest is None, a dict, or an object with the field as an attribute.
ref manifest_field(nb::handle manifest, const char *field) {
    if (PyDict_Check(manifest.ptr()))
        return method_get(manifest, name(field));
    return attr_or_none(manifest, field);
}

} // namespace

ref market_id_from_manifest(nb::handle manifest) {
    if (manifest.is_none())
        return nb::none();
    return call_helper<coerce_market_id>(manifest_field(manifest, "market_id"));
}

ref era_number_from_manifest(nb::handle manifest) {
    if (manifest.is_none())
        return nb::none();
    return call_helper<coerce_era_number>(manifest_field(manifest, "era_number"));
}

// Only the market id falls back to the wired era config; the era number must
// come from the synced manifest.
ref derive_synced_market_era(nb::handle sync_manager) {
    ref manifest = attr(sync_manager, "get_manifest")();
    ref market_id = call_helper<market_id_from_manifest>(manifest);
    if (market_id.is_none()) {
        ref era_config = global(G::era_config);
        if (PyDict_Check(era_config.ptr()))
            market_id = call_helper<coerce_market_id>(method_get(era_config, name("market_id")));
    }
    ref era_number = call_helper<era_number_from_manifest>(manifest);
    if (era_number.is_none() || market_id.is_none())
        raise_from_none(global(G::SdkRuntimeNotReadyError), static_cast<const char *>(nullptr));
    return nb::make_tuple(market_id, era_number);
}

namespace {

[[noreturn]] void raise_era_mismatch(const char *field, nb::handle requested,
                                     nb::handle configured) {
    raise(global(G::EraError), format("Synced %s=%S does not match era_config %s=%S", field,
                                      requested.ptr(), field, configured.ptr()));
}

} // namespace

// A shallow copy: the run may add keys to it; nested values stay shared.
ref resolve_runtime_era_config(nb::handle market_id, nb::handle era_number) {
    ref wired = global(G::era_config);
    if (wired.is_none())
        raise(PyExc_RuntimeError,
              "era_config is required for simulation. Call init_simulate_signal(..., "
              "era_config=...) with the synced era config.");
    ref era_cfg = dict_copy(wired);
    for (const char *key : {"market_id", "era_number"}) {
        int present = PyDict_Contains(era_cfg.ptr(), name(key).ptr());
        if (present < 0)
            throw nb::python_error();
        if (!present)
            raise(PyExc_ValueError, "era_config missing required market_id or era_number");
    }
    ref configured_market = method_get(era_cfg, name("market_id"));
    if (python_not_equal(configured_market, market_id))
        raise_era_mismatch("market_id", market_id, configured_market);
    ref configured_era = method_get(era_cfg, name("era_number"));
    if (python_not_equal(configured_era, era_number))
        raise_era_mismatch("era_number", era_number, configured_era);
    return era_cfg;
}

// Falsy values (0, "", []) are present; only None counts as missing.
ref required_runtime_data_shape_value(nb::handle era_config, nb::handle field) {
    ref value = method_get(era_config, field);
    if (value.is_none())
        raise_from_none(global(G::SdkRuntimeNotReadyError),
                        format("missing required runtime data-shape field: %S", field.ptr()));
    return value;
}

ref primary_evaluation_pnl_column(nb::handle era_config) {
    ref eval_columns =
        call_helper<required_runtime_data_shape_value>(era_config, name("evaluated_pnl_columns"));
    if (!nb::bool_(eval_columns))
        raise_from_none(global(G::SdkRuntimeNotReadyError),
                        "missing required runtime data-shape field: evaluated_pnl_columns");
    ref first = nb::steal(PyObject_GetItem(eval_columns.ptr(), nb::int_(0).ptr()));
    if (!first)
        throw nb::python_error();
    return first;
}

void define_era_config_functions() {
    def_helper<coerce_era_number>("_coerce_era_number", {arg("value")});
    def_helper<coerce_market_id>("_coerce_market_id", {arg("value")});
    def_helper<market_id_from_manifest>("_market_id_from_manifest", {arg("manifest")});
    def_helper<era_number_from_manifest>("_era_number_from_manifest", {arg("manifest")});
    def_helper<derive_synced_market_era>(
        "_derive_synced_market_era", {arg("sync_manager")},
        "Derive market_id and era_number from sync runtime state.");
    def_helper<resolve_runtime_era_config>(
        "_resolve_runtime_era_config", {arg("market_id"), arg("era_number")},
        "Return a defensive copy of the synced era_config dict.");
    def_helper<required_runtime_data_shape_value>("_required_runtime_data_shape_value",
                                                  {arg("era_config"), arg("field")});
    def_helper<primary_evaluation_pnl_column>("_primary_evaluation_pnl_column",
                                              {arg("era_config")});
}

} // namespace simsig
