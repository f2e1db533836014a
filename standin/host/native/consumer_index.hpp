// The consumers of every node of one Relay network, found in one walk.
//
// A consumer of a node is a call that takes the node as an argument, directly
// or as a field of a tuple that the call takes as an argument.  The walk is
// iterative (a chain of any length fits), visits every node once and records
// a call as a consumer when it is reached in graph post-order, so every
// consumer list is in that order and holds each call once.
//
// Regions that the partitioner has already turned into composite functions
// are opaque: the walk does not enter a function that carries the
// "Composite" attribute, since its body is not part of the network's own
// dataflow.  Any other function (the network itself, a closure) is entered.
#pragma once

#include <tvm/relay/expr.h>

#include <memory_resource>
#include <vector>

#include "relay/node_tables.hpp"

namespace vexa_host {

using CallList = std::vector<const tvm::relay::CallNode*>;

class ConsumerIndex {
public:
    explicit ConsumerIndex(tvm::RelayExpr network);

    // The consumers of `node` in graph post-order; empty when nothing in the
    // network consumes it (also when the node is not part of the network).
    // A consumer list in the index's own pool (a network has as many as nodes).
    using Consumers = std::pmr::vector<const tvm::relay::CallNode*>;

    const Consumers& consumers(const tvm::Object* node) const;

private:
    void record_call(const tvm::relay::CallNode* call);

    tvm::RelayExpr network_;                    // keeps every indexed node, and so every key, alive
    vexa::NodeMap<Consumers> consumers_;        // the lists take the table's pool
    std::vector<const tvm::Object*> consumed_;  // what one call consumes
};

}  // namespace vexa_host
