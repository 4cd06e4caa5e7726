// Pipeline stretch: backtest, timing and stats gates.
#include "run/pipeline.hpp"

namespace simsig {

void backtest_and_gate(Run &) {}

} // namespace simsig
