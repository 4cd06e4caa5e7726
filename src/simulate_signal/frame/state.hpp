// Frame internals: used by the frame folder and the module assembly above it
// (module.cpp, module_setup.cpp) only.
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

// CancelledError, SimulationStatus, SimulationResult (frame/records.cpp).
void define_records();

} // namespace simsig
