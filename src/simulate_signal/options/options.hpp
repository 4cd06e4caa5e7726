// Effective simulation options for SDK consumers.
#pragma once

#include "frame/frame.hpp"

namespace simsig {
void define_options_functions();   // ends with effective_simulation_options

// The module-level helpers, by the file that defines them (Python name in
// the comment); call them with call_helper<fn> (frame/helpers.hpp).

// options.cpp
ref universe_options(nb::handle era_config);  // _universe_options
// _engine_definitions_from_agent_payload
ref engine_definitions_from_agent_payload(nb::handle source_era_config,
                                          nb::handle typed_era_config);
ref plain_engine_definition_payload(nb::handle value);  // _plain_engine_definition_payload
ref stage_attr(nb::handle stage, nb::handle key, nb::handle default_value);  // _stage_attr
ref effective_simulation_options(nb::handle era_config);  // effective_simulation_options

} // namespace simsig
