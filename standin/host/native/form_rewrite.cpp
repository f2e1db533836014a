#include "form_rewrite.hpp"

#include <tvm/ir/op.h>
#include <tvm/relay/function.h>
#include <tvm/runtime/builtin_fp16.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <unordered_set>

#include "dataflow_rewrite.hpp"
#include "form_rules.hpp"
#include "relay/graph_walk.hpp"
#include "relay/node_tables.hpp"

namespace vexa_host {
namespace {

using namespace tvm::relay;
using Nodes = vexa::NodeSet;

// TVM's rewriter gives up after this many passes.
constexpr int kMaxPasses = 100;

bool is_dataflow(const tvm::Object* node) {
    if (const auto* call = as<CallNode>(node)) {
        return call->op->IsInstance<tvm::OpNode>() || call->op->IsInstance<tvm::GlobalVarNode>();
    }
    return as<TupleNode>(node) != nullptr || as<TupleGetItemNode>(node) != nullptr || as<VarNode>(node) != nullptr ||
           as<ConstantNode>(node) != nullptr;
}

// The nodes of a function body, operands first, and what the rules ask of
// them as a whole.
struct Graph {
    std::vector<const tvm::Object*> order;
    std::unordered_set<const tvm::OpNode*> operators;
    bool dataflow = true;
    bool typed = true;
};

Graph graph_of(const tvm::Object* body) {
    Graph graph;
    const auto enter_function = [](const FunctionNode*) { return false; };
    vexa::relay::post_order_walk(body, enter_function, [&graph](const tvm::Object* node) {
        if (node->IsInstance<tvm::OpNode>()) {
            return;  // a callee
        }
        graph.dataflow = graph.dataflow && is_dataflow(node);
        graph.typed = graph.typed && static_cast<const tvm::RelayExprNode*>(node)->checked_type_.defined();
        if (const auto* call = as<CallNode>(node)) {
            if (const auto* op = call->op.as<tvm::OpNode>()) {
                graph.operators.insert(op);
            }
        }
        graph.order.push_back(node);
    });
    return graph;
}

using Users = vexa::NodeMap<std::vector<const tvm::Object*>>;

// The users of `nodes` (only the inner nodes of matches need them).
Users users_of(const Graph& graph, const Nodes& nodes) {
    Users users;
    for (const tvm::Object* node : graph.order) {
        for (const tvm::Object* operand : dataflow_operands(node)) {
            if (nodes.count(operand) != 0) {
                users[operand].push_back(node);
            }
        }
    }
    return users;
}

// The roots of the matches that form groups, claimed from the output back.
Nodes group_roots(const Graph& graph, const FormRule& rule) {
    std::vector<std::pair<const CallNode*, InnerNodes>> matches;
    Nodes inner_nodes;
    for (auto it = graph.order.rbegin(); it != graph.order.rend(); ++it) {
        if (const auto* root = as<CallNode>(*it)) {
            if (std::optional<InnerNodes> inner = rule.match(root)) {
                inner_nodes.insert(inner->begin(), inner->end());
                matches.emplace_back(root, std::move(*inner));
            }
        }
    }
    const Users users = inner_nodes.empty() ? Users{} : users_of(graph, inner_nodes);
    Nodes claimed;
    Nodes roots;
    for (const auto& [root, inner] : matches) {
        if (claimed.count(root) != 0) {
            continue;
        }
        Nodes members;
        members.insert(inner.begin(), inner.end());
        members.insert(root);
        bool separate = true;
        for (const CallNode* node : inner) {
            separate = separate && claimed.count(node) == 0;
            for (const tvm::Object* user : users.at(node)) {
                separate = separate && members.count(user) != 0;
            }
        }
        if (separate) {
            claimed.insert(members.begin(), members.end());
            roots.insert(root);
        }
    }
    return roots;
}

// One pass of `rule` over `body`: the new body, or nullopt when no match
// was rewritten.  Only the nodes that change are rebuilt.
std::optional<tvm::RelayExpr> one_pass(const tvm::RelayExpr& body, const FormRule& rule, const Graph& graph) {
    const Nodes roots = group_roots(graph, rule);
    if (roots.empty()) {
        return std::nullopt;
    }
    vexa::NodeMap<tvm::RelayExpr> changed;
    const PostOf post_of(changed);
    for (const tvm::Object* node : graph.order) {
        if (changed.empty() && roots.count(node) == 0) {
            continue;  // nothing below has changed yet
        }
        const std::vector<const tvm::Object*> operands = dataflow_operands(node);
        const bool moved = std::any_of(operands.begin(), operands.end(),
                                       [&changed](const tvm::Object* operand) { return changed.count(operand) != 0; });
        if (!moved && roots.count(node) == 0) {
            continue;
        }
        const auto pre = tvm::runtime::GetRef<tvm::RelayExpr>(static_cast<const tvm::RelayExprNode*>(node));
        tvm::RelayExpr value = pre;
        if (moved) {
            tvm::Array<tvm::RelayExpr> rebuilt_operands;
            for (const tvm::Object* operand : operands) {
                rebuilt_operands.push_back(
                    post_of(tvm::runtime::GetRef<tvm::RelayExpr>(static_cast<const tvm::RelayExprNode*>(operand))));
            }
            value = rebuilt(node, rebuilt_operands);
        }
        if (roots.count(node) != 0) {
            value = rule.rewrite(static_cast<const CallNode*>(node), tvm::runtime::Downcast<Call>(value), post_of);
        }
        if (!value.same_as(pre)) {
            changed.emplace(node, value);
        }
    }
    const auto result = changed.find(body.get());
    if (changed.empty()) {
        return std::nullopt;
    }
    return result != changed.end() ? result->second : body;
}

bool calls_all(const Graph& graph, const FormRule& rule) {
    return std::all_of(rule.operators.begin(), rule.operators.end(), [&graph](const std::string& name) {
        return graph.operators.count(tvm::Op::Get(name).as<tvm::OpNode>()) != 0;
    });
}

// `rule` applied to `body` until it changes nothing; nullopt when it changes
// nothing at once.  `graph` is the body's and becomes the result's.
std::optional<tvm::RelayExpr> settled(const tvm::RelayExpr& body, const FormRule& rule, Graph& graph) {
    std::optional<tvm::RelayExpr> result;
    for (int pass = 0; pass < kMaxPasses; ++pass) {
        std::optional<tvm::RelayExpr> next = one_pass(result.value_or(body), rule, graph);
        if (!next.has_value()) {
            return result;
        }
        result = next;
        graph = graph_of(result->get());
    }
    throw std::runtime_error(rule.name + ": the rewrite did not settle after " + std::to_string(kMaxPasses) +
                             " passes");
}

struct Untyped {};

std::optional<Function> rewritten(const FunctionNode* function, const std::vector<const FormRule*>& rules) {
    tvm::RelayExpr body = function->body;
    Graph graph = graph_of(body.get());
    if (!graph.typed) {
        throw Untyped{};
    }
    if (!graph.dataflow) {
        return std::nullopt;
    }
    bool changed = false;
    for (const FormRule* rule : rules) {
        if (!calls_all(graph, *rule)) {
            continue;
        }
        if (std::optional<tvm::RelayExpr> next = settled(body, *rule, graph)) {
            body = *next;
            changed = true;
        }
    }
    if (!changed) {
        return std::nullopt;
    }
    return with_body(function, body);
}

}  // namespace

const FormRule* form_rule(const std::string& name) {
    static const FormRule* const kRules[] = {
        &kScalarQuantizeFolded,
        &kLayoutTransformPairCancelled,
        &kLayoutTransformOutsideQuantization,
        &kPadInsideLayoutTransform,
        &kMaxPoolAfterQuantize,
        &kNearestResizeHalfPixel,
        &kTiledUpsamplingToResize,
        &kConcatenateInsideLayoutTransforms,
    };
    for (const FormRule* rule : kRules) {
        if (rule->name == name) {
            return rule;
        }
    }
    return nullptr;
}

std::optional<tvm::IRModule> rewrite_forms(const tvm::IRModule& mod, const std::vector<const FormRule*>& rules) {
    std::vector<std::pair<tvm::GlobalVar, Function>> updates;
    try {
        for (const auto& [global, function] : mod->functions) {
            if (const auto* relay_function = function.as<FunctionNode>()) {
                if (std::optional<Function> result = rewritten(relay_function, rules)) {
                    updates.emplace_back(global, *result);
                }
            }
        }
    } catch (const Untyped&) {
        return std::nullopt;
    }
    if (updates.empty()) {
        return mod;
    }
    tvm::IRModule copy = mod->ShallowCopy();
    for (const auto& [global, function] : updates) {
        copy->AddUnchecked(global, function);
    }
    return copy;
}

tvm::RelayExpr with_type(tvm::RelayExpr expr, const tvm::Type& type) {
    expr->checked_type_ = type;
    return expr;
}

const CallNode* call_of(const tvm::RelayExpr& expr, const char* name, std::size_t arity) {
    const auto* call = expr.as<CallNode>();
    if (call == nullptr || call->args.size() != arity) {
        return nullptr;
    }
    const auto* op = call->op.as<tvm::OpNode>();
    return op != nullptr && op->name == name ? call : nullptr;
}

std::optional<long double> scalar(const tvm::RelayExpr& expr) {
    const auto* constant = expr.as<ConstantNode>();
    if (constant == nullptr) {
        return std::nullopt;
    }
    const auto& data = constant->data;
    int64_t count = 1;
    for (int i = 0; i < data->ndim; ++i) {
        count *= data->shape[i];
    }
    const tvm::DataType dtype = data.DataType();
    if (count != 1 || dtype.lanes() != 1) {
        return std::nullopt;
    }
    const void* value = data->data;
    if (dtype.is_float() && dtype.bits() == 32) return *static_cast<const float*>(value);
    if (dtype.is_float() && dtype.bits() == 64) return *static_cast<const double*>(value);
    if (dtype.is_int() && dtype.bits() == 8) return *static_cast<const int8_t*>(value);
    if (dtype.is_int() && dtype.bits() == 16) return *static_cast<const int16_t*>(value);
    if (dtype.is_int() && dtype.bits() == 32) return *static_cast<const int32_t*>(value);
    if (dtype.is_int() && dtype.bits() == 64) return *static_cast<const int64_t*>(value);
    if (dtype.is_uint() && dtype.bits() == 8) return *static_cast<const uint8_t*>(value);
    if (dtype.is_uint() && dtype.bits() == 16) return *static_cast<const uint16_t*>(value);
    if (dtype.is_uint() && dtype.bits() == 32) return *static_cast<const uint32_t*>(value);
    if (dtype.is_uint() && dtype.bits() == 64) return *static_cast<const uint64_t*>(value);
    if (dtype.is_float16()) return __gnu_h2f_ieee(*static_cast<const uint16_t*>(value));
    if (dtype.is_bool()) return *static_cast<const bool*>(value) ? 1 : 0;
    // Any other single element (bfloat16...) is a scalar equal to no other.
    return std::numeric_limits<long double>::quiet_NaN();
}

bool plain_layout(const std::string& layout) {
    bool upper = false;
    std::unordered_set<char> axes;
    for (char axis : layout) {
        if (std::islower(static_cast<unsigned char>(axis))) {
            return false;
        }
        upper = upper || std::isupper(static_cast<unsigned char>(axis));
        if (!axes.insert(axis).second) {
            return false;
        }
    }
    return upper;
}

}  // namespace vexa_host
