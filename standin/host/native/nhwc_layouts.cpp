#include "nhwc_layouts.hpp"

#include <tvm/ir/op.h>
#include <tvm/relay/attrs/image.h>
#include <tvm/relay/attrs/nn.h>
#include <tvm/relay/attrs/reduce.h>
#include <tvm/relay/attrs/transform.h>
#include <tvm/relay/expr_functor.h>
#include <tvm/relay/qnn/attrs.h>

#include <algorithm>
#include <optional>
#include <set>
#include <type_traits>

#include "node_cast.hpp"
#include "relay/graph_walk.hpp"
#include "relay/node_tables.hpp"
#include "typed_call.hpp"

namespace vexa_host {
namespace {

using namespace tvm::relay;
using namespace tvm::relay::qnn;

struct Unsure {};

// The fixed extent of axis `axis_name` of `expr`'s type under `layout`, or -1.
int64_t extent(const tvm::RelayExpr& expr, const std::string& layout, char axis_name) {
    const auto* type = expr->checked_type_.as<tvm::TensorTypeNode>();
    const std::size_t axis = layout.find(axis_name);
    if (type == nullptr || axis == std::string::npos || type->shape.size() != layout.size()) {
        return -1;
    }
    const auto* value = type->shape[axis].as<tvm::IntImmNode>();
    return value != nullptr ? value->value : -1;
}

// The kernel layout the conversion hooks of nn.conv2d and qnn.conv2d give a
// convolution for "default": HWOI for a depthwise NHWC convolution (as many
// input and output channels as groups), HWIO for any other NHWC one, OIHW
// for NCHW; empty when unknown.
std::string default_kernel_layout(const CallNode* call, const Conv2DAttrs* attrs, const std::string& data_layout) {
    if (data_layout == "NCHW") {
        return "OIHW";
    }
    if (data_layout != "NHWC") {
        return "";
    }
    const int64_t in_channels = extent(call->args[0], attrs->data_layout, 'C');
    const int64_t out_channels = extent(call->args[1], attrs->kernel_layout, 'O');
    if (in_channels < 0 || out_channels < 0) {
        return "";
    }
    return in_channels == out_channels && out_channels == attrs->groups ? "HWOI" : "HWIO";
}

bool convolution_converted(const CallNode* call, const std::vector<std::string>& desired) {
    const auto* attrs = call->attrs.as<Conv2DAttrs>();
    if (attrs == nullptr || desired.size() != 2 || call->args.size() < 2 || attrs->data_layout != desired[0]) {
        return false;
    }
    const std::string kernel = desired[1] == "default" ? default_kernel_layout(call, attrs, desired[0]) : desired[1];
    return !kernel.empty() && attrs->kernel_layout == kernel;
}

// The pool hooks write the layout as both the input and the output layout;
// a pool without an output layout (as the importers write them) gets it.
template <typename Attrs>
bool pool_converted(const CallNode* call, const std::vector<std::string>& desired) {
    const auto* attrs = call->attrs.as<Attrs>();
    return attrs != nullptr && desired.size() == 1 && attrs->layout == desired[0] &&
           (attrs->out_layout == desired[0] || attrs->out_layout.empty());
}

// `post` (the rewritten `pre`) with other attributes, typed as `pre`.
tvm::RelayExpr with_attrs(const CallNode* pre, const tvm::RelayExpr& post, const tvm::Attrs& attrs) {
    return typed_call(pre->op, post.as<CallNode>()->args, attrs, pre->checked_type_);
}

template <typename Attrs>
tvm::RelayExpr with_out_layout(const CallNode* pre, const tvm::RelayExpr& post) {
    const auto* attrs = pre->attrs.as<Attrs>();
    if (!attrs->out_layout.empty()) {
        return post;
    }
    auto completed = tvm::runtime::make_object<Attrs>(*attrs);
    completed->out_layout = attrs->layout;
    return with_attrs(pre, post, tvm::Attrs(completed));
}

// Calls `visit` with a null pointer to the attribute type of pool `op`;
// false when `op` is no pool.
template <typename Visit>
bool with_pool_attrs(const std::string& op, Visit&& visit) {
    if (op == "nn.max_pool2d") {
        visit(static_cast<const MaxPool2DAttrs*>(nullptr));
    } else if (op == "nn.avg_pool2d" || op == "qnn.avg_pool2d") {
        visit(static_cast<const AvgPool2DAttrs*>(nullptr));
    } else if (op == "nn.global_max_pool2d" || op == "nn.global_avg_pool2d") {
        visit(static_cast<const GlobalPool2DAttrs*>(nullptr));
    } else {
        return false;
    }
    return true;
}

template <typename Pointer>
using Pointee = std::remove_const_t<std::remove_pointer_t<Pointer>>;

// `post` as the pass leaves a converted call: pools with their output layout.
tvm::RelayExpr completed(const CallNode* pre, const std::string& op, const tvm::RelayExpr& post) {
    tvm::RelayExpr result = post;
    with_pool_attrs(op, [&](auto attrs) { result = with_out_layout<Pointee<decltype(attrs)>>(pre, post); });
    return result;
}

bool resize_converted(const CallNode* call, const std::vector<std::string>& desired) {
    const auto* attrs = call->attrs.as<Resize2DAttrs>();
    return attrs != nullptr && desired.size() == 1 && attrs->layout == desired[0];
}

// Operators whose layout follows broadcasting: once any operand has a layout,
// the conversion expands an operand of lower rank (a channel bias, say) to
// the full rank, whatever the layouts.  The qnn ones broadcast their first
// two arguments only (the rest are quantization parameters).
const std::set<std::string> broadcasting = {
    "add",        "subtract",      "multiply",    "divide",     "floor_divide", "trunc_divide",
    "power",      "mod",           "floor_mod",   "trunc_mod",  "maximum",      "minimum",
    "left_shift", "right_shift",   "bitwise_and", "bitwise_or", "bitwise_xor",  "logical_and",
    "logical_or", "logical_xor",   "equal",       "not_equal",  "less",         "less_equal",
    "greater",    "greater_equal", "where",       "qnn.add",    "qnn.mul",      "qnn.subtract",
};

// Element-wise operators through which a known layout passes unchanged.
const std::set<std::string> keeping = {"clip", "cast", "nn.relu", "nn.pad", "sigmoid", "tanh", "exp"};

// Operators after which the pass no longer knows a layout, and which it
// leaves as they are: quantize and dequantize among them, so that nothing
// after them (a bias, a reduction, a requantize) has its layout for the
// pass.
const std::set<std::string> ending = {"reshape",     "nn.batch_flatten", "nn.softmax",
                                      "expand_dims", "qnn.quantize",     "qnn.dequantize"};

// Reductions: the pass writes their axes counted from the front, and knows
// the layout of their result.
const std::set<std::string> reducing = {"mean", "sum", "max", "min", "prod"};

// The rank of a tensor type; Unsure for any other type.
int rank_of(const tvm::Type& type) {
    const auto* tensor = type.as<tvm::TensorTypeNode>();
    if (tensor == nullptr) {
        throw Unsure{};
    }
    return static_cast<int>(tensor->shape.size());
}

// `axes` counted from the front of a tensor of rank `rank`.
tvm::Array<tvm::Integer> from_front(const tvm::Array<tvm::Integer>& axes, int rank) {
    tvm::Array<tvm::Integer> counted;
    for (const auto& axis : axes) {
        counted.push_back(axis->value < 0 ? axis->value + rank : axis->value);
    }
    return counted;
}

bool any_negative(const tvm::Array<tvm::Integer>& axes) {
    return std::any_of(axes.begin(), axes.end(), [](const tvm::Integer& axis) { return axis->value < 0; });
}

// Whether a tensor type holds one element, which the conversion broadcasts
// as it is, whatever its rank.
bool single_element(const tvm::TensorTypeNode* type) {
    for (const auto& extent : type->shape) {
        const auto* value = extent.as<tvm::IntImmNode>();
        if (value == nullptr || value->value != 1) {
            return false;
        }
    }
    return true;
}

// Whether the broadcast operands of `call` of more than one element all have
// one rank.
bool ranks_agree(const CallNode* call, const std::string& op) {
    const std::size_t operands = op.rfind("qnn.", 0) == 0 ? 2 : call->args.size();
    int rank = -1;
    for (std::size_t i = 0; i < operands && i < call->args.size(); ++i) {
        const auto* type = call->args[i]->checked_type_.as<tvm::TensorTypeNode>();
        if (type == nullptr) {
            return false;
        }
        if (single_element(type)) {
            continue;
        }
        const int operand_rank = static_cast<int>(type->shape.size());
        if (rank >= 0 && rank != operand_rank) {
            return false;
        }
        rank = operand_rank;
    }
    return true;
}

bool converted(const CallNode* call, const std::string& op, const std::vector<std::string>& desired) {
    if (op == "nn.conv2d" || op == "qnn.conv2d") {
        return convolution_converted(call, desired);
    }
    bool pool = false;
    if (with_pool_attrs(op, [&](auto attrs) { pool = pool_converted<Pointee<decltype(attrs)>>(call, desired); })) {
        return pool;
    }
    if (op == "image.resize2d") {
        return resize_converted(call, desired);
    }
    return false;  // a conversion this check does not know
}

// What ConvertLayout does to a network whose converted operators already
// have their layouts.  Their outputs (and a dense layer's) have a known
// layout, which travels down through the operators that keep it until one
// that ends it; on that way the pass expands an operand of lower rank of a
// broadcasting call (a channel bias) to the full rank with leading unit
// axes, writes negative axes as the axes they name, and gives a pool its
// output layout.  An operator outside those lists reached by a known layout
// is left to the pass (`Unsure`), as is any call it converts that does not
// have its layouts yet.
class LayoutNormalization : public ExprRewriter {
public:
    explicit LayoutNormalization(const DesiredLayouts& desired) : desired_(desired) {}

