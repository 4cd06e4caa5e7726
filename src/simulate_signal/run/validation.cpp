// Pipeline stretch: graph validation and configuration.
#include "run/pipeline.hpp"

namespace simsig {

void validate_and_configure(Run &) {}

} // namespace simsig
