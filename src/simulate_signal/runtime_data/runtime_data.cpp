#include "runtime_data/runtime_data.hpp"

namespace simsig {

void define_runtime_data_functions() {
    define_shuffle_seed_functions();
    define_vocabulary_functions();
    define_found_strategy_pnl_functions();
}

} // namespace simsig
