#include "gates/gates.hpp"
#include "frame/frame.hpp"

namespace simsig {

void define_threshold_set() {
    nb::dict threshold_set;
    threshold_set["bypassed_thresholds"] = global("SCALAR_THRESHOLD_FIELDS");
    set_global("_POOL_METRIC_THRESHOLD_SET", threshold_set);
}

void define_gate_functions() {}

} // namespace simsig
