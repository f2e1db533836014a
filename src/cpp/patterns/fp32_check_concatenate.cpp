// The concatenation check: no constant input, every consumer a composite
// call, and none of them leading to a grouped convolution.
#include <tvm/ir/op.h>
#include <tvm/relay/expr.h>

#include "patterns/fp32_check_bodies.hpp"
#include "relay/access.hpp"

namespace vexa::patterns {

namespace {

using relay::CallNode;

// Whether some input of the call is a Relay constant.
bool has_constant_input(const Fp32Context& context, const CheckValue& extract) {
    const CallNode* call = relay::as_call(extract.node());
    if (call != nullptr && context.classes().unchanged(CheckContext::kConstant)) {
        for (const tvm::RelayExpr& input : call->args) {
            if (input.as<tvm::relay::ConstantNode>() != nullptr) {
                return true;
            }
        }
        return false;
    }
    py::object constant = context.classes().globals()["Constant"];
    for (py::handle input : extract.python().attr("args")) {
        if (python_isinstance(input, constant)) {
            return true;
        }
    }
    return false;
}

// `consumer == extract`: for Relay expressions, the same node.
bool is_the_match(const CheckValue& consumer, const CheckValue& extract) {
    const tvm::Object* node = consumer.node();
    if (node != nullptr && extract.node() != nullptr && node->IsInstance<tvm::RelayExprNode>() &&
        extract.node()->IsInstance<tvm::RelayExprNode>()) {
        return node == extract.node();
    }
    auto equal =
        py::reinterpret_steal<py::object>(PyObject_RichCompare(consumer.python().ptr(), extract.python().ptr(), Py_EQ));
    if (!equal) {
        throw py::error_already_set();
    }
    return truth(equal);
}

// isinstance(consumer.op, Op): the consumer calls a primitive operator.
bool calls_operator(const Fp32Context& context, const CheckValue& consumer) {
    const CallNode* call = relay::as_call(consumer.node());
    if (call != nullptr && context.classes().unchanged(CheckContext::kOp)) {
        return call->op.as<tvm::OpNode>() != nullptr;
    }
    return python_isinstance(consumer.python().attr("op"), context.classes().globals()["Op"]);
}

// convs[0].attrs.get_int("groups") > 1
bool grouped(const py::handle& conv) {
    const CheckValue call = CheckValue::of(conv);
    if (const CallNode* node = relay::as_call(call.node())) {
        if (auto groups = relay::int_attribute(node->attrs, "groups")) {
            return *groups > 1;
        }
    }
    return python_gt(conv.attr("attrs").attr("get_int")("groups"), py::int_(1));
}

// Whether the convolutions found from one consumer forbid the concatenation.
bool leads_to_grouped_conv(const Fp32Context& context, const py::handle& consumer) {
    static const py::str* conv2d = new py::str(interned("nn.conv2d"));
    py::object convs = context.global(context.find_call_name)(consumer, *conv2d);
    if (assertions_enabled()) {
        python_assert(python_len(convs) <= 1);
    }
    if (python_len(convs) == 0) {
        return false;
    }
    return grouped(python_item(convs, 0));
}

}  // namespace

py::object check_fp32_concatenate(const Fp32Context& context, py::handle argument) {
    const CheckValue extract = CheckValue::of(argument);
    if (has_constant_input(context, extract)) {
        return py::bool_(false);
    }
    py::object consumers = context.global(context.consumers_name)(extract.python());
    for (py::handle item : consumers) {
        const CheckValue consumer = CheckValue::of(item);
        if (is_the_match(consumer, extract) || calls_operator(context, consumer)) {
            return py::bool_(false);
        }
    }
    for (py::handle item : consumers) {
        if (leads_to_grouped_conv(context, item)) {
            return py::bool_(false);
        }
    }
    return context.check_fp32(extract);
}

}  // namespace vexa::patterns
