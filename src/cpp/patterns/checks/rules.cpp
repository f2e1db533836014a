#include "patterns/checks/rules.hpp"

#include "patterns/checks/python.hpp"
#include "patterns/checks/reasons.hpp"

namespace vexa::patterns::checks {

namespace {

std::string joined(const std::vector<const char*>& choices, const char* separator) {
    std::string text;
    for (std::size_t i = 0; i < choices.size(); ++i) {
        text += (i > 0 ? separator : "") + std::string(choices[i]);
    }
    return text;
}

std::string text_of(py::handle value) { return py::str(value).cast<std::string>(); }

// Element 0 of a sized, indexable collection (a list, a TVM array, any
// sequence).
py::object first_of(const py::object& collection) {
    if (PyList_CheckExact(collection.ptr())) {
        return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(collection.ptr(), 0));
    }
    return python::item(collection, 0);
}

}  // namespace

Value walk_to_anchor(const Value& extract, const char* op) {
    Value current = extract;
    py::object name;  // made on the first step read through Python
    for (;;) {
        const relay::CallNode* call = current.call();
        if (const tvm::runtime::String* callee = relay::op_name(call)) {
            if (*callee == op) {
                return current;
            }
            if (!call->args.empty() && call->args[0].defined()) {
                current = Value::of_node(call->args[0]);
                continue;
            }
        }
        if (!name) {
            name = py::str(op);
        }
        if (!python::compare(current.python().attr("op").attr("name"), name, Py_NE)) {
            return current;
        }
        current = Value::of(python::item(current.python().attr("args"), 0));
    }
}

bool operands_fit(const Context& context, const Value& call) {
    const Value left = arg(call, 0);
    if (context.is_instance(left, ClassName::kConstant)) {
        return refuse(call, [] { return "first operand is a constant"; });
    }
    const Value right = arg(call, 1);
    if (context.is_instance(right, ClassName::kConstant)) {
        return refuse(call, [] { return "second operand is a constant"; });
    }
    const Shape left_shape(left);
    const Shape right_shape(right);
    if (!left_shape.equals(right_shape)) {
        return refuse(call,
                      [&] { return "operand shapes " + left_shape.text() + " and " + right_shape.text() + " differ"; });
    }
    if (left_shape.rank() != 4 || right_shape.rank() != 4) {
        return refuse(call, [&] { return "operands are not 4-dimensional (shape " + left_shape.text() + ")"; });
    }
    return true;
}

bool resize_fits(const Context& context, const Value& call, const ResizeLimits& limits) {
    Value attributes;
    if (limits.attributes_first) {
        attributes = attrs(call);
    }
    const Value data = arg(call, 0);
    if (!limits.attributes_first) {
        attributes = attrs(call);
    }
    if (context.is_instance(data, ClassName::kConstant)) {
        return refuse(call, [] { return "input is a constant"; });
    }
    if (!limits.dtypes.empty()) {
        const Text data_type = dtype(data);
        if (!data_type.in(limits.dtypes)) {
            return refuse(
                call, [&] { return "input dtype " + data_type.text() + " is not " + joined(limits.dtypes, " or "); });
        }
    }
    const Text method = str_attr(attributes, "method");
    if (!method.in(limits.methods)) {
        return refuse(call, [&] { return "method '" + method.text() + "' is not supported"; });
    }
    const Text rounding = str_attr(attributes, "rounding_method");
    if (!rounding.in(limits.roundings)) {
        return refuse(call, [&] { return "rounding method '" + rounding.text() + "' is not supported"; });
    }
    return true;
}

bool no_grouped_conv_behind(const Context& context, const Value& match, const py::object& consumers,
                            const char* conv_op) {
    py::object find_call = context.global("find_call_of_type");
    const py::str op(conv_op);
    for (py::handle consumer : consumers) {
        py::object convs = find_call(consumer, op);
        const Py_ssize_t count = python::len(convs);
        python::assert_that([count] { return count <= 1; });
        if (count == 0) {
            continue;
        }
        const Number groups = int_attr(attrs(Value::of(first_of(convs))), "groups");
        if (greater(groups, Number::fixed(1))) {
            return refuse(match,
                          [&] { return "a consumer leads to a grouped convolution (groups " + groups.text() + ")"; });
        }
    }
    return true;
}

py::object channel_width(const Context& context) {
    py::object query = context.global("hwinquire_parameter");
    py::object arch = context.global("get_current_arch_value")();
    return python::to_int(query(arch, "channels"));
}

bool same_expr(const Value& a, const Value& b) {
    const tvm::Object* left = a.node();
    const tvm::Object* right = b.node();
    if (left != nullptr && right != nullptr && left->IsInstance<tvm::RelayExprNode>() &&
        right->IsInstance<tvm::RelayExprNode>()) {
        return left == right;
    }
    return python::compare(a.python(), b.python(), Py_EQ);
}

bool grouped_conv_fits(const Context& context, const Value& conv, const py::object& groups,
                       const py::object& out_channels, const py::object& in_channels) {
    const py::int_ zero(0);
    const py::int_ one(1);
    const bool grouped = python::compare(groups, one, Py_GT) &&
                         (python::compare(groups, out_channels, Py_NE) || python::compare(groups, in_channels, Py_NE));
    if (!grouped) {
        return true;  // one group, or depthwise
    }
    const auto counts = [&] {
        return "groups " + text_of(groups) + ", channels " + text_of(out_channels) + ", input channels " +
               text_of(in_channels);
    };
    if (!python::compare(python::bit_and(groups, python::subtract(groups, one)), zero, Py_EQ)) {
        return refuse(conv, [&] { return counts() + ": groups is not a power of two"; });
    }
    if (!python::is_multiple(in_channels, groups)) {
        return refuse(conv, [&] { return counts() + ": input channels are not a multiple of groups"; });
    }
    if (!python::is_multiple(out_channels, groups)) {
        return refuse(conv, [&] { return counts() + ": channels are not a multiple of groups"; });
    }
    const py::object width = channel_width(context);
    const auto with_width = [&] { return counts() + ", target channel width " + text_of(width); };
    const auto per_group = [&](const py::object& channels) {
        return text_of(python::checked(PyNumber_FloorDivide(channels.ptr(), groups.ptr())));
    };
    // Real division, as the target's limit is stated per group.
    if (!python::is_multiple(width, python::true_divide(in_channels, groups))) {
        return refuse(conv, [&] {
            return with_width() + ": input channels per group (" + per_group(in_channels) +
                   ") do not divide the target's channel width";
        });
    }
    if (!python::is_multiple(width, python::true_divide(out_channels, groups))) {
        return refuse(conv, [&] {
            return with_width() + ": channels per group (" + per_group(out_channels) +
                   ") do not divide the target's channel width";
        });
    }
    if (python::compare(in_channels, width, Py_LT)) {
        return refuse(conv, [&] { return with_width() + ": input channels are below the target's channel width"; });
    }
    return true;
}

}  // namespace vexa::patterns::checks
