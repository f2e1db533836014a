#include "network_units.hpp"

#include <tvm/ir/op.h>
#include <tvm/relay/expr.h>
#include <tvm/relay/function.h>

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "dataflow_rewrite.hpp"
#include "node_cast.hpp"
#include "relay/graph_walk.hpp"
#include "relay/node_tables.hpp"

namespace vexa_host {
namespace {

using namespace tvm::relay;

// The units producing a value: a list of units, or one such value per field
// of a tuple, kept apart so that a field taken out of it (a tuple returned by
// an external function, say) leads back to its own producers only.
struct Produced {
    bool tuple = false;
    std::vector<int> units;
    std::vector<Produced> fields;

    void flatten_into(std::vector<int>& out) const {
        if (!tuple) {
            out.insert(out.end(), units.begin(), units.end());
            return;
        }
        for (const Produced& field : fields) {
            field.flatten_into(out);
        }
    }
};

Produced of_units(std::vector<int> units) { return Produced{false, std::move(units), {}}; }

// What a node's value is computed from; of a let, the bound value only: its
// body is read once the variable is bound.
std::vector<const tvm::Object*> value_operands(const tvm::Object* node) {
    if (const auto* let = as<LetNode>(node)) {
        return {let->value.get()};
    }
    return dataflow_operands(node);
}

// The operators called in a composite function's body, in post-order.
std::vector<std::string> region_ops(const FunctionNode* function) {
    std::vector<std::string> ops;
    vexa::relay::post_order_walk(
        function->body.get(), [](const FunctionNode*) { return true; },
        [&ops](const tvm::Object* node) {
            const auto* call = as<CallNode>(node);
            if (const auto* op = call != nullptr ? call->op.as<tvm::OpNode>() : nullptr) {
                ops.push_back(op->name);
            }
        });
    return ops;
}

bool has_attr(const FunctionNode* function, const char* key) {
    return function->attrs.defined() && function->attrs->dict.count(key) != 0;
}

// The last part of a node's type key ("relay.Var" -> "Var"): the class name
// under which Python knows it.
std::string class_name(const tvm::Object* node) {
    const std::string key = node->GetTypeKey();
    const std::size_t dot = key.rfind('.');
    return dot == std::string::npos ? key : key.substr(dot + 1);
}

class Flattener {
public:
    explicit Flattener(tvm::IRModule mod) : mod_(std::move(mod)) {}

    std::vector<NetworkUnit> run() {
        const auto main = tvm::runtime::Downcast<Function>(mod_->Lookup("main"));
        Env env;
        for (const Var& param : main->params) {
            env[param.get()] = of_units(add(NetworkUnit::kInput, param->name_hint(), {}));
        }
        Memo memo;
        visit(main->body.get(), env, memo);
        return std::move(units_);
    }

private:
    using Env = std::unordered_map<const tvm::Object*, Produced>;  // variable -> its value's producers
    using Memo = vexa::NodeMap<Produced>;

    std::vector<int> add(NetworkUnit::Kind kind, std::string name, const std::vector<int>& inputs,
                         std::vector<std::string> ops = {}) {
        std::vector<int> once;
        for (int input : inputs) {
            if (std::find(once.begin(), once.end(), input) == once.end()) {
                once.push_back(input);
            }
        }
        units_.push_back(NetworkUnit{kind, std::move(name), std::move(ops), std::move(once), offload_});
        return {static_cast<int>(units_.size()) - 1};
    }

    // The producers of `expr`'s value, in an iterative post-order walk.
    Produced visit(const tvm::Object* expr, Env& env, Memo& memo) {
        std::vector<std::pair<const tvm::Object*, bool>> stack{{expr, false}};
        while (!stack.empty()) {
            auto [node, expanded] = stack.back();
            stack.pop_back();
            if (memo.count(node) != 0) {
                continue;
            }
            const std::vector<const tvm::Object*> children = value_operands(node);
            if (!expanded && !children.empty()) {
                stack.emplace_back(node, true);
                for (auto it = children.rbegin(); it != children.rend(); ++it) {
                    if (memo.count(*it) == 0) {
                        stack.emplace_back(*it, false);
                    }
                }
                continue;
            }
            Produced produced = produce(node, env, memo);
            memo.emplace(node, std::move(produced));
        }
        return memo.at(expr);
    }

    Produced produce(const tvm::Object* node, Env& env, Memo& memo) {
        if (const auto* var = as<VarNode>(node)) {
            auto found = env.find(node);
            if (found != env.end()) {
                return found->second;
            }
            return env[node] = of_units(add(NetworkUnit::kInput, var->name_hint(), {}));
        }
        if (const auto* tuple = as<TupleNode>(node)) {
            Produced value{true, {}, {}};
            for (const auto& field : tuple->fields) {
                value.fields.push_back(memo.at(field.get()));
            }
            return value;
        }
        if (const auto* item = as<TupleGetItemNode>(node)) {
            const Produced& value = memo.at(item->tuple.get());
            return value.tuple ? value.fields.at(static_cast<std::size_t>(item->index)) : value;
        }
        if (const auto* let = as<LetNode>(node)) {
            env[let->var.get()] = memo.at(let->value.get());
            return visit(let->body.get(), env, memo);
        }
        const auto* call = as<CallNode>(node);
        if (call == nullptr) {
            return {};  // constants, operators, global variables as values
        }
        std::vector<Produced> args;
        std::vector<int> flat_args;
        for (const auto& arg : call->args) {
            args.push_back(memo.at(arg.get()));
            args.back().flatten_into(flat_args);
        }
        if (const auto* op = call->op.as<tvm::OpNode>()) {
            return of_units(add(NetworkUnit::kOperator, op->name, flat_args));
        }
        const tvm::Object* callee = call->op.get();
        std::string name;
        if (const auto* global = as<tvm::GlobalVarNode>(callee)) {
            name = global->name_hint;
            callee = mod_->Lookup(tvm::runtime::GetRef<tvm::GlobalVar>(global)).get();
        }
        const auto* function = as<FunctionNode>(callee);
        if (function == nullptr) {
            return of_units(add(NetworkUnit::kOperator, class_name(callee), flat_args));
        }
        if (has_attr(function, "Composite")) {
            const auto composite = function->GetAttr<tvm::String>("Composite").value_or("");
            return of_units(add(NetworkUnit::kRegion, composite, flat_args, region_ops(function)));
        }
        const std::string outer = offload_;
        offload_ = !outer.empty() ? outer : has_attr(function, "Compiler") ? name : "";
        Env inner;
        for (std::size_t i = 0; i < function->params.size() && i < args.size(); ++i) {
            inner[function->params[i].get()] = args[i];
        }
        Memo inner_memo;
        Produced result = visit(function->body.get(), inner, inner_memo);
        offload_ = outer;
        return result;
    }

    tvm::IRModule mod_;
    std::vector<NetworkUnit> units_;
    std::string offload_;  // the external function being read
};

}  // namespace

std::vector<NetworkUnit> network_units(const tvm::IRModule& mod) { return Flattener(mod).run(); }

}  // namespace vexa_host
