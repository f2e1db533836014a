// A new operator call typed as type inference would type it, for rewrites
// that keep the network typed.
#pragma once

#include <tvm/ir/op.h>
#include <tvm/relay/expr.h>

namespace vexa_host {

// A call of `op` (an operator) of type `type`, with the types of its
// arguments as its type arguments (which type inference sets on every
// operator call).
inline tvm::relay::Call typed_call(const tvm::RelayExpr& op, const tvm::Array<tvm::RelayExpr>& args,
                                   const tvm::Attrs& attrs, const tvm::Type& type) {
    tvm::Array<tvm::Type> arg_types;
    for (const auto& arg : args) {
        arg_types.push_back(arg->checked_type_);
    }
    tvm::relay::Call call(op, args, attrs, arg_types);
    call->checked_type_ = type;
    return call;
}

}  // namespace vexa_host
