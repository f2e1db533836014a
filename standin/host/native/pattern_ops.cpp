#include "pattern_ops.hpp"

#include <tvm/ir/op.h>

#include <algorithm>
#include <iterator>

#include "relay/graph_walk.hpp"

namespace vexa_host {
namespace {

using namespace tvm::relay;
using Names = std::set<std::string>;

// Table patterns are a few levels deep; a pattern deeper than this is
// treated as needing nothing rather than walked without bound.
constexpr int kMaxDepth = 256;

template <typename Node>
const Node* as(const DFPattern& pattern) {
    return pattern.defined() ? pattern.as<Node>() : nullptr;
}

Names intersection(const Names& left, const Names& right) {
    Names both;
    std::set_intersection(left.begin(), left.end(), right.begin(), right.end(), std::inserter(both, both.end()));
    return both;
}

Names required(const DFPattern& pattern, int depth) {
    if (!pattern.defined() || depth > kMaxDepth) {
        return {};
    }
    if (const auto* literal = as<ExprPatternNode>(pattern)) {
        const auto* op = literal->expr.defined() ? literal->expr.as<tvm::OpNode>() : nullptr;
        return op != nullptr ? Names{op->name} : Names{};
    }
    if (const auto* call = as<CallPatternNode>(pattern)) {
        Names names = required(call->op, depth + 1);
        // A call pattern without arguments (None) accepts any arguments.
        for (const auto& argument : call->args.defined() ? call->args : tvm::Array<DFPattern>()) {
            names.merge(required(argument, depth + 1));
        }
        return names;
    }
    if (const auto* alternative = as<AltPatternNode>(pattern)) {
        // Either side may match, so only what both need is needed.
        return intersection(required(alternative->left, depth + 1), required(alternative->right, depth + 1));
    }
    if (const auto* tuple = as<TuplePatternNode>(pattern)) {
        Names names;
        // A tuple pattern without fields (None) accepts any tuple.
        for (const auto& field : tuple->fields.defined() ? tuple->fields : tvm::Array<DFPattern>()) {
            names.merge(required(field, depth + 1));
        }
        return names;
    }
    if (const auto* item = as<TupleGetItemPatternNode>(pattern)) {
        return required(item->tuple, depth + 1);
    }
    // Patterns that restrict what an inner pattern matches need what it needs.
    if (const auto* typed = as<TypePatternNode>(pattern)) {
        return required(typed->pattern, depth + 1);
    }
    if (const auto* shaped = as<ShapePatternNode>(pattern)) {
        return required(shaped->pattern, depth + 1);
    }
    if (const auto* dtyped = as<DataTypePatternNode>(pattern)) {
        return required(dtyped->pattern, depth + 1);
    }
    if (const auto* attributed = as<AttrPatternNode>(pattern)) {
        return required(attributed->pattern, depth + 1);
    }
    // Wildcards, variables, constants, functions, lets, ifs and dominator
    // patterns: nothing is worked out for them.
    return {};
}

}  // namespace

std::set<std::string> required_operators(const DFPattern& pattern) { return required(pattern, 0); }

std::set<std::string> operator_names(const tvm::RelayExpr& expr) {
    Names names;
    // The partitioner never matches inside a function it formed, so their
    // bodies are not entered.
    vexa::relay::post_order_walk(
        expr.get(),
        [](const FunctionNode* function) {
            return !function->attrs.defined() || function->attrs->dict.count("PartitionedFromPattern") == 0;
        },
        [&names](const tvm::Object* node) {
            if (node->IsInstance<tvm::OpNode>()) {
                names.insert(static_cast<const tvm::OpNode*>(node)->name);
            }
        });
    return names;
}

}  // namespace vexa_host
