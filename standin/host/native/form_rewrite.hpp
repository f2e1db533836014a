// Rewrites of one small form of a network at a time, with the results of
// TVM's pattern rewriter (`rewrite` with a DFPatternCallback) but in passes
// linear in the network and without type inference.
//
// The rewriter first groups the matches of its pattern, from the output of
// the network towards its inputs: a node already inside a group cannot be
// the root of another, and a match whose inner nodes (neither its root nor
// what its pattern takes as inputs) are used outside it forms no group.  It
// then rebuilds the network operands first, handing each group's root to the
// callback with the rebuilt ("post") nodes below it, and starts again until
// a pass changes nothing.  A `FormRule` gives the match and the callback;
// `rewrite_forms` does the rest the same way, for patterns whose inner nodes
// reach the root through one chain of operands (then a use outside the match
// always disqualifies it, as the rewriter's dominance test finds).
//
// The result is fully typed: rebuilt nodes keep their types, and a rule types
// the nodes it makes (its root takes the type of the root it replaces).
#pragma once

#include <tvm/ir/module.h>
#include <tvm/relay/expr.h>

#include <optional>
#include <string>
#include <vector>

#include "relay/node_tables.hpp"
#include "typed_call.hpp"

namespace vexa_host {

// The rebuilt form of the nodes below the root of a match.
class PostOf {
public:
    explicit PostOf(const vexa::NodeMap<tvm::RelayExpr>& changed) : changed_(changed) {}
    tvm::RelayExpr operator()(const tvm::RelayExpr& pre) const {
        const auto it = changed_.find(pre.get());
        return it != changed_.end() ? it->second : pre;
    }

private:
    const vexa::NodeMap<tvm::RelayExpr>& changed_;  // the nodes rebuilt or rewritten
};

using InnerNodes = std::vector<const tvm::relay::CallNode*>;

struct FormRule {
    std::string name;
    // Operators that every match calls: a function without them is skipped.
    std::vector<std::string> operators;
    // The inner nodes of the match rooted at `root`, or nullopt where the
    // pattern does not match.
    std::optional<InnerNodes> (*match)(const tvm::relay::CallNode* root);
    // The replacement of a match whose root is `pre` (rebuilt as `post`);
    // `post` itself where the rule leaves the match as it is.
    tvm::RelayExpr (*rewrite)(const tvm::relay::CallNode* pre, const tvm::relay::Call& post, const PostOf& post_of);
};

// The rule registered under `name`, or null.
const FormRule* form_rule(const std::string& name);

// `mod` with `rules` applied to each of its Relay functions, one rule after
// the other, each until it changes nothing more; `mod` itself when nothing
// changes, nullopt when a function is not typed.  Functions holding anything
// but calls, tuples, variables and constants (closures, let, if...) are left
// as they are.
std::optional<tvm::IRModule> rewrite_forms(const tvm::IRModule& mod, const std::vector<const FormRule*>& rules);

// Helpers of the rules.

// `expr` with `type` as its checked type.
tvm::RelayExpr with_type(tvm::RelayExpr expr, const tvm::Type& type);

// The call if `expr` calls operator `name` with `arity` arguments, else null.
const tvm::relay::CallNode* call_of(const tvm::RelayExpr& expr, const char* name, std::size_t arity);

// The one value of a constant with a single element (as Python's `item()`
// gives it, widened), or nullopt, also for anything but a constant.
std::optional<long double> scalar(const tvm::RelayExpr& expr);

// Whether a layout is a plain permutation of upper-case axes (no split axes).
bool plain_layout(const std::string& layout);

}  // namespace vexa_host
