// A rewriter of Relay expressions that visits and rebuilds nodes in the order
// and by the rules of TVM's Python ExprMutator, without recursion.
//
// Order: a node is entered (memo lookup first) before its children; children
// are visited in the order function parameters then body, callee then
// arguments, let variable / value / body, if condition / then / else, tuple
// fields, match data then clause bodies.  Every node is rewritten once: its
// result is memoised by node identity, so a node shared by several consumers
// gets one result.  A node whose children all come back unchanged is kept;
// otherwise it is rebuilt the way the Python mutator rebuilds it (spans kept
// only for calls and tuples).
#pragma once

#include <tvm/relay/expr.h>

#include <unordered_map>
#include <vector>

namespace vexa::meld {

class ExprRewriter {
public:
    virtual ~ExprRewriter() = default;

    tvm::relay::Expr rewrite(const tvm::relay::Expr& root);

protected:
    // Result for a variable.  Default: the variable itself.
    virtual tvm::relay::Expr rewrite_var(const tvm::relay::Var& var) { return var; }

    // Asked when a call is entered, before its callee and arguments are
    // visited.  A defined result replaces the call, whose operands are then
    // not visited.  Default: none.
    virtual tvm::Optional<tvm::relay::Expr> enter_call(const tvm::relay::Call&) { return tvm::NullOpt; }

private:
    struct Frame {
        tvm::relay::Expr node;
        std::vector<tvm::relay::Expr> children;
        std::vector<tvm::relay::Expr> results;
    };

    // The result of `expr` when it is known without visiting children;
    // otherwise pushes a frame for it and returns none.
    tvm::Optional<tvm::relay::Expr> enter(const tvm::relay::Expr& expr);
    tvm::relay::Expr rebuild(const Frame& frame) const;

    std::unordered_map<const tvm::runtime::Object*, tvm::relay::Expr> memo_;
    std::vector<Frame> stack_;
};

}  // namespace vexa::meld
