#include "composite_typing.hpp"

#include <tvm/ir/adt.h>
#include <tvm/ir/op.h>
#include <tvm/ir/type.h>
#include <tvm/relay/function.h>

#include <vector>

#include "relay/graph_walk.hpp"
#include "relay/node_tables.hpp"

namespace vexa_host {
namespace {

using namespace tvm::relay;

template <typename Node>
const Node* as(const tvm::Object* node) {
    return node->IsInstance<Node>() ? static_cast<const Node*>(node) : nullptr;
}

// Nodes that never carry a checked type of their own: operators, global
// variables and constructors are callees, not values.
bool is_callee_only(const tvm::Object* node) {
    return node->IsInstance<tvm::OpNode>() || node->IsInstance<tvm::GlobalVarNode>() ||
           node->IsInstance<tvm::ConstructorNode>();
}

bool has_type(const tvm::Object* node) {
    const auto* expr = as<tvm::RelayExprNode>(node);
    return expr == nullptr || is_callee_only(node) || expr->checked_type_.defined();
}

// The untyped nodes reachable from `root`, operands before their users.
std::vector<const tvm::Object*> untyped_nodes(const tvm::RelayExpr& root) {
    std::vector<const tvm::Object*> untyped;
    vexa::relay::post_order_walk(
        root.get(), [](const FunctionNode*) { return true; },
        [&untyped](const tvm::Object* node) {
            if (!has_type(node)) {
                untyped.push_back(node);
            }
        });
    return untyped;
}

// The untyped composite calls of a partition's output, in post-order, when
// every untyped node is such a call, its function or one of its parameters.
class Plan {
public:
    bool build(const std::vector<const tvm::Object*>& untyped) {
        std::vector<const tvm::Object*> others;
        for (const tvm::Object* node : untyped) {
            const auto* call = as<CallNode>(node);
            if (call != nullptr && call->op.defined() && call->op->IsInstance<FunctionNode>()) {
                if (!plan_call(call)) {
                    return false;
                }
            } else {
                others.push_back(node);
            }
        }
        // Every other untyped node must be a function or parameter that a
        // planned call types.
        for (const tvm::Object* node : others) {
            if (will_type_.count(node) == 0) {
                return false;
            }
        }
        return true;
    }

    const std::vector<const CallNode*>& calls() const { return calls_; }

private:
    bool typed_or_planned(const tvm::Object* node) const { return has_type(node) || will_type_.count(node) != 0; }

    bool plan_call(const CallNode* call) {
        const auto* function = static_cast<const FunctionNode*>(call->op.get());
        if (function->params.size() != call->args.size() || will_type_.count(function) != 0) {
            return false;
        }
        for (const auto& argument : call->args) {
            if (!argument.defined() || !typed_or_planned(argument.get())) {
                return false;
            }
        }
        if (!function->checked_type_.defined()) {
            will_type_.insert(function);
            for (const auto& param : function->params) {
                will_type_.insert(param.get());
            }
        }
        if (!function->body.defined() || !typed_or_planned(function->body.get())) {
            return false;
        }
        will_type_.insert(call);
        calls_.push_back(call);
        return true;
    }

    vexa::NodeSet will_type_;
    std::vector<const CallNode*> calls_;
};

// Types one composite call whose arguments are typed: its parameters take
// the argument types, the function the type of its body, the call the
// function's return type.
void type_call(const CallNode* call) {
    auto* function = const_cast<FunctionNode*>(static_cast<const FunctionNode*>(call->op.get()));
    if (!function->checked_type_.defined()) {
        tvm::Array<tvm::Type> param_types;
        for (std::size_t i = 0; i < function->params.size(); ++i) {
            auto* param = const_cast<VarNode*>(function->params[i].get());
            if (!param->checked_type_.defined()) {
                if (!param->type_annotation.defined()) {
                    param->type_annotation = call->args[i]->checked_type_;
                }
                param->checked_type_ = param->type_annotation;
            }
            param_types.push_back(param->checked_type_);
        }
        if (!function->ret_type.defined()) {
            function->ret_type = function->body->checked_type_;
        }
        function->checked_type_ = tvm::FuncType(param_types, function->ret_type, function->type_params, {});
    }
    const auto* function_type = function->checked_type_.as<tvm::FuncTypeNode>();
    call->checked_type_ = function_type != nullptr ? function_type->ret_type : function->body->checked_type_;
}

}  // namespace

bool fully_typed(const tvm::RelayExpr& expr) { return untyped_nodes(expr).empty(); }

bool type_formed_composites(const tvm::RelayExpr& partitioned) {
    Plan plan;
    if (!plan.build(untyped_nodes(partitioned))) {
        return false;
    }
    for (const CallNode* call : plan.calls()) {
        type_call(call);
    }
    return true;
}

}  // namespace vexa_host
