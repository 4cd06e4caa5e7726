// Frame internals: used by the module definition and the frame folder only.
#pragma once

#include "frame/frame.hpp"

namespace simsig {

void set_module(nb::handle m);
void mark_interpreter_exiting() noexcept;

// Ready the module's own function type (once, before the first def_function).
void init_function_type();

// Module set-up, in import order.
void build_module(nb::handle m);

// Pieces of the frame defined in their own files.
void define_records();          // CancelledError, SimulationStatus, SimulationResult
void define_wiring();           // init_simulate_signal
void define_collaborator_globals();
void define_sync_globals();
void define_entry_points();   // simulate_signal, simulate_strategy, _pool_v2_signature

} // namespace simsig
