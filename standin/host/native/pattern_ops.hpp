// Which operators a dataflow pattern needs, and which a network holds: an
// entry whose pattern needs an operator that the network does not hold
// cannot match anywhere, so the partition driver skips it instead of
// letting TVM's partitioner index the whole network for nothing.
#pragma once

#include <tvm/relay/dataflow_pattern.h>
#include <tvm/relay/expr.h>

#include <set>
#include <string>

namespace vexa_host {

// The names of the operators that every expression `pattern` matches calls
// (a lower bound: empty when the pattern is too deep or of a kind whose
// needs are not worked out here).
std::set<std::string> required_operators(const tvm::relay::DFPattern& pattern);

// Whether `pattern` may match in a network calling only the operators
// `present`: false when every way it can match (each side of its
// alternatives) calls an operator missing from `present`.
bool may_match(const tvm::relay::DFPattern& pattern, const std::set<std::string>& present);

// The names of every operator called in `expr` outside the functions that a
// pattern partition formed (other function bodies included).
std::set<std::string> operator_names(const tvm::RelayExpr& expr);

}  // namespace vexa_host
