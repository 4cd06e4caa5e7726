#include "runtime_data/runtime_data.hpp"
#include "frame/frame.hpp"

namespace simsig {

void define_runtime_data_functions() {}

} // namespace simsig
