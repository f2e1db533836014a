// Check of the quantized addition entry: only the addition of two computed
// four-dimensional tensors of identical shape runs on the accelerator.
#include <optional>

#include "patterns/blocks_checks.hpp"
#include "relay/bridge.hpp"

namespace vexa::patterns {

namespace {

// The verdict read through TVM's C++ objects; empty when a read would not
// give what the Python-level reads give (no second argument, untyped or
// non-tensor operands, symbolic dimensions), so that the Python-level steps
// decide and raise their own errors.
std::optional<bool> native_add_verdict(const tvm::relay::CallNode* call) {
    if (call == nullptr || call->args.size() < 2) {
        return std::nullopt;
    }
    const tvm::RelayExprNode* left = relay::arg(call, 0);
    const tvm::RelayExprNode* right = relay::arg(call, 1);
    if (left->IsInstance<tvm::relay::ConstantNode>() || right->IsInstance<tvm::relay::ConstantNode>()) {
        return false;
    }
    const auto left_shape = relay::static_shape(relay::checked_tensor_type(left));
    const auto right_shape = relay::static_shape(relay::checked_tensor_type(right));
    if (!left_shape || !right_shape) {
        return std::nullopt;
    }
    return *left_shape == *right_shape && left_shape->size() == 4;
}

}  // namespace

py::object AddCheck::python_check_add_call(py::handle expr) const {
    py::object args = expr.attr("args");
    py::object constant = context_.globals()["Constant"];
    if (python_isinstance(args[py::int_(0)], constant)) {
        return py::bool_(false);
    }
    if (python_isinstance(args[py::int_(1)], constant)) {
        return py::bool_(false);
    }
    py::object left_type = args[py::int_(0)].attr("checked_type");
    py::object right_type = args[py::int_(1)].attr("checked_type");
    py::list left_dims(left_type.attr("shape"));
    py::list right_dims(right_type.attr("shape"));
    if (left_dims.not_equal(right_dims)) {
        return py::bool_(false);
    }
    if (py::len(left_type.attr("shape")) != 4 || py::len(right_type.attr("shape")) != 4) {
        return py::bool_(false);
    }
    return py::bool_(true);
}

py::object AddCheck::check_add_call(py::handle expr) const {
    if (context_.unchanged(CheckContext::kConstant)) {
        const tvm::runtime::ObjectRef node = object_of(expr);
        if (const auto verdict = native_add_verdict(relay::as_call(node))) {
            return py::bool_(*verdict);
        }
    }
    return python_check_add_call(expr);
}

py::object AddCheck::check_match(py::handle extract) const {
    py::object check = context_.globals()[add_call_check_name_];
    const bool own_check = check.is(own_add_call_check_);
    const tvm::runtime::ObjectRef root = object_of(extract);
    if (const tvm::relay::CallNode* add = native_walk_to_operator(root.get(), "qnn.add")) {
        if (own_check && context_.unchanged(CheckContext::kConstant)) {
            if (const auto verdict = native_add_verdict(add)) {
                return py::bool_(*verdict);
            }
        }
        py::object add_call = to_python(tvm::GetRef<tvm::relay::Call>(add));
        return own_check ? python_check_add_call(add_call) : check(add_call);
    }
    py::object add_call = walk_to_operator(py::reinterpret_borrow<py::object>(extract), qnn_add_);
    return own_check ? check_add_call(add_call) : check(add_call);
}

}  // namespace vexa::patterns
