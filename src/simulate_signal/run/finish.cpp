// Pipeline stretch: era re-check, pending record and result.
#include "run/pipeline.hpp"

namespace simsig {

void finish(Run &) {}

} // namespace simsig
