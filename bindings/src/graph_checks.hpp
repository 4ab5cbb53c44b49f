// layout_nodes' checks of the graph and start positions it is given, made
// before any work.
//
// What layout_raw leaves to the kernel's bounds tests (an internal error) is
// here a ValueError naming the argument: rows too narrow for two columns, an
// edge end that is not a node, weights that are not one per edge. Start
// positions that float32 (the node matrix) cannot hold are refused as well:
// one infinite coordinate turns the Barnes-Hut tree into a chain as deep as
// the graph, and every step then costs time quadratic in the node count.
// Cost: one pass over the edges and one over the start rows.
#pragma once

#include "arguments.hpp"

namespace tallow::bindings {

// Throws the ValueError (as PythonError) of the first argument that fails,
// in argument order.
void check_graph_arguments(const LayoutArguments& arguments);

}  // namespace tallow::bindings
