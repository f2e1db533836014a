// Calls whose attributes are not of the kind their operator reads.
//
// TVM's type relations read a call's attributes as the kind their operator
// registered, without checking: a call built by hand with another kind of
// attributes, or none, makes type inference read foreign memory and takes
// the process down.  Every pass type-checks its input first, so graph code
// that hands a caller's network to a pass looks for such calls beforehand
// and raises instead.
#pragma once

#include <tvm/ir/module.h>
#include <tvm/relay/expr.h>

#include <string>

namespace vexa::relay {

// A description of the first call reachable from `expr` (function bodies
// included) whose operator registered a kind of attributes and whose
// attributes are of another kind or missing; empty when there is none.
std::string first_call_with_foreign_attrs(const tvm::RelayExpr& expr);

// The same for every Relay function of `mod`.
std::string first_call_with_foreign_attrs(const tvm::IRModule& mod);

}  // namespace vexa::relay
