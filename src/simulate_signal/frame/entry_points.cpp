#include "frame/state.hpp"

namespace simsig {

void define_entry_points() {}

} // namespace simsig
