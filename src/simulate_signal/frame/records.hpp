// Building the SimulationStatus records that the handle publishes at every
// phase change and hands out from every status() call.
#pragma once

#include "frame/frame.hpp"

namespace simsig {

// SimulationStatus(phase, progress, message, era_number, elapsed_s), with the
// class the module namespace holds now.
ref new_simulation_status(nb::handle phase, nb::handle progress, nb::handle message,
                          nb::handle era_number, nb::handle elapsed_s);

// SimulationStatus(current.phase, current.progress, current.message,
// current.era_number, elapsed_s): a snapshot of `current` at a new time.
ref status_snapshot(nb::handle current, nb::handle elapsed_s);

// The module set-up names the class it defined (once, at import).
void remember_simulation_status_class(nb::handle cls);

} // namespace simsig
