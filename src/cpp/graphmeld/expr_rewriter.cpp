#include "graphmeld/expr_rewriter.hpp"

#include <pybind11/pybind11.h>
#include <tvm/ir/op.h>
#include <tvm/relay/adt.h>
#include <tvm/relay/function.h>
#include <tvm/runtime/registry.h>

#include <string>

#include "relay/bridge.hpp"

namespace vexa::meld {

namespace py = pybind11;
using namespace tvm::relay;
using tvm::Optional;
using tvm::runtime::Downcast;

namespace {

[[noreturn]] void raise_unhandled(const Expr& expr) {
    py::object value = vexa::to_python(expr);
    std::string text = "warning unhandled case: " + py::str(py::type::handle_of(value)).cast<std::string>();
    PyErr_SetString(PyExc_Exception, text.c_str());
    throw py::error_already_set();
}

bool is_leaf(const Expr& expr) {
    return expr->IsInstance<GlobalVarNode>() || expr->IsInstance<ConstantNode>() || expr->IsInstance<tvm::OpNode>() ||
           expr->IsInstance<ConstructorNode>();
}

std::vector<Expr> children_of(const Expr& expr) {
    std::vector<Expr> children;
    if (const auto* call = expr.as<CallNode>()) {
        children.reserve(call->args.size() + 1);
        children.push_back(call->op);
        for (const Expr& arg : call->args) {
            children.push_back(arg);
        }
    } else if (const auto* function = expr.as<FunctionNode>()) {
        children.reserve(function->params.size() + 1);
        for (const Var& param : function->params) {
            children.push_back(param);
        }
        children.push_back(function->body);
    } else if (const auto* let = expr.as<LetNode>()) {
        children = {let->var, let->value, let->body};
    } else if (const auto* tuple = expr.as<TupleNode>()) {
        children.reserve(tuple->fields.size());
        for (const Expr& field : tuple->fields) {
            children.push_back(field);
        }
    } else if (const auto* item = expr.as<TupleGetItemNode>()) {
        children = {item->tuple};
    } else if (const auto* branch = expr.as<IfNode>()) {
        children = {branch->cond, branch->true_branch, branch->false_branch};
    } else if (const auto* create = expr.as<RefCreateNode>()) {
        children = {create->value};
    } else if (const auto* read = expr.as<RefReadNode>()) {
        children = {read->ref};
    } else if (const auto* write = expr.as<RefWriteNode>()) {
        children = {write->ref, write->value};
    } else if (const auto* match = expr.as<MatchNode>()) {
        children.push_back(match->data);
        for (const Clause& clause : match->clauses) {
            children.push_back(clause->rhs);
        }
    } else {
        raise_unhandled(expr);
    }
    return children;
}

bool unchanged(const std::vector<Expr>& results, const std::vector<Expr>& children) {
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (!results[i].same_as(children[i])) {
            return false;
        }
    }
    return true;
}

// Looked up as the module loads (after libtvm.so, which registers it), not
// in a lazily initialised static whose guard concurrent first calls would
// wait on.
const tvm::runtime::PackedFunc* const function_with_fields = tvm::runtime::Registry::Get("relay.ir.FunctionWithFields");

template <typename T>
tvm::Array<T> downcast_range(const std::vector<Expr>& values, std::size_t begin, std::size_t end) {
    tvm::Array<T> array;
    array.reserve(static_cast<int64_t>(end - begin));
    for (std::size_t i = begin; i < end; ++i) {
        array.push_back(Downcast<T>(values[i]));
    }
    return array;
}

}  // namespace

Expr ExprRewriter::rewrite(const Expr& root) {
    memo_.clear();
    stack_.clear();
    if (Optional<Expr> done = enter(root)) {
        return done.value();
    }
    while (true) {
        Frame& top = stack_.back();
        if (top.results.size() < top.children.size()) {
            Expr child = top.children[top.results.size()];
            if (Optional<Expr> done = enter(child)) {  // may push a frame: `top` is stale after this
                stack_[stack_.size() - 1].results.push_back(done.value());
            }
            continue;
        }
        Expr result = rebuild(top);
        memo_.emplace(top.node.get(), result);
        stack_.pop_back();
        if (stack_.empty()) {
            return result;
        }
        stack_.back().results.push_back(std::move(result));
    }
}

Optional<Expr> ExprRewriter::enter(const Expr& expr) {
    if (!expr.defined()) {
        PyErr_SetString(PyExc_Exception, "warning unhandled case: <class 'NoneType'>");
        throw py::error_already_set();
    }
    auto known = memo_.find(expr.get());
    if (known != memo_.end()) {
        return known->second;
    }
    Optional<Expr> result;
    if (const auto* var = expr.as<VarNode>()) {
        result = rewrite_var(tvm::runtime::GetRef<Var>(var));
    } else if (is_leaf(expr)) {
        result = expr;
    } else if (const auto* call = expr.as<CallNode>()) {
        result = enter_call(tvm::runtime::GetRef<Call>(call));
    }
    if (result) {
        memo_.emplace(expr.get(), result.value());
        return result;
    }
    Frame frame{expr, children_of(expr), {}};
    frame.results.reserve(frame.children.size());
    stack_.push_back(std::move(frame));
    return tvm::NullOpt;
}

Expr ExprRewriter::rebuild(const Frame& frame) const {
    const std::vector<Expr>& results = frame.results;
    if (unchanged(results, frame.children)) {
        return frame.node;
    }
    const std::size_t count = results.size();
    if (const auto* call = frame.node.as<CallNode>()) {
        tvm::Array<Expr> args(results.begin() + 1, results.end());
        return Call(results[0], args, call->attrs, call->type_args, call->span);
    }
    if (frame.node->IsInstance<FunctionNode>()) {
        ICHECK(function_with_fields != nullptr) << "TVM lacks relay.ir.FunctionWithFields";
        const tvm::runtime::PackedFunc& with_fields = *function_with_fields;
        tvm::Array<Var> params = downcast_range<Var>(results, 0, count - 1);
        return with_fields(frame.node, params, results[count - 1], nullptr, nullptr, nullptr, nullptr, nullptr)
            .AsObjectRef<Function>();
    }
    if (frame.node->IsInstance<LetNode>()) {
        return Let(Downcast<Var>(results[0]), results[1], results[2]);
    }
    if (const auto* tuple = frame.node.as<TupleNode>()) {
        return Tuple(tvm::Array<Expr>(results.begin(), results.end()), tuple->span);
    }
    if (const auto* item = frame.node.as<TupleGetItemNode>()) {
        return TupleGetItem(results[0], item->index);
    }
    if (frame.node->IsInstance<IfNode>()) {
        return If(results[0], results[1], results[2]);
    }
    if (frame.node->IsInstance<RefCreateNode>()) {
        return RefCreate(results[0]);
    }
    if (frame.node->IsInstance<RefReadNode>()) {
        return RefRead(results[0]);
    }
    if (frame.node->IsInstance<RefWriteNode>()) {
        return RefWrite(results[0], results[1]);
    }
    const auto* match = frame.node.as<MatchNode>();
    ICHECK(match != nullptr) << "unexpected node " << frame.node->GetTypeKey();
    tvm::Array<Clause> clauses;
    for (std::size_t i = 0; i < match->clauses.size(); ++i) {
        clauses.push_back(Clause(match->clauses[i]->lhs, results[i + 1]));
    }
    return Match(results[0], clauses, match->complete);
}

}  // namespace vexa::meld
