// Era configuration, named universes, pools, rule ids, thresholds, strategy
// pools and useful signals.
#pragma once

namespace simsig {
void define_config_functions();
} // namespace simsig
