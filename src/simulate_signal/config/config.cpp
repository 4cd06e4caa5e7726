#include "config/config.hpp"
#include "frame/frame.hpp"

namespace simsig {

void define_config_functions() {}

} // namespace simsig
