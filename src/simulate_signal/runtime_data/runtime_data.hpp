// Shuffle seed, vocabulary freshness, function store, found-strategy PnL.
#pragma once

namespace simsig {
void define_runtime_data_functions();

// The pieces, one file each, defined in this order.
void define_shuffle_seed_functions();        // shuffle_seed.cpp
void define_vocabulary_functions();          // vocabulary.cpp
void define_found_strategy_pnl_functions();  // found_strategy_pnl.cpp
} // namespace simsig
