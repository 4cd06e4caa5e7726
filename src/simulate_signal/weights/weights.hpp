// Rescale detection, weight finalisation and the evaluator adapter.
#pragma once

namespace simsig {
void define_weights_functions();
void define_evaluator_class();   // _SimulationOrchestratorEvaluator
} // namespace simsig
