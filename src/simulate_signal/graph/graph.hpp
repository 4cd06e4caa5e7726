// Graph boundary: typed graph classes, conversion and refusal of graphs,
// feature names, the filtration test and the plain tracking form.
#pragma once

#include "frame/frame.hpp"

namespace simsig {
void define_graph_functions();

// The module-level helpers, by the file that defines them (Python name in
// the comment); call them with call_helper<fn> (frame/helpers.hpp).

// graph.cpp
ref import_typed_shapes();                              // _import_typed_shapes
ref typed_runtime_graph(nb::handle graph);              // _typed_runtime_graph
ref reject_public_aggregation_graph(nb::handle graph);  // _reject_public_aggregation_graph
ref require_typed_runtime_graph(nb::handle graph);      // _require_typed_runtime_graph
ref has_filtration_runtime_graph(nb::handle graph);     // _has_filtration_runtime_graph
ref simulation_graph_feature_names(nb::handle graph);   // _simulation_graph_feature_names
ref plain_tracking_graph(nb::handle graph);             // _plain_tracking_graph

} // namespace simsig
