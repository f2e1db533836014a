#include "pattern_ops.hpp"

#include <tvm/ir/op.h>

#include <algorithm>
#include <iterator>
#include <vector>

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

// What a pattern asks of a network's operators: a literal operator, all of
// its parts (a call's operator and arguments, a tuple's fields, the pattern
// that a type, shape, dtype or attribute pattern restricts), or any one of
// them (an alternative).  Wildcards, variables, constants, functions, lets,
// ifs and dominator patterns ask nothing worked out here; so does a pattern
// deeper than the table patterns ever are.
struct Demand {
    enum Kind { kNothing, kOperator, kAllOf, kAnyOf } kind = kNothing;
    std::string name;
    std::vector<DFPattern> parts;
};

Demand demand_of(const DFPattern& pattern) {
    Demand demand;
    if (const auto* literal = as<ExprPatternNode>(pattern)) {
        if (const auto* op = literal->expr.defined() ? literal->expr.as<tvm::OpNode>() : nullptr) {
            demand.kind = Demand::kOperator;
            demand.name = op->name;
        }
    } else if (const auto* call = as<CallPatternNode>(pattern)) {
        demand.kind = Demand::kAllOf;
        demand.parts.push_back(call->op);
        // A call pattern without arguments (None) accepts any arguments.
        if (call->args.defined()) {
            for (const auto& argument : call->args) demand.parts.push_back(argument);
        }
    } else if (const auto* alternative = as<AltPatternNode>(pattern)) {
        demand.kind = Demand::kAnyOf;
        demand.parts = {alternative->left, alternative->right};
    } else if (const auto* tuple = as<TuplePatternNode>(pattern)) {
        demand.kind = Demand::kAllOf;
        // A tuple pattern without fields (None) accepts any tuple.
        if (tuple->fields.defined()) {
            for (const auto& field : tuple->fields) demand.parts.push_back(field);
        }
    } else if (const auto* item = as<TupleGetItemPatternNode>(pattern)) {
        demand = {Demand::kAllOf, "", {item->tuple}};
    } else if (const auto* typed = as<TypePatternNode>(pattern)) {
        demand = {Demand::kAllOf, "", {typed->pattern}};
    } else if (const auto* shaped = as<ShapePatternNode>(pattern)) {
        demand = {Demand::kAllOf, "", {shaped->pattern}};
    } else if (const auto* dtyped = as<DataTypePatternNode>(pattern)) {
        demand = {Demand::kAllOf, "", {dtyped->pattern}};
    } else if (const auto* attributed = as<AttrPatternNode>(pattern)) {
        demand = {Demand::kAllOf, "", {attributed->pattern}};
    }
    return demand;
}

Names required(const DFPattern& pattern, int depth) {
    Demand demand = depth > kMaxDepth ? Demand{} : demand_of(pattern);
    if (demand.kind == Demand::kOperator) return Names{demand.name};
    Names names;
    for (std::size_t i = 0; i < demand.parts.size(); ++i) {
        Names part = required(demand.parts[i], depth + 1);
        // Of an alternative only what every side needs is needed.
        names = demand.kind == Demand::kAllOf ? (names.merge(part), names) : i == 0 ? part : intersection(names, part);
    }
    return names;
}

bool may_match(const DFPattern& pattern, const Names& present, int depth) {
    Demand demand = depth > kMaxDepth ? Demand{} : demand_of(pattern);
    switch (demand.kind) {
        case Demand::kOperator:
            return present.count(demand.name) != 0;
        case Demand::kAllOf:
            return std::all_of(demand.parts.begin(), demand.parts.end(),
                               [&](const DFPattern& part) { return may_match(part, present, depth + 1); });
        case Demand::kAnyOf:
            return std::any_of(demand.parts.begin(), demand.parts.end(),
                               [&](const DFPattern& part) { return may_match(part, present, depth + 1); });
        default:
            return true;
    }
}

}  // namespace

std::set<std::string> required_operators(const DFPattern& pattern) { return required(pattern, 0); }

bool may_match(const DFPattern& pattern, const std::set<std::string>& present) {
    return may_match(pattern, present, 0);
}

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
