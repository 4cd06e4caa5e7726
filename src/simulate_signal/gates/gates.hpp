// Metric gates and the tracking-stats bridge.
#pragma once

namespace simsig {
void define_threshold_set();   // _POOL_METRIC_THRESHOLD_SET, first of the helpers
void define_gate_functions();
} // namespace simsig
