// Iterative post-order walk of a Relay graph, without recursion, so that the
// depth of a network never exhausts the stack.
#pragma once

#include <tvm/relay/expr.h>
#include <tvm/relay/function.h>

#include <utility>
#include <vector>

#include "relay/node_tables.hpp"

namespace vexa::relay {

// Whether `node` is a function the partitioner formed for a composite region.
inline bool is_composite_function(const tvm::Object* node) {
    const auto* function =
        node->IsInstance<tvm::relay::FunctionNode>() ? static_cast<const tvm::relay::FunctionNode*>(node) : nullptr;
    return function != nullptr && function->attrs.defined() && function->attrs->dict.count("Composite") != 0;
}

// The expression operands of `node` in evaluation order (callee before
// arguments, as TVM's own visitors go).  Functions are entered through their
// body unless `enter_function` says otherwise.
template <typename EnterFunction, typename Visit>
void for_each_operand(const tvm::Object* node, EnterFunction&& enter_function, Visit&& visit) {
    using namespace tvm::relay;
    if (const auto* call = node->IsInstance<CallNode>() ? static_cast<const CallNode*>(node) : nullptr) {
        visit(call->op.get());
        for (const auto& argument : call->args) {
            visit(argument.get());
        }
    } else if (const auto* tuple = node->IsInstance<TupleNode>() ? static_cast<const TupleNode*>(node) : nullptr) {
        for (const auto& field : tuple->fields) {
            visit(field.get());
        }
    } else if (const auto* item =
                   node->IsInstance<TupleGetItemNode>() ? static_cast<const TupleGetItemNode*>(node) : nullptr) {
        visit(item->tuple.get());
    } else if (const auto* function =
                   node->IsInstance<FunctionNode>() ? static_cast<const FunctionNode*>(node) : nullptr) {
        if (enter_function(function)) {
            visit(function->body.get());
        }
    } else if (const auto* let = node->IsInstance<LetNode>() ? static_cast<const LetNode*>(node) : nullptr) {
        visit(let->var.get());
        visit(let->value.get());
        visit(let->body.get());
    } else if (const auto* branch = node->IsInstance<IfNode>() ? static_cast<const IfNode*>(node) : nullptr) {
        visit(branch->cond.get());
        visit(branch->true_branch.get());
        visit(branch->false_branch.get());
    }
}

// Calls `on_node` for every node reachable from `root`, each once, operands
// before the node that uses them.
template <typename EnterFunction, typename OnNode>
void post_order_walk(const tvm::Object* root, EnterFunction&& enter_function, OnNode&& on_node) {
    NodeSet seen;
    // (node, operands already pushed)
    std::vector<std::pair<const tvm::Object*, bool>> stack{{root, false}};
    std::vector<const tvm::Object*> operands;
    while (!stack.empty()) {
        auto [node, expanded] = stack.back();
        if (expanded) {
            stack.pop_back();
            on_node(node);
            continue;
        }
        if (!seen.insert(node).second) {
            stack.pop_back();
            continue;
        }
        stack.back().second = true;
        operands.clear();
        for_each_operand(node, enter_function, [&operands](const tvm::Object* operand) {
            if (operand != nullptr) {
                operands.push_back(operand);
            }
        });
        // Pushed in reverse, so that the first operand is walked first.
        for (auto it = operands.rbegin(); it != operands.rend(); ++it) {
            if (seen.count(*it) == 0) {
                stack.emplace_back(*it, false);
            }
        }
    }
}

}  // namespace vexa::relay
