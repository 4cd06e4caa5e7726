// Rescale detection, weight finalisation and the evaluator adapter.
#pragma once

#include "frame/frame.hpp"

namespace simsig {
void define_weights_functions();
void define_evaluator_class();   // _SimulationOrchestratorEvaluator

// The module-level helpers, by the file that defines them (Python name in
// the comment); call them with call_helper<fn> (frame/helpers.hpp).

// weights.cpp
ref stage_value(nb::handle stage, nb::handle key, nb::handle default_value);  // _stage_value
ref resolved_stage_option(nb::handle stage, nb::handle metaparameters);  // _resolved_stage_option
ref option_uses_rescale(nb::handle option, nb::handle option_config);    // _option_uses_rescale
// _pipeline_applies_rescale
ref pipeline_applies_rescale(nb::handle transform_pipeline, nb::handle metaparameters);
ref empty_runtime_stage_data();                     // _empty_runtime_stage_data
ref finalize_rescaled_weights(nb::handle weights);  // _finalize_rescaled_weights
// _install_finalized_weights
ref install_finalized_weights(nb::handle backtester, nb::handle graph, nb::handle metaparameters,
                              nb::handle named_universe, nb::handle weights);

} // namespace simsig
