#include "call_search.hpp"

#include <tvm/relay/function.h>

#include "relay/access.hpp"
#include "relay/graph_walk.hpp"

namespace vexa_host {

CallList find_calls_of(const tvm::RelayExprNode* expr, const std::string& op_name) {
    CallList found;
    const tvm::relay::CallNode* call = vexa::relay::as_call(expr);
    if (call == nullptr) {
        return found;
    }
    if (vexa::relay::is_call_of(call, op_name.c_str())) {
        found.push_back(call);
        return found;
    }
    const auto* function = call->op.as<tvm::relay::FunctionNode>();
    if (function == nullptr) {
        return found;
    }
    vexa::relay::post_order_walk(
        function->body.get(), [](const tvm::relay::FunctionNode*) { return false; },
        [&found, &op_name](const tvm::Object* node) {
            if (vexa::relay::is_call_of(node, op_name.c_str())) {
                found.push_back(static_cast<const tvm::relay::CallNode*>(node));
            }
        });
    return found;
}

}  // namespace vexa_host
