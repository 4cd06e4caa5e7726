// Frame internals: used by the module definition and the frame folder only.
#pragma once

#include "frame/frame.hpp"

namespace simsig {

// Makes `m` the module whose namespace every function uses, before its set-up
// runs. Returns false with ImportError set, touching nothing, when another
// module object of this extension is loaded or loading.
bool claim_module(PyObject *m) noexcept;
// The set-up of a claimed module ended; after a failure a later load may claim.
void module_load_finished(PyObject *m, bool succeeded) noexcept;
void mark_interpreter_exiting() noexcept;

// Ready the module's own function type (once, before the first def_function).
void init_function_type();

// Module set-up of the claimed module, in import order.
void build_module();

// Pieces of the frame defined in their own files.
void define_records();          // CancelledError, SimulationStatus, SimulationResult
void define_wiring();           // init_simulate_signal
void define_collaborator_globals();
void define_sync_globals();
void define_entry_points();   // simulate_signal, simulate_strategy, _pool_v2_signature

} // namespace simsig
