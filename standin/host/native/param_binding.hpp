// Parameters bound by name into a function as constants, with the types that
// type inference would give the result.
//
// TVM's bind_params_by_name leaves the new constants and the rebuilt function
// untyped, so the whole module was inferred again right after binding (a
// quarter of a second on a mid-size network, and growing faster than the
// network).  A constant whose data has the type of the parameter it replaces
// changes no other type in the function: the constant takes the parameter's
// type, every rebuilt node keeps its own, and the function's type loses the
// bound parameters.
#pragma once

#include <tvm/relay/expr.h>
#include <tvm/relay/function.h>

#include <string>
#include <utility>
#include <vector>

namespace vexa_host {

struct BoundParams {
    tvm::relay::Function function;
    // Whether `function` is fully typed; when not, its caller infers types.
    bool typed = false;
    // The name shared by several parameters of the function that a value was
    // given for (nothing is bound then); empty when there is none.
    std::string ambiguous_name;
};

// `function` with each parameter named in `values` replaced by its constant,
// as TVM's BindParamsByName does.  The result is typed when `function` is and
// every constant has its parameter's type.
BoundParams bind_params(const tvm::relay::Function& function,
                        const std::vector<std::pair<std::string, tvm::relay::Constant>>& values);

}  // namespace vexa_host
