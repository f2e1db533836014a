#include "relay/call_attrs.hpp"

#include <tvm/ir/op.h>
#include <tvm/relay/function.h>

#include <unordered_set>
#include <vector>

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

void push_operands(const tvm::Object* node, std::vector<const tvm::Object*>& stack) {
    auto push = [&stack](const tvm::runtime::ObjectRef& operand) {
        if (operand.defined()) {
            stack.push_back(operand.get());
        }
    };
    if (const auto* call = node->IsInstance<CallNode>() ? static_cast<const CallNode*>(node) : nullptr) {
        push(call->op);
        for (const auto& argument : call->args) {
            push(argument);
        }
    } else if (const auto* tuple = node->IsInstance<TupleNode>() ? static_cast<const TupleNode*>(node) : nullptr) {
        for (const auto& field : tuple->fields) {
            push(field);
        }
    } else if (const auto* item =
                   node->IsInstance<TupleGetItemNode>() ? static_cast<const TupleGetItemNode*>(node) : nullptr) {
        push(item->tuple);
    } else if (const auto* function =
                   node->IsInstance<FunctionNode>() ? static_cast<const FunctionNode*>(node) : nullptr) {
        push(function->body);
    } else if (const auto* let = node->IsInstance<LetNode>() ? static_cast<const LetNode*>(node) : nullptr) {
        push(let->value);
        push(let->body);
    } else if (const auto* branch = node->IsInstance<IfNode>() ? static_cast<const IfNode*>(node) : nullptr) {
        push(branch->cond);
        push(branch->true_branch);
        push(branch->false_branch);
    }
}

}  // namespace

std::string first_call_with_foreign_attrs(const tvm::RelayExpr& expr) {
    // Iterative, so that the depth of a network never exhausts the stack.
    std::unordered_set<const tvm::Object*> seen;
    std::vector<const tvm::Object*> stack;
    if (expr.defined()) {
        stack.push_back(expr.get());
    }
    while (!stack.empty()) {
        const tvm::Object* node = stack.back();
        stack.pop_back();
        if (!seen.insert(node).second) {
            continue;
        }
        if (node->IsInstance<CallNode>()) {
            std::string problem = foreign_attrs(static_cast<const CallNode*>(node));
            if (!problem.empty()) {
                return problem;
            }
        }
        push_operands(node, stack);
    }
    return {};
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
