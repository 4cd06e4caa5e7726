// Pipeline stretch: evaluation.
#include "run/pipeline.hpp"

namespace simsig {

void evaluate(Run &) {}

} // namespace simsig
