// Module assembly: the pieces the module definition (module.cpp) puts
// together at import, above every folder. The frame knows nothing of them.
#pragma once

#include "frame/frame.hpp"

namespace simsig {

// Module set-up of the claimed module, in import order (module_setup.cpp).
void build_module();

// wiring.cpp
void define_collaborator_globals();
void define_sync_globals();
void define_wiring();           // init_simulate_signal

// entry_points.cpp
void define_entry_points();     // simulate_signal, simulate_strategy, _pool_v2_signature
ref pool_v2_signature(nb::handle pool_parameter_name);  // _pool_v2_signature

} // namespace simsig
