#include "consumer_index.hpp"

#include <algorithm>

#include "relay/graph_walk.hpp"

namespace vexa_host {

namespace {

const ConsumerIndex::Consumers kNoConsumers;

}  // namespace

ConsumerIndex::ConsumerIndex(tvm::RelayExpr network) : network_(std::move(network)) {
    const tvm::Object* root = network_.get();
    vexa::relay::post_order_walk(
        root,
        [root](const tvm::relay::FunctionNode* function) {
            return function == root || !vexa::relay::is_composite_function(function);
        },
        [this](const tvm::Object* node) {
            if (node->IsInstance<tvm::relay::CallNode>()) {
                record_call(static_cast<const tvm::relay::CallNode*>(node));
            }
        });
}

void ConsumerIndex::record_call(const tvm::relay::CallNode* call) {
    // What the call consumes, each node once: add(x, x) or concatenate((x, x))
    // make the call one consumer of x, not two.
    std::vector<const tvm::Object*>& consumed = consumed_;
    consumed.clear();
    auto add = [&consumed](const tvm::Object* node) {
        if (std::find(consumed.begin(), consumed.end(), node) == consumed.end()) {
            consumed.push_back(node);
        }
    };
    for (const auto& argument : call->args) {
        add(argument.get());
        if (const auto* tuple = argument.as<tvm::relay::TupleNode>()) {
            for (const auto& field : tuple->fields) {
                add(field.get());
            }
        }
    }
    for (const tvm::Object* node : consumed) {
        consumers_[node].push_back(call);
    }
}

const ConsumerIndex::Consumers& ConsumerIndex::consumers(const tvm::Object* node) const {
    auto found = consumers_.find(node);
    return found == consumers_.end() ? kNoConsumers : found->second;
}

}  // namespace vexa_host
