// The networks being partitioned on the current thread, innermost last.
//
// The partition driver enters the network before each table entry and leaves
// it afterwards; the checks that the partitioner calls during the entry ask
// for consumers in that network.  A check runs on the thread that called the
// partitioner, so the record is per thread and concurrent partition runs on
// different threads do not see each other's networks.
#pragma once

#include <tvm/relay/expr.h>

#include <cstddef>
#include <memory>

#include "consumer_index.hpp"

namespace vexa_host {

void enter_network(tvm::RelayExpr network);

// Leaves the innermost network; false when none was entered.
bool leave_network();

// The consumer index of the innermost network, built on first use; null when
// no network has been entered on this thread.
const ConsumerIndex* current_index();

// How many consumer indexes the process has built so far.
std::size_t indexes_built();

}  // namespace vexa_host
