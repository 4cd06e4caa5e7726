#include "options/options.hpp"
#include "frame/frame.hpp"

namespace simsig {

void define_options_functions() {}

} // namespace simsig
