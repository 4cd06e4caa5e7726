// Shuffle seed, vocabulary freshness, function store, found-strategy PnL.
#pragma once

namespace simsig {
void define_runtime_data_functions();
} // namespace simsig
