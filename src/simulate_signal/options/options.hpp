// Effective simulation options for SDK consumers.
#pragma once

namespace simsig {
void define_options_functions();   // ends with effective_simulation_options
} // namespace simsig
