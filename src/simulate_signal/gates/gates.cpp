// Metric gates and the tracking-stats bridge.
//
// Every comparison of a metric with a threshold is made by the sibling's
// `evaluate_threshold_gates`; the functions here only shape its inputs and
// read its verdict. `math`, `evaluate_threshold_gates`,
// `_POOL_METRIC_THRESHOLD_SET` and the helpers are looked up in the module
// namespace at each call, so a replacement there is used by the next call.
#include "gates/gates.hpp"
#include "config/config.hpp"
#include "frame/calls.hpp"
#include "frame/frame.hpp"
#include "frame/globals.hpp"
#include "frame/helpers.hpp"

namespace simsig {

namespace {

// except (A, B): a tuple of exception classes, built once.
PyObject *exception_tuple(PyObject *a, PyObject *b) {
    PyObject *t = PyTuple_Pack(2, a, b);
    if (!t)
        throw nb::python_error();
    return t;
}

ref to_float(nb::handle value) {
    PyObject *f = PyNumber_Float(value.ptr());
    if (!f)
        throw nb::python_error();
    return ref(nb::steal(f));
}

// ---------------------------------------------------------------------------
// Metric values

} // namespace

// float(value) when it is finite; only TypeError and ValueError answer
// `default` -- an int too large for a float raises OverflowError.
ref tracking_metric(nb::handle value, nb::handle default_value) {
    static PyObject *const not_a_number = exception_tuple(PyExc_TypeError, PyExc_ValueError);
    ref number;
    if (catch_exception([&] { number = to_float(value); }, not_a_number))
        return nb::borrow(default_value);
    if (nb::bool_(call(module_attr(global(G::math), "isfinite"), number)))
        return number;
    return nb::borrow(default_value);
}

// Scores are exact ints and floats, never bools; infinities count, NaN and
// ints beyond float range do not.
ref is_mi_score(nb::handle value) {
    if (PyBool_Check(value.ptr()))
        return nb::bool_(false);
    if (!Py_IS_TYPE(value.ptr(), &PyLong_Type) && !Py_IS_TYPE(value.ptr(), &PyFloat_Type))
        return nb::bool_(false);
    static PyObject *const unusable = exception_tuple(PyExc_OverflowError, PyExc_ValueError);
    bool is_nan = false;
    ref failure = catch_exception(
        [&] {
            is_nan = static_cast<bool>(
                nb::bool_(call(module_attr(global(G::math), "isnan"), to_float(value))));
        },
        unusable);
    if (failure)
        return nb::bool_(false);
    return nb::bool_(!is_nan);
}

// ---------------------------------------------------------------------------
// Pool gates

ref pool_metric_gate_passed(nb::handle metrics, nb::handle pool_thresholds) {
    ref result = global(G::evaluate_threshold_gates)(nb::arg("metrics") = metrics,
                                                     nb::arg("threshold_set") =
                                                         global(G::POOL_METRIC_THRESHOLD_SET),
                                                     nb::arg("pool_thresholds") = pool_thresholds);
    return attr(result, "passed");
}

namespace {

ref one_metric_gate(const char *metric_key, nb::handle value, const char *threshold_key,
                    nb::handle threshold) {
    ref metrics = nb::dict(), pool_thresholds = nb::dict();
    metrics[name(metric_key)] = value;
    pool_thresholds[name(threshold_key)] = threshold;
    return call_helper<pool_metric_gate_passed>(metrics, pool_thresholds);
}

} // namespace

ref pnl_mi_gate_passed(nb::handle score, nb::handle threshold) {
    return one_metric_gate("is_pnl_mi", score, "is_pnl_mi_threshold", threshold);
}

ref correlation_gate_passed(nb::handle correlation, nb::handle threshold) {
    return one_metric_gate("is_correlation", correlation, "is_correlation_threshold", threshold);
}

namespace {

// ---------------------------------------------------------------------------
// Tracking stats

const char *const kBuildTrackingStatsDoc =
    "Bridge backtest.BacktestStats \xe2\x86\x92 search_tracking.BacktestStats.\n"
    "\n"
    "The weight-based fields come from the backtest's stats; the return-based\n"
    "fields (sharpe, returns, drawdown, quality_score) come from per_column_stats\n"
    "under the era's primary evaluation PnL column. Every number is a finite\n"
    "float; correlation is always 0.0.";

// pcs.get(f"{primary_col}{suffix}", 0.0) as a tracking metric.
ref per_column_metric(nb::handle pcs, nb::handle primary_col, const char *suffix) {
    ref key = concat({primary_col, name(suffix)});
    return call_helper<tracking_metric>(method_get(pcs, key, zero_float()));
}

// dict(mapping) when truthy, else a new empty dict: the record never shares
// the backtest's mapping objects.
ref plain_dict_copy(nb::handle mapping) {
    if (!nb::bool_(mapping))
        return nb::dict();
    return dict_copy(mapping);
}

} // namespace

ref build_tracking_stats(nb::handle bt_stats, nb::handle per_column_stats, nb::handle era_config) {
    ref primary_col = call_helper<primary_evaluation_pnl_column>(era_config);
    ref pcs = nb::bool_(per_column_stats) ? ref(nb::borrow(per_column_stats)) : ref(nb::dict());

    ref sharpe = per_column_metric(pcs, primary_col, "_sharpe");
    ref returns = per_column_metric(pcs, primary_col, "_returns");
    ref drawdown = per_column_metric(pcs, primary_col, "_drawdown");
    ref quality_score = per_column_metric(pcs, primary_col, "_quality_score");

    ref turnover = call_helper<tracking_metric>(attr(bt_stats, "avg_turnover"));
    ref delta_exposure = call_helper<tracking_metric>(attr(bt_stats, "delta_exposure"));
    ref max_weight = call_helper<tracking_metric>(attr(bt_stats, "max_weight"));

    ref liquidity_metrics = attr(bt_stats, "liquidity_metrics");
    ref custom_stats = attr(bt_stats, "custom_stats");

    return call(global(G::TrackingStats), kwarg("sharpe", sharpe), kwarg("returns", returns),
                kwarg("turnover", turnover), kwarg("drawdown", drawdown),
                kwarg("delta_exposure", delta_exposure), kwarg("max_weight", max_weight),
                kwarg("quality_score", quality_score), kwarg("correlation", nb::float_(0.0)),
                kwarg("liquidity_metrics", plain_dict_copy(liquidity_metrics)),
                kwarg("custom_stats", plain_dict_copy(custom_stats)));
}

void define_threshold_set() {
    nb::dict threshold_set;
    threshold_set["bypassed_thresholds"] = global(G::SCALAR_THRESHOLD_FIELDS);
    set_global(G::POOL_METRIC_THRESHOLD_SET, threshold_set);
}

void define_gate_functions() {
    def_helper<tracking_metric>("_tracking_metric", {arg("value"), arg("default", zero_float())});
    def_helper<is_mi_score>("_is_mi_score", {arg("value")});
    def_helper<pool_metric_gate_passed>("_pool_metric_gate_passed",
                                        {arg("metrics"), arg("pool_thresholds")});
    def_helper<pnl_mi_gate_passed>("_pnl_mi_gate_passed", {arg("score"), arg("threshold")});
    def_helper<correlation_gate_passed>("_correlation_gate_passed",
                                        {arg("correlation"), arg("threshold")});
    def_helper<build_tracking_stats>("_build_tracking_stats",
                                     {arg("bt_stats"), arg("per_column_stats"), arg("era_config")},
                                     kBuildTrackingStatsDoc);
}

} // namespace simsig
