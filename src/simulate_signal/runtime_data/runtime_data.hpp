// Shuffle seed, vocabulary freshness, function store, found-strategy PnL.
#pragma once

#include "frame/frame.hpp"

namespace simsig {
void define_runtime_data_functions();

// The pieces, one file each, defined in this order.
void define_shuffle_seed_functions();        // shuffle_seed.cpp
void define_vocabulary_functions();          // vocabulary.cpp
void define_found_strategy_pnl_functions();  // found_strategy_pnl.cpp

// The module-level helpers, by the file that defines them (Python name in
// the comment); call them with call_helper<fn> (frame/helpers.hpp).

// found_strategy_pnl.cpp
ref synced_found_strategy_pnl_paths(nb::handle sync_result);  // _synced_found_strategy_pnl_paths
// _load_synced_found_strategy_pnl_arrays
ref load_synced_found_strategy_pnl_arrays(nb::handle sync_result, nb::handle raw_backtester);

// shuffle_seed.cpp
ref load_runtime_shuffle_blob(nb::handle data_dir);  // _load_runtime_shuffle_blob
ref validate_shuffle_blob(nb::handle blob);          // _validate_shuffle_blob

// vocabulary.cpp
ref is_function_store_registry(nb::handle value);          // _is_function_store_registry
ref build_obfuscated_store(nb::handle vocabulary_dict);    // _build_obfuscated_store
ref import_graph_validator_runtime();                      // _import_graph_validator_runtime
ref runtime_vocabulary_freshness_state(nb::handle guard);  // _runtime_vocabulary_freshness_state
// _is_vocabulary_artifact_path
ref is_vocabulary_artifact_path(nb::handle path, nb::handle named_universe);
// _runtime_vocabulary_refreshed
ref runtime_vocabulary_refreshed(nb::handle before_state, nb::handle after_state,
                                 nb::handle named_universe);
// _reload_runtime_vocabulary_after_freshness
ref reload_runtime_vocabulary_after_freshness(nb::handle named_universe);

} // namespace simsig
