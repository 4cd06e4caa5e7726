#include "graph/graph.hpp"
#include "frame/frame.hpp"

namespace simsig {

void define_graph_functions() {}

} // namespace simsig