    using ExprRewriter::Rewrite_;

    tvm::RelayExpr Rewrite_(const CallNode* pre, const tvm::RelayExpr& post) final {
        const auto* op = pre->op.as<tvm::OpNode>();
        if (op == nullptr) {
            throw Unsure{};
        }
        const std::string name = op->name;
        const auto found = desired_.find(name);
        if (found != desired_.end()) {
            if (!converted(pre, name, found->second)) {
                throw Unsure{};
            }
            known_.insert(pre);
            return completed(pre, name, post);
        }
        if (name == "nn.dense" || name == "qnn.dense") {
            known_.insert(pre);  // "NC", whatever the layout of its data
            return post;
        }
        std::vector<int> known_args;
        for (std::size_t i = 0; i < pre->args.size(); ++i) {
            if (known_.count(pre->args[i].get()) != 0) {
                known_args.push_back(static_cast<int>(i));
            }
        }
        const bool broadcasts = broadcasting.count(name) != 0;
        if (ending.count(name) != 0 && known_args.size() <= 1 && (known_args.empty() || known_args[0] == 0)) {
            without_layout_.insert(pre);
            return post;
        }
        if (known_args.empty()) {
            // On operands without a layout for the pass, a call has none
            // either, and the pass leaves it; other operands may have one
            // that this step does not follow.
            const bool unlaid = (keeping.count(name) != 0 || broadcasts) &&
                                std::all_of(pre->args.begin(), pre->args.end(), [this](const tvm::RelayExpr& arg) {
                                    return without_layout_.count(arg.get()) != 0;
                                });
            if (unlaid) {
                without_layout_.insert(pre);
            } else if (broadcasts && !ranks_agree(pre, name)) {
                throw Unsure{};
            }
            return post;
        }
        known_.insert(pre);
        if (broadcasts) {
            if (ranks_agree(pre, name)) {
                return post;
            }
            // The qnn ones broadcast their first two arguments, as the others
            // their two.
            const bool two_operands = name.rfind("qnn.", 0) == 0 || pre->args.size() == 2;
            if (!two_operands || known_args.size() != 1 || known_args[0] > 1) {
                throw Unsure{};
            }
            return expanded(pre, post.as<CallNode>(), 1 - known_args[0]);
        }
        if (known_args != std::vector<int>{0}) {
            throw Unsure{};
        }
        if (name == "qnn.requantize") {
            return with_axis(pre, post);
        }
        if (keeping.count(name) != 0) {
            return post;
        }
        if (name == "strided_slice") {
            // Slices given for every axis stay as they are; slices of named
            // axes, the pass may rewrite.
            const auto* attrs = pre->attrs.as<StridedSliceAttrs>();
            if (attrs == nullptr || attrs->axes.defined()) {
                throw Unsure{};
            }
            return post;
        }
        if (reducing.count(name) != 0) {
            return reduced_from_front(pre, post);
        }
        if (name == "squeeze") {
            return squeezed_from_front(pre, post);
        }
        if (name == "concatenate" || name == "qnn.concatenate") {
            return concatenated_from_front(pre, post);
        }
        throw Unsure{};
    }

