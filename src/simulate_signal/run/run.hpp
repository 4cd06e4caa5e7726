// The simulation handle and the pipeline stretches its thread runs.
#pragma once

namespace simsig {
void define_handle_class();   // SimulationHandle
} // namespace simsig
