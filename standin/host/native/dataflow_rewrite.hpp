// Pieces of an iterative dataflow rewrite of a Relay expression: the
// operands of a node, a node rebuilt on new operands as TVM's ExprMutator
// rebuilds it, and a post-order walk without recursion.
#pragma once

#include <tvm/relay/expr.h>
#include <tvm/relay/function.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "node_cast.hpp"
#include "relay/node_tables.hpp"

namespace vexa_host {

// The dataflow operands of a call, tuple or tuple item, in order; none for
// any other node.
inline std::vector<const tvm::Object*> dataflow_operands(const tvm::Object* node) {
    using namespace tvm::relay;
    std::vector<const tvm::Object*> result;
    if (const auto* call = as<CallNode>(node)) {
        for (const auto& arg : call->args) result.push_back(arg.get());
    } else if (const auto* tuple = as<TupleNode>(node)) {
        for (const auto& field : tuple->fields) result.push_back(field.get());
    } else if (const auto* item = as<TupleGetItemNode>(node)) {
        result.push_back(item->tuple.get());
    }
    return result;
}

// `node` (a call, tuple or tuple item) on `operands`: the node itself when
// they are its own, else a copy with its type.
inline tvm::RelayExpr rebuilt(const tvm::Object* node, const tvm::Array<tvm::RelayExpr>& operands) {
    using namespace tvm::relay;
    const std::vector<const tvm::Object*> originals = dataflow_operands(node);
    bool changed = false;
    for (std::size_t i = 0; i < originals.size(); ++i) {
        changed = changed || operands[i].get() != originals[i];
    }
    const auto* expr = static_cast<const tvm::RelayExprNode*>(node);
    if (!changed) {
        return tvm::runtime::GetRef<tvm::RelayExpr>(expr);
    }
    tvm::RelayExpr value;
    if (const auto* call = as<CallNode>(node)) {
        value = Call(call->op, operands, call->attrs, call->type_args, call->span);
    } else if (const auto* tuple = as<TupleNode>(node)) {
        value = Tuple(operands, tuple->span);
    } else {
        const auto* item = static_cast<const TupleGetItemNode*>(node);
        value = TupleGetItem(operands[0], item->index, item->span);
    }
    value->checked_type_ = expr->checked_type_;
    return value;
}

// The shape of a tensor type whose dimensions are all fixed, or nullopt.
inline std::optional<std::vector<int64_t>> fixed_shape(const tvm::Type& type) {
    const auto* tensor = type.defined() ? type.as<tvm::TensorTypeNode>() : nullptr;
    if (tensor == nullptr) {
        return std::nullopt;
    }
    std::vector<int64_t> shape;
    for (const auto& dim : tensor->shape) {
        const auto* value = dim.as<tvm::IntImmNode>();
        if (value == nullptr) {
            return std::nullopt;
        }
        shape.push_back(value->value);
    }
    return shape;
}

// `function` with another body of the same type.
inline tvm::relay::Function with_body(const tvm::relay::FunctionNode* function, const tvm::RelayExpr& body) {
    tvm::relay::Function result(function->params, body, function->ret_type, function->type_params, function->attrs,
                                function->span);
    result->checked_type_ = function->checked_type_;
    return result;
}

// Computes `memo[node] = compute(node, operands)` for every node reachable
// from `root` through `operands_of` and not yet in `memo`, operands first,
// left to right.
template <typename Value, typename OperandsOf, typename Compute>
void post_order(const tvm::Object* root, vexa::NodeMap<Value>& memo, OperandsOf&& operands_of, Compute&& compute) {
    std::vector<std::pair<const tvm::Object*, bool>> stack{{root, false}};
    while (!stack.empty()) {
        auto [node, expanded] = stack.back();
        if (memo.count(node) != 0) {
            stack.pop_back();
            continue;
        }
        const std::vector<const tvm::Object*> operands = operands_of(node);
        if (!expanded) {
            stack.back().second = true;
            for (auto it = operands.rbegin(); it != operands.rend(); ++it) {
                stack.emplace_back(*it, false);
            }
            continue;
        }
        stack.pop_back();
        memo.emplace(node, compute(node, operands));
    }
}

}  // namespace vexa_host
