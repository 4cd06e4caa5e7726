// Pipeline stretch: acquisition and data sync.
#include "run/pipeline.hpp"

namespace simsig {

void acquire_and_sync(Run &) {}

} // namespace simsig
