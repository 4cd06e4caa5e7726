// Metric gates and the tracking-stats bridge.
#pragma once

#include "frame/frame.hpp"

namespace simsig {
void define_threshold_set();   // _POOL_METRIC_THRESHOLD_SET, first of the helpers
void define_gate_functions();

// The module-level helpers, by the file that defines them (Python name in
// the comment); call them with call_helper<fn> (frame/helpers.hpp).

// gates.cpp
ref tracking_metric(nb::handle value, nb::handle default_value);  // _tracking_metric
ref is_mi_score(nb::handle value);                                // _is_mi_score
// _pool_metric_gate_passed
ref pool_metric_gate_passed(nb::handle metrics, nb::handle pool_thresholds);
ref pnl_mi_gate_passed(nb::handle score, nb::handle threshold);  // _pnl_mi_gate_passed
// _correlation_gate_passed
ref correlation_gate_passed(nb::handle correlation, nb::handle threshold);
// _build_tracking_stats
ref build_tracking_stats(nb::handle bt_stats, nb::handle per_column_stats, nb::handle era_config);

} // namespace simsig
