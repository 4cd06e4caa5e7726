// Graph boundary: typed graph classes, conversion and refusal of graphs,
// feature names, the filtration test and the plain tracking form.
#pragma once

namespace simsig {
void define_graph_functions();
} // namespace simsig
