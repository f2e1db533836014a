// Region outlining in one pass over the network: the module that TVM's
// AnnotateTarget(compilers, include_non_call_ops=False), MergeCompilerRegions
// and PartitionGraph give for a network whose composites are formed, built
// without their per-region type inference of the whole module (which makes
// them quadratic: minutes for a few thousand operators).
//
// The result is the same module, function for function: the same regions
// merged (a region absorbs a parent region of its target unless a path
// through a region of another target leads from that parent to it), the
// same region numbers and so the same function names, parameters in the same
// order with the same names, constants bound into the functions, outputs in
// the same order, the same attributes.  Inputs whose outcome this walk does
// not reproduce (functions besides "main", control flow, existing
// annotations, composites returning tuples, operators with their own target
// annotation rules) are refused with the reason, and the caller runs TVM's
// passes instead.  Where TVM's merge would join two regions connected only
// through a tuple, which makes a cycle that PartitionGraph crashes on, the
// regions are kept apart and the result says so.
#pragma once

#include <tvm/ir/module.h>

#include <string>
#include <vector>

namespace vexa_host {

struct OutlineResult {
    tvm::IRModule module;   // null when refused
    std::string refusal;    // why the walk cannot stand in for TVM's passes
    int regions = 0;        // external functions formed
    int transitions = 0;    // tensors handed into or out of them
    std::string deviation;  // where the module knowingly differs from TVM's passes, and why
};

// Outlines the composite calls of "main" whose composite name starts with
// one of `compilers` (the text before the first dot).  The module's "main"
// must be typed.  The result is not typed yet: the caller infers its types
// once.
OutlineResult outline_regions(const tvm::IRModule& mod, const std::vector<std::string>& compilers);

}  // namespace vexa_host
