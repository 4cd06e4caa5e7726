#include "run/run.hpp"
#include "frame/frame.hpp"

namespace simsig {

void define_handle_class() {}

} // namespace simsig
