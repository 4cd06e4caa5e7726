// Inside the config folder: the pieces define_config_functions() runs, in
// the order their functions are defined, and what they share.
#pragma once

#include "frame/frame.hpp"

namespace simsig {

void define_era_config_functions();      // market/era ids, the run's era-config copy
void define_strategy_pool_functions();   // strategy-pool links, useful signals
void define_named_universe_functions();  // pool-id and named-universe checks, fallbacks
void define_pool_selection_functions();  // pool configs, runtime names, rule ids, thresholds

// `a == b` / `a != b` as the interpreter evaluates them: the rich comparison
// itself, without the identity shortcut of PyObject_RichCompareBool.
bool python_equal(nb::handle a, nb::handle b);
bool python_not_equal(nb::handle a, nb::handle b);

// isinstance(value, str) and value: a non-empty str (subclasses count).
bool is_nonempty_str(nb::handle value);

// raise SdkRuntimeNotReadyError() (no arguments).
[[noreturn]] void raise_runtime_not_ready();

} // namespace simsig
