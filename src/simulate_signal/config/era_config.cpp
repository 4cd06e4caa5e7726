// The synced market and era, and the run's private copy of the era config.
// Everything here fails closed: a missing or mismatching identity is an
// exception, never a silent default.
#include "config/parts.hpp"

namespace simsig {

namespace {

// int(value), or None when the value is None, a bool, or not convertible
// (TypeError/ValueError); an OverflowError (int(inf)) propagates.
ref coerce_int(nb::handle value) {
    if (is_none(value) || PyBool_Check(value.ptr()))
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
    ref zero = py_int(0);
    ref result = nb::steal(PyObject_RichCompare(value.ptr(), zero.ptr(), op));
    if (!result)
        throw nb::python_error();
    return truthy(result);
}

nb::object coerce_era_number(const Call &a) {
    ref number = coerce_int(a[0]);
    if (!number || compare_with_zero(number, Py_LT))
        return nb::none();
    return number;
}

nb::object coerce_market_id(const Call &a) {
    ref number = coerce_int(a[0]);
    if (!number || compare_with_zero(number, Py_LE))
        return nb::none();
    return number;
}

// A manifest is None, a dict, or an object with the field as an attribute.
ref manifest_field(nb::handle manifest, const char *field) {
    if (PyDict_Check(manifest.ptr()))
        return method_get(manifest, name(field));
    return attr_or_none(manifest, field);
}

nb::object market_id_from_manifest(const Call &a) {
    if (is_none(a[0]))
        return nb::none();
    return helper("_coerce_market_id", manifest_field(a[0], "market_id"));
}

nb::object era_number_from_manifest(const Call &a) {
    if (is_none(a[0]))
        return nb::none();
    return helper("_coerce_era_number", manifest_field(a[0], "era_number"));
}

// Only the market id falls back to the wired era config; the era number must
// come from the synced manifest.
nb::object derive_synced_market_era(const Call &a) {
    ref manifest = attr(a[0], "get_manifest")();
    ref market_id = helper("_market_id_from_manifest", manifest);
    if (is_none(market_id)) {
        ref era_config = global("_era_config");
        if (PyDict_Check(era_config.ptr()))
            market_id = helper("_coerce_market_id", method_get(era_config, name("market_id")));
    }
    ref era_number = helper("_era_number_from_manifest", manifest);
    if (is_none(era_number) || is_none(market_id))
        raise_from_none(global("SdkRuntimeNotReadyError"), static_cast<const char *>(nullptr));
    return nb::make_tuple(market_id, era_number);
}

[[noreturn]] void raise_era_mismatch(const char *field, nb::handle requested,
                                     nb::handle configured) {
    raise(global("EraError"),
          format("Synced %s=%S does not match era_config %s=%S", field, requested.ptr(), field,
                 configured.ptr()));
}

// A shallow copy: the run may add keys to it; nested values stay shared.
nb::object resolve_runtime_era_config(const Call &a) {
    nb::handle market_id = a[0], era_number = a[1];
    ref wired = global("_era_config");
    if (is_none(wired))
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
nb::object required_runtime_data_shape_value(const Call &a) {
    nb::handle era_config = a[0], field = a[1];
    ref value = method_get(era_config, field);
    if (is_none(value))
        raise_from_none(global("SdkRuntimeNotReadyError"),
                        format("missing required runtime data-shape field: %S", field.ptr()));
    return value;
}

nb::object primary_evaluation_pnl_column(const Call &a) {
    ref eval_columns =
        helper("_required_runtime_data_shape_value", a[0], name("evaluated_pnl_columns"));
    if (!truthy(eval_columns))
        raise_from_none(global("SdkRuntimeNotReadyError"),
                        "missing required runtime data-shape field: evaluated_pnl_columns");
    ref first = nb::steal(PyObject_GetItem(eval_columns.ptr(), py_int(0).ptr()));
    if (!first)
        throw nb::python_error();
    return first;
}

} // namespace

void define_era_config_functions() {
    def_function("_coerce_era_number", {arg("value")}, coerce_era_number);
    def_function("_coerce_market_id", {arg("value")}, coerce_market_id);
    def_function("_market_id_from_manifest", {arg("manifest")}, market_id_from_manifest);
    def_function("_era_number_from_manifest", {arg("manifest")}, era_number_from_manifest);
    def_function("_derive_synced_market_era", {arg("sync_manager")}, derive_synced_market_era,
                 "Derive market_id and era_number from sync runtime state.");
    def_function("_resolve_runtime_era_config", {arg("market_id"), arg("era_number")},
                 resolve_runtime_era_config, "Return a defensive copy of the synced era_config dict.");
    def_function("_required_runtime_data_shape_value", {arg("era_config"), arg("field")},
                 required_runtime_data_shape_value);
    def_function("_primary_evaluation_pnl_column", {arg("era_config")},
                 primary_evaluation_pnl_column);
}

} // namespace simsig
