// Pipeline stretch: correlation and marginal-improvement gates.
#include "run/pipeline.hpp"

namespace simsig {

void pool_gates(Run &) {}

} // namespace simsig
