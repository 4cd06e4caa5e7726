// CancelledError and the two records the handle hands out.
#include "frame/records.hpp"
#include "frame/frame.hpp"
#include "frame/globals.hpp"
#include "frame/state.hpp"

namespace simsig {

namespace {

const char *const kResultReprFields[] = {
    "pool_kind", "signal_pool_id", "strategy_pool_id", "passed", "structural_failed",
    "rejection_reason", "failure_reason", "failure_detail", "is_correlation", "is_pnl_mi",
    "was_diagnostic_only", "mi_score", "mi_passed", "stats_verdict", "correlation_verdict",
    "mi_verdict", "expression_elapsed_seconds", "backtest_elapsed_seconds",
    "max_backtest_row_elapsed_seconds", "stats", "resolved_metaparameters",
};

nb::object result_repr(const Call &a) {
    nb::handle self = a[0];
    nb::list lines;
    if (nb::bool_(attr(self, "was_diagnostic_only")))
        lines.append(nb::str("WARNING: selected pool computed diagnostically under "
                             "fail_fast=False; these would NOT count as Useful on submit."));
    lines.append(nb::str("SimulationResult("));
    for (const char *field : kResultReprFields)
        lines.append(format("  %s=%R,", field, attr(self, field).ptr()));
    lines.append(nb::str(")"));
    return attr(nb::str("\n"), "join")(lines);
}

// dataclasses.make_dataclass(name, fields, namespace=..., repr=..., module=...)
ref make_record(const char *record_name, nb::list fields, nb::dict namespace_, bool std_repr) {
    ref make_dataclass = attr(import_module("dataclasses"), "make_dataclass");
    return make_dataclass(record_name, fields, nb::arg("namespace") = namespace_,
                          nb::arg("repr") = std_repr,
                          nb::arg("module") = "tallowmere.simulate_signal");
}

nb::tuple field(const char *field_name, nb::handle type, nb::handle default_value) {
    return nb::make_tuple(nb::str(field_name), type, default_value);
}

void define_cancelled_error() {
    PyObject *cls = PyErr_NewExceptionWithDoc("tallowmere.simulate_signal.CancelledError",
                                              "Raised when simulation is cancelled.",
                                              PyExc_Exception, nullptr);
    if (!cls)
        throw nb::python_error();
    set_global(G::CancelledError, ref(nb::steal(cls)));
}

void define_simulation_status() {
    nb::handle str_t = (PyObject *) &PyUnicode_Type, float_t = (PyObject *) &PyFloat_Type,
               int_t = (PyObject *) &PyLong_Type;
    nb::list fields;
    fields.append(field("phase", str_t, empty_str()));
    fields.append(field("progress", float_t, zero_float()));
    fields.append(field("message", str_t, empty_str()));
    fields.append(field("era_number", int_t, nb::int_(0)));
    fields.append(field("elapsed_s", float_t, zero_float()));
    nb::dict ns;
    ns["__doc__"] = "Snapshot of simulation progress.";
    ref cls = make_record("SimulationStatus", fields, ns, true);
    set_global(G::SimulationStatus, cls);
    remember_simulation_status_class(cls);
}

void define_simulation_result() {
    struct Field { const char *name; nb::handle default_value; };
    const Field result_fields[] = {
        {"stats", none()}, {"pnl_matrix", none()}, {"per_column_stats", none()},
        {"portfolio_returns", none()}, {"processed_weights", none()}, {"pool_kind", none()},
        {"signal_pool_id", none()}, {"strategy_pool_id", none()}, {"is_correlation", none()},
        {"is_pnl_mi", none()}, {"was_diagnostic_only", false_()}, {"failure_reason", none()},
        {"failure_detail", none()}, {"passed", true_()}, {"structural_failed", false_()},
        {"mi_score", none()}, {"mi_passed", none()}, {"stats_verdict", none()},
        {"correlation_verdict", none()}, {"mi_verdict", none()}, {"rejection_reason", none()},
        {"expression_elapsed_seconds", none()}, {"backtest_elapsed_seconds", none()},
        {"max_backtest_row_elapsed_seconds", none()}, {"resolved_metaparameters", none()},
    };
    nb::handle object_t = (PyObject *) &PyBaseObject_Type;
    nb::list fields;
    for (const Field &f : result_fields)
        fields.append(field(f.name, object_t, f.default_value));
    nb::dict ns;
    ns["__doc__"] = "Wrapper for simulation results with selected-pool evaluation.";
    ns["__repr__"] = make_function("SimulationResult.__repr__", {arg("self")}, result_repr);
    set_global(G::SimulationResult, make_record("SimulationResult", fields, ns, false));
}

} // namespace

void define_records() {
    define_cancelled_error();
    define_simulation_status();
    define_simulation_result();
}

} // namespace simsig