    tvm::RelayExpr Rewrite_(const ConstantNode* pre, const tvm::RelayExpr& post) final {
        without_layout_.insert(pre);
        return post;
    }

    tvm::RelayExpr Rewrite_(const VarNode* pre, const tvm::RelayExpr& post) final {
        without_layout_.insert(pre);
        return post;
    }

    // A tuple, or an item of one, has a known layout when a field has.
    tvm::RelayExpr Rewrite_(const TupleNode* pre, const tvm::RelayExpr& post) final {
        for (const auto& field : pre->fields) {
            if (known_.count(field.get()) != 0) {
                known_.insert(pre);
            }
        }
        return post;
    }

    tvm::RelayExpr Rewrite_(const TupleGetItemNode* pre, const tvm::RelayExpr& post) final {
        if (known_.count(pre->tuple.get()) != 0) {
            known_.insert(pre);
        }
        return post;
    }

    tvm::RelayExpr Rewrite_(const LetNode*, const tvm::RelayExpr&) final { throw Unsure{}; }

    tvm::RelayExpr Rewrite_(const IfNode*, const tvm::RelayExpr&) final { throw Unsure{}; }

private:
    static tvm::RelayExpr reduced_from_front(const CallNode* pre, const tvm::RelayExpr& post) {
        const auto* attrs = pre->attrs.as<ReduceAttrs>();
        if (attrs == nullptr) {
            throw Unsure{};
        }
        if (!attrs->axis.defined() || !any_negative(attrs->axis)) {
            return post;
        }
        auto counted = tvm::runtime::make_object<ReduceAttrs>(*attrs);
        counted->axis = from_front(attrs->axis, rank_of(pre->args[0]->checked_type_));
        return with_attrs(pre, post, tvm::Attrs(counted));
    }

