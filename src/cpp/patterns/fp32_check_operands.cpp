// Checks that judge a call by its operands: the bias add and the ReLU, which
// must follow a composite call, and the residual add of two equal tensors.
#include <tvm/relay/expr.h>

#include "patterns/fp32_check_bodies.hpp"
#include "relay/access.hpp"

namespace vexa::patterns {

namespace {

using relay::CallNode;

py::object rejected() { return py::bool_(false); }

// The shape of the inferred type of `value`, read through Python.
py::object python_shape(const py::handle& value) { return value.attr("checked_type").attr("shape"); }

py::object python_arg(const CheckValue& call, py::ssize_t index) {
    return python_item(call.python().attr("args"), index);
}

bool is_constant_node(const tvm::RelayExpr& expr) { return expr.as<tvm::relay::ConstantNode>() != nullptr; }

}  // namespace

py::object check_fp32_bias_add(const Fp32Context& context, py::handle argument) {
    const CheckValue extract = CheckValue::of(argument);
    // Whether the data is NHWC with as many channels as the bias vector has
    // entries; unknown until both shapes have been read.
    std::optional<bool> shapes_fit;
    const CallNode* call = relay::as_call(extract.node());
    if (call != nullptr && call->args.size() >= 2) {
        const tvm::TensorTypeNode* bias = tensor_type(call->args[1].get());
        const tvm::TensorTypeNode* data = tensor_type(call->args[0].get());
        if (bias != nullptr && data != nullptr) {
            if (data->shape.size() != 4 || bias->shape.size() != 1) {
                shapes_fit = false;
            } else if (auto channels = fixed_dim(data, 3), length = fixed_dim(bias, 0); channels && length) {
                shapes_fit = *channels == *length;
            }
        }
    }
    CheckValue data;
    if (shapes_fit) {
        if (!*shapes_fit) {
            return rejected();
        }
        data = CheckValue::of_node(call->args[0]);
    } else {
        py::object bias_shape = python_shape(python_arg(extract, 1));
        py::object data_shape = python_shape(python_arg(extract, 0));
        if (python_len(data_shape) != 4 || python_len(bias_shape) != 1 ||
            python_ne(python_item(data_shape, 3), python_item(bias_shape, 0))) {
            return rejected();
        }
        data = CheckValue::of(python_arg(extract, 0));
    }
    if (!truth(context.is_captured(data))) {
        return rejected();
    }
    return context.check_fp32(extract);
}

py::object check_fp32_relu(const Fp32Context& context, py::handle argument) {
    const CheckValue extract = CheckValue::of(argument);
    if (!truth(context.check_fp32(extract))) {
        return rejected();
    }
    const CallNode* call = relay::as_call(extract.node());
    if (call != nullptr && !call->args.empty()) {
        return context.is_captured(CheckValue::of_node(call->args[0]));
    }
    return context.is_captured(CheckValue::of(python_arg(extract, 0)));
}

py::object check_fp32_res_add(const Fp32Context& context, py::handle argument) {
    const CheckValue expr = CheckValue::of(argument);
    const CallNode* call = relay::as_call(expr.node());
    if (call != nullptr && call->args.size() >= 2 && context.classes().unchanged(CheckContext::kConstant)) {
        if (is_constant_node(call->args[0]) || is_constant_node(call->args[1])) {
            return rejected();
        }
        const tvm::TensorTypeNode* left = tensor_type(call->args[0].get());
        const tvm::TensorTypeNode* right = tensor_type(call->args[1].get());
        if (left != nullptr && right != nullptr) {
            if (left->shape.size() != right->shape.size()) {
                return rejected();
            }
            if (all_dims_fixed(left) && all_dims_fixed(right)) {
                for (std::size_t i = 0; i < left->shape.size(); ++i) {
                    if (*fixed_dim(left, i) != *fixed_dim(right, i)) {
                        return rejected();
                    }
                }
                if (left->shape.size() != 4) {
                    return rejected();
                }
                return context.check_fp32(expr);
            }
        }
    }
    py::object constant = context.classes().globals()["Constant"];
    py::object args = expr.python().attr("args");
    if (python_isinstance(python_item(args, 0), constant) || python_isinstance(python_item(args, 1), constant)) {
        return rejected();
    }
    py::object left = python_item(args, 0).attr("checked_type");
    py::object right = python_item(args, 1).attr("checked_type");
    if (python_ne(py::list(left.attr("shape")), py::list(right.attr("shape")))) {
        return rejected();
    }
    if (python_len(left.attr("shape")) != 4 || python_len(right.attr("shape")) != 4) {
        return rejected();
    }
    return context.check_fp32(expr);
}

}  // namespace vexa::patterns
