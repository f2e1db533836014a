// The calls of one operator found from an expression: the expression itself
// when it calls that operator, and, when it calls a function (a composite
// region formed by the partitioner), the calls of that operator in the
// function's body, in graph post-order.  Functions nested in that body are
// not entered.
#pragma once

#include <tvm/relay/expr.h>

#include <string>

#include "consumer_index.hpp"

namespace vexa_host {

CallList find_calls_of(const tvm::RelayExprNode* expr, const std::string& op_name);

}  // namespace vexa_host
