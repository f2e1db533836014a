#include "relay/call_attrs.hpp"

#include <tvm/ir/op.h>
#include <tvm/relay/function.h>

#include "relay/graph_walk.hpp"

namespace vexa::relay {
namespace {

using namespace tvm::relay;

std::string kind_of(const tvm::Attrs& attrs) { return attrs.defined() ? attrs->GetTypeKey() : "no"; }

// Why `call` would break its operator's type relation, or empty.
std::string foreign_attrs(const CallNode* call) {
    const auto* op = call->op.defined() ? call->op.as<tvm::OpNode>() : nullptr;
    if (op == nullptr || op->attrs_type_key.empty()) {
        return {};
    }
    if (call->attrs.defined() && call->attrs->type_index() == op->attrs_type_index) {
        return {};
    }
    return "a call of " + std::string(op->name) + " carries " + kind_of(call->attrs) + " attributes, where " +
           std::string(op->name) + " reads " + std::string(op->attrs_type_key);
}

}  // namespace

std::string first_call_with_foreign_attrs(const tvm::RelayExpr& expr) {
    std::string problem;
    if (expr.defined()) {
        post_order_walk(
            expr.get(), [](const FunctionNode*) { return true; },
            [&problem](const tvm::Object* node) {
                if (problem.empty() && node->IsInstance<CallNode>()) {
                    problem = foreign_attrs(static_cast<const CallNode*>(node));
                }
            });
    }
    return problem;
}

std::string first_call_with_foreign_attrs(const tvm::IRModule& mod) {
    for (const auto& [global, function] : mod->functions) {
        if (const auto* relay_function = function.as<FunctionNode>()) {
            std::string problem = first_call_with_foreign_attrs(tvm::runtime::GetRef<tvm::RelayExpr>(relay_function));
            if (!problem.empty()) {
                return problem;
            }
        }
    }
    return {};
}

}  // namespace vexa::relay
