// Era configuration, named universes, pools, rule ids, thresholds, strategy
// pools and useful signals.
#pragma once

#include "frame/frame.hpp"

namespace simsig {
void define_config_functions();

// The module-level helpers, by the file that defines them (Python name in
// the comment); call them with call_helper<fn> (frame/helpers.hpp).

// era_config.cpp
ref coerce_era_number(nb::handle value);                // _coerce_era_number
ref coerce_market_id(nb::handle value);                 // _coerce_market_id
ref market_id_from_manifest(nb::handle manifest);       // _market_id_from_manifest
ref era_number_from_manifest(nb::handle manifest);      // _era_number_from_manifest
ref derive_synced_market_era(nb::handle sync_manager);  // _derive_synced_market_era
// _resolve_runtime_era_config
ref resolve_runtime_era_config(nb::handle market_id, nb::handle era_number);
// _required_runtime_data_shape_value
ref required_runtime_data_shape_value(nb::handle era_config, nb::handle field);
ref primary_evaluation_pnl_column(nb::handle era_config);  // _primary_evaluation_pnl_column

// named_universe.cpp
// _validate_selected_pool_id
ref validate_selected_pool_id(nb::handle pool_id, nb::handle field_name);
ref safe_named_universe(nb::handle named_universe);     // _safe_named_universe
ref pool_allowed_named_universes(nb::handle pool_cfg);  // _pool_allowed_named_universes
ref configured_named_universe();                        // _configured_named_universe
// _first_pool_named_universe
ref first_pool_named_universe(nb::handle era_cfg, nb::handle expression_type,
                              nb::handle selected_pool_id);
// _resolve_simulation_named_universe
ref resolve_simulation_named_universe(nb::handle named_universe, nb::handle expression_type,
                                      nb::handle selected_pool_id);

// pool_selection.cpp
ref selected_pool_field_name(nb::handle expression_type);  // _selected_pool_field_name
// _selected_pool_config
ref selected_pool_config(nb::handle era_cfg, nb::handle expression_type,
                         nb::handle selected_pool_id);
// _selected_pool_runtime_name
ref selected_pool_runtime_name(nb::handle pool_cfg, nb::handle expression_type,
                               nb::handle selected_pool_id);
ref coerce_int_rule_id(nb::handle value);  // _coerce_int_rule_id
// _resolve_universe_rule_id_for_sdk
ref resolve_universe_rule_id_for_sdk(nb::handle era_cfg, nb::handle named_universe);
// _resolve_pool_universe_thresholds
ref resolve_pool_universe_thresholds(nb::handle pool_cfg, nb::handle universe_rule_id);

// strategy_pools.cpp
// _strategy_signal_pool_id
ref strategy_signal_pool_id(nb::handle strategy_pool_cfg, nb::handle strategy_pool_id);
// _metadata_for_signal_ref
ref metadata_for_signal_ref(nb::handle signal_ref, nb::handle metadata);
ref signal_ref_label(nb::handle signal_ref, nb::handle metadata);  // _signal_ref_label
ref metadata_signal_pool_id(nb::handle metadata);                  // _metadata_signal_pool_id
// _validate_strategy_useful_signal_pools
ref validate_strategy_useful_signal_pools(nb::handle strategy_pool_id, nb::handle strategy_pool_cfg,
                                          nb::handle useful_signals,
                                          nb::handle useful_signal_metadata);
// _strategy_referenced_signal_ids
ref strategy_referenced_signal_ids(nb::handle useful_signals, nb::handle useful_signal_metadata,
                                   nb::handle pool_cfg);

} // namespace simsig
