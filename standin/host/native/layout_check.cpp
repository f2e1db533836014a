#include "layout_check.hpp"

#include <tvm/ir/op.h>
#include <tvm/relay/attrs/image.h>
#include <tvm/relay/attrs/nn.h>

#include <set>

#include "node_cast.hpp"
#include "relay/graph_walk.hpp"

namespace vexa_host {
namespace {

using namespace tvm::relay;

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

// The pool hooks write the layout as both the input and the output layout.
template <typename Attrs>
bool pool_converted(const CallNode* call, const std::vector<std::string>& desired) {
    const auto* attrs = call->attrs.as<Attrs>();
    return attrs != nullptr && desired.size() == 1 && attrs->layout == desired[0] && attrs->out_layout == desired[0];
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

// Whether the broadcast operands of `call` that are not scalars all have one rank.
bool ranks_agree(const CallNode* call, const std::string& op) {
    const std::size_t operands = op.rfind("qnn.", 0) == 0 ? 2 : call->args.size();
    int rank = -1;
    for (std::size_t i = 0; i < operands && i < call->args.size(); ++i) {
        const auto* type = call->args[i]->checked_type_.as<tvm::TensorTypeNode>();
        if (type == nullptr) {
            return false;
        }
        const int operand_rank = static_cast<int>(type->shape.size());
        if (operand_rank == 0) {
            continue;
        }
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
    if (op == "nn.max_pool2d") {
        return pool_converted<MaxPool2DAttrs>(call, desired);
    }
    if (op == "nn.avg_pool2d" || op == "qnn.avg_pool2d") {
        return pool_converted<AvgPool2DAttrs>(call, desired);
    }
    if (op == "nn.global_max_pool2d" || op == "nn.global_avg_pool2d") {
        return pool_converted<GlobalPool2DAttrs>(call, desired);
    }
    if (op == "image.resize2d") {
        return resize_converted(call, desired);
    }
    return false;  // a conversion this check does not know
}

}  // namespace

bool layouts_already(const Function& function, const DesiredLayouts& desired) {
    bool all = true;
    vexa::relay::post_order_walk(
        function.get(), [](const FunctionNode*) { return true; },
        [&](const tvm::Object* node) {
            const auto* call = as<CallNode>(node);
            const auto* op = call != nullptr ? as<tvm::OpNode>(call->op.get()) : nullptr;
            if (all && op != nullptr) {
                const std::string name = op->name;
                const auto found = desired.find(name);
                if (found != desired.end()) {
                    all = converted(call, name, found->second);
                } else if (broadcasting.count(name) != 0) {
                    all = ranks_agree(call, name);
                }
            }
        });
    return all;
}

}  // namespace vexa_host
