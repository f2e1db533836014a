// What TVM's pattern partitioner gets of a network: the composite regions
// formed by earlier table entries hidden.
//
// The partitioner indexes every node it is given, and composite functions
// make that indexing grow faster than the network: a chain of 40,000
// operators half of which are composite calls takes 3.5 s to index, the
// same chain with those calls calling global variables 0.09 s.  No table
// pattern looks into a composite call (a pattern meets one only as an input,
// through a wildcard).  So the driver gives the partitioner the network (the
// body of its function) with every composite call calling a global variable
// that stands for its function, maps what the partitioner hands a check
// back to the network's own node, and puts the functions, and the function
// around the body, back into the result.
#pragma once

#include <tvm/ir/expr.h>
#include <tvm/relay/function.h>

#include "relay/node_tables.hpp"

namespace vexa_host {

class HiddenComposites {
public:
    // Hides the composite calls of `network` (a function or an expression).
    // Nothing is hidden (`active()` is false) when the network calls no
    // composite function, or holds a node other than calls of operators or
    // composite functions, tuples, tuple items, variables and constants (a
    // root function excepted): the partitioner then gets the network itself.
    explicit HiddenComposites(const tvm::RelayExpr& network);

    bool active() const { return hidden_.defined(); }

    // What the partitioner gets: the hidden body of a function, or the
    // hidden expression.
    const tvm::RelayExpr& hidden() const { return hidden_; }

    // The node of the network that `node` of the hidden network stands for.
    tvm::RelayExpr original(const tvm::RelayExpr& node) const;

    // The partitioner's result on the hidden network with the composite
    // functions back in their calls; the nodes the partitioner left alone
    // are the network's own.  Undefined when a function the partitioner
    // formed took in a hidden call (no table pattern does): the caller then
    // partitions the network itself.
    tvm::RelayExpr restored(const tvm::RelayExpr& partitioned) const;

private:
    tvm::RelayExpr hidden_;
    // The network when it is a function, to be put back around the result.
    tvm::relay::Function root_function_;
    // Hidden node -> network node, for the nodes rebuilt by hiding.
    vexa::NodeMap<tvm::RelayExpr> original_;
    // Global variable -> the composite function it stands for.
    vexa::NodeMap<tvm::relay::Function> functions_;
};

}  // namespace vexa_host