    // Without axes a squeeze removes every unit axis; the pass names them.
    static tvm::RelayExpr squeezed_from_front(const CallNode* pre, const tvm::RelayExpr& post) {
        const auto* attrs = pre->attrs.as<SqueezeAttrs>();
        const auto* type = pre->args[0]->checked_type_.as<tvm::TensorTypeNode>();
        if (attrs == nullptr || type == nullptr) {
            throw Unsure{};
        }
        tvm::Array<tvm::Integer> axes;
        if (attrs->axis.defined()) {
            if (!any_negative(attrs->axis)) {
                return post;
            }
            axes = from_front(attrs->axis, rank_of(pre->args[0]->checked_type_));
        } else {
            for (std::size_t axis = 0; axis < type->shape.size(); ++axis) {
                const auto* extent = type->shape[axis].as<tvm::IntImmNode>();
                if (extent == nullptr) {
                    throw Unsure{};
                }
                if (extent->value == 1) {
                    axes.push_back(tvm::Integer(static_cast<int>(axis)));
                }
            }
        }
        auto counted = tvm::runtime::make_object<SqueezeAttrs>(*attrs);
        counted->axis = axes;
        return with_attrs(pre, post, tvm::Attrs(counted));
    }

    static tvm::RelayExpr concatenated_from_front(const CallNode* pre, const tvm::RelayExpr& post) {
        const auto* attrs = pre->attrs.as<ConcatenateAttrs>();
        if (attrs == nullptr) {
            throw Unsure{};
        }
        if (attrs->axis >= 0) {
            return post;
        }
        auto counted = tvm::runtime::make_object<ConcatenateAttrs>(*attrs);
        counted->axis = attrs->axis + rank_of(pre->checked_type_);
        return with_attrs(pre, post, tvm::Attrs(counted));
    }

    // `call` with its operand `side` expanded to the rank of the other.
    static tvm::RelayExpr expanded(const CallNode* pre, const CallNode* post, int side) {
        static const tvm::Op& expand_dims = tvm::Op::Get("expand_dims");
        const auto* full = pre->args[1 - side]->checked_type_.as<tvm::TensorTypeNode>();
        const auto* narrow = pre->args[side]->checked_type_.as<tvm::TensorTypeNode>();
        const int missing = static_cast<int>(full->shape.size()) - static_cast<int>(narrow->shape.size());
        if (narrow->shape.empty() || missing <= 0) {
            throw Unsure{};
        }
        auto attrs = tvm::runtime::make_object<ExpandDimsAttrs>();
        attrs->axis = 0;
        attrs->num_newaxis = missing;
        tvm::Array<tvm::PrimExpr> shape(static_cast<std::size_t>(missing), tvm::IntImm(tvm::DataType::Int(32), 1));
        for (const auto& extent : narrow->shape) {
            shape.push_back(extent);
        }
        tvm::Array<tvm::RelayExpr> args = post->args;
        args.Set(side, typed_call(expand_dims, {args[side]}, tvm::Attrs(attrs), tvm::TensorType(shape, narrow->dtype)));
        return typed_call(pre->op, args, pre->attrs, pre->checked_type_);
    }

    // `post` with its negative axis counted from the front of its data.
    static tvm::RelayExpr with_axis(const CallNode* pre, const tvm::RelayExpr& post) {
        const auto* attrs = pre->attrs.as<RequantizeAttrs>();
        if (attrs == nullptr) {
            throw Unsure{};
        }
        if (attrs->axis >= 0) {
            return post;
        }
        auto normalized = tvm::runtime::make_object<RequantizeAttrs>(*attrs);
        normalized->axis = attrs->axis + rank_of(pre->args[0]->checked_type_);
        return with_attrs(pre, post, tvm::Attrs(normalized));
    }

    const DesiredLayouts& desired_;
    vexa::NodeSet known_;           // nodes whose layout the pass knows
    vexa::NodeSet without_layout_;  // nodes that have none for the pass
};

}  // namespace

std::optional<Function> layouts_normalized(const Function& function, const DesiredLayouts& desired) {
    LayoutNormalization rewriter(desired);
    try {
        return tvm::runtime::Downcast<Function>(PostOrderRewrite(function, &rewriter));
    } catch (const Unsure&) {
        return std::nullopt;
    }
}

}  // namespace vexa_host
