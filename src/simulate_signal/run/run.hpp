// The simulation handle and the pipeline stretches its thread runs.
#pragma once

namespace simsig {
void define_handle_class();   // SimulationHandle
// In a child made by fork(), once the native flags are renewed: the runs
// whose pipelines did not follow have ended, and the shared sync starts anew.
void after_fork_in_child();
} // namespace simsig
