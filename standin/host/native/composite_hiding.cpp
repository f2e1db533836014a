#include "composite_hiding.hpp"

#include <tvm/ir/op.h>

#include <vector>

#include "dataflow_rewrite.hpp"
#include "relay/graph_walk.hpp"
#include "relay/node_tables.hpp"

namespace vexa_host {
namespace {

using namespace tvm::relay;
using tvm::RelayExpr;

bool is_leaf(const tvm::Object* node) {
    return node->IsInstance<VarNode>() || node->IsInstance<ConstantNode>() || node->IsInstance<tvm::OpNode>() ||
           node->IsInstance<tvm::GlobalVarNode>();
}

const FunctionNode* composite_callee(const tvm::Object* node) {
    const auto* call = as<CallNode>(node);
    return call != nullptr && vexa::relay::is_composite_function(call->op.get())
               ? static_cast<const FunctionNode*>(call->op.get())
               : nullptr;
}

// Whether the walk can hide and restore `node`: leaves, tuples, tuple items
// and calls of operators or composite functions.
bool hideable(const tvm::Object* node) {
    if (is_leaf(node) || node->IsInstance<TupleNode>() || node->IsInstance<TupleGetItemNode>()) {
        return true;
    }
    const auto* call = as<CallNode>(node);
    return call != nullptr && (call->op->IsInstance<tvm::OpNode>() || composite_callee(node) != nullptr);
}

tvm::Array<RelayExpr> values_of(const std::vector<const tvm::Object*>& operands, const vexa::NodeMap<RelayExpr>& memo) {
    tvm::Array<RelayExpr> values;
    for (const tvm::Object* operand : operands) {
        values.push_back(memo.at(operand));
    }
    return values;
}

Call call_of(const CallNode* call, const RelayExpr& op, const tvm::Array<RelayExpr>& args) {
    Call result(op, args, call->attrs, call->type_args, call->span);
    result->checked_type_ = call->checked_type_;
    return result;
}

}  // namespace

HiddenComposites::HiddenComposites(const RelayExpr& network) {
    const auto* root_function = as<FunctionNode>(network.get());
    const tvm::Object* root = root_function != nullptr ? root_function->body.get() : network.get();
    bool hideable_network = true;
    bool any_composite = false;
    vexa::relay::post_order_walk(
        root, [](const FunctionNode*) { return false; },
        [&](const tvm::Object* node) {
            hideable_network = hideable_network && (node->IsInstance<FunctionNode>() || hideable(node));
            any_composite = any_composite || composite_callee(node) != nullptr;
        });
    if (!hideable_network || !any_composite) {
        return;
    }
    vexa::NodeMap<RelayExpr> memo;
    post_order(root, memo, dataflow_operands, [&](const tvm::Object* node, const auto& operands) -> RelayExpr {
        if (is_leaf(node)) {
            return tvm::runtime::GetRef<RelayExpr>(static_cast<const tvm::RelayExprNode*>(node));
        }
        RelayExpr value;
        if (const FunctionNode* function = composite_callee(node)) {
            tvm::GlobalVar stand_in("composite");
            stand_in->checked_type_ = function->checked_type_;
            functions_.emplace(stand_in.get(), tvm::runtime::GetRef<Function>(function));
            value = call_of(static_cast<const CallNode*>(node), stand_in, values_of(operands, memo));
        } else {
            value = rebuilt(node, values_of(operands, memo));
        }
        if (value.get() != node) {
            original_.emplace(value.get(),
                              tvm::runtime::GetRef<RelayExpr>(static_cast<const tvm::RelayExprNode*>(node)));
        }
        return value;
    });
    hidden_ = memo.at(root);
    if (root_function != nullptr) {
        root_function_ = tvm::runtime::GetRef<Function>(root_function);
    } else {
        original_.emplace(hidden_.get(), network);
    }
}

RelayExpr HiddenComposites::original(const RelayExpr& node) const {
    auto found = original_.find(node.get());
    return found != original_.end() ? found->second : node;
}

RelayExpr HiddenComposites::restored(const RelayExpr& partitioned) const {
    const tvm::Object* root = partitioned.get();
    bool takes_in_hidden = false;
    vexa::NodeMap<RelayExpr> memo;
    // A node the hiding made stands for its network node, whole; the walk
    // does not go below it.
    auto operands_of = [this](const tvm::Object* node) {
        return original_.count(node) != 0 ? std::vector<const tvm::Object*>{} : dataflow_operands(node);
    };
    post_order(root, memo, operands_of, [&](const tvm::Object* node, const auto& operands) -> RelayExpr {
        auto found = original_.find(node);
        if (found != original_.end()) {
            return found->second;
        }
        const auto* call = as<CallNode>(node);
        if (call != nullptr) {
            auto function = functions_.find(call->op.get());
            if (function != functions_.end()) {
                return call_of(call, function->second, values_of(operands, memo));
            }
            if (composite_callee(node) != nullptr) {
                vexa::relay::post_order_walk(
                    static_cast<const FunctionNode*>(call->op.get())->body.get(),
                    [](const FunctionNode*) { return false; },
                    [&](const tvm::Object* inner) {
                        takes_in_hidden = takes_in_hidden || functions_.count(inner) != 0;
                    });
            }
        }
        if (is_leaf(node) ||
            !(call != nullptr || node->IsInstance<TupleNode>() || node->IsInstance<TupleGetItemNode>())) {
            return tvm::runtime::GetRef<RelayExpr>(static_cast<const tvm::RelayExprNode*>(node));
        }
        return rebuilt(node, values_of(operands, memo));
    });
    if (takes_in_hidden) {
        return RelayExpr();
    }
    const RelayExpr& body = memo.at(root);
    if (!root_function_.defined()) {
        return body;
    }
    return body.same_as(root_function_->body) ? root_function_ : with_body(root_function_.get(), body);
}

}  // namespace vexa_host
