// Types the composite regions that one pattern partition formed, without
// inferring the types of the whole network again.
//
// TVM's partitioner rebuilds every node on the path from a formed region to
// the network's output by copying it with new operands, and a copy keeps the
// node's checked type; a region is replaced by a call of a new function with
// new parameters, which has the type of the region's root.  So after a
// partition of a fully typed network, the only untyped nodes are the new
// calls of composite functions, those functions and their parameters, and
// their types follow directly from the arguments and the function bodies.
// Filling them in costs one walk of the network, where whole-network type
// inference after every table entry grows faster than the network.
#pragma once

#include <tvm/relay/expr.h>

namespace vexa_host {

// Whether every node reachable from `expr` (function bodies included) has a
// checked type.
bool fully_typed(const tvm::RelayExpr& expr);

// Gives the untyped composite calls, functions and parameters of `partitioned`
// the types that type inference would give them, in place (parameters get
// their type annotation and functions their return type, as type inference
// sets them).  Returns false, changing nothing, when `partitioned` holds any
// other untyped node: the caller then runs whole-network type inference.
// Call it only on the output of a partition of a fully typed network: the
// nodes it fills in must be new, never shared with the caller's input.
bool type_formed_composites(const tvm::RelayExpr& partitioned);

}  // namespace vexa_host
