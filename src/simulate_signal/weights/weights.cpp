#include "weights/weights.hpp"
#include "frame/frame.hpp"

namespace simsig {

void define_weights_functions() {}
void define_evaluator_class() {}

} // namespace simsig
