// The float32 checks.  Every one accepts only float32 results (check_fp32,
// called through its module-level name), on NHWC tensors: channels in
// dimension 3, height and width in dimensions 1 and 2.  ReLU and bias add
// are offloaded only right after a composite region, never on their own.
#include "patterns/fp32/checks.hpp"

#include "patterns/checks/python.hpp"
#include "patterns/checks/reasons.hpp"
#include "patterns/checks/rules.hpp"

namespace vexa::patterns::fp32 {

namespace {

using checks::ClassName;
using checks::Context;
using checks::Value;

extern const checks::Check kCheckFp32;
extern const checks::Check kIsCaptured;

py::object rejected() { return py::bool_(false); }

std::string comes_from(const Value& input) {
    return "input comes from " + checks::kind_of(input) + ", not from a composite region";
}

py::object check_fp32(const Context&, const Value& extract) {
    const checks::Text type = checks::dtype(extract);
    return checks::explained(type.equals("float32"), extract,
                             [&] { return "result dtype " + type.text() + ", not float32"; });
}

py::object is_captured(const Context& context, const Value& extract) {
    if (!context.is_instance(extract, ClassName::kCall)) {
        return rejected();
    }
    return py::bool_(context.is_instance(checks::callee(extract), ClassName::kFunction));
}

py::object check_bias_add(const Context& context, const Value& extract) {
    const checks::Shape bias(checks::arg(extract, 1));
    const checks::Shape data(checks::arg(extract, 0));
    if (data.rank() != 4 || bias.rank() != 1 || checks::not_equal(data[3], bias[0])) {
        return checks::reject(extract, [&] {
            return "bias of shape " + bias.text() + " does not match the channels of NHWC data " + data.text();
        });
    }
    const Value input = checks::arg(extract, 0);
    if (!python::truth(context.call(kIsCaptured, input))) {
        return checks::reject(extract, [&] { return comes_from(input); });
    }
    return context.call(kCheckFp32, extract);
}

py::object check_relu(const Context& context, const Value& extract) {
    if (!python::truth(context.call(kCheckFp32, extract))) {
        return rejected();
    }
    const Value input = checks::arg(extract, 0);
    return checks::explained(context.call(kIsCaptured, input), extract, [&] { return comes_from(input); });
}

py::object check_res_add(const Context& context, const Value& expr) {
    if (!checks::operands_fit(context, expr)) {
        return rejected();
    }
    return context.call(kCheckFp32, expr);
}

// No input is a constant (the fields of a tuple argument included), every
// consumer is a composite call other than the match itself, and none leads
// to a grouped convolution.
py::object check_concatenate(const Context& context, const Value& extract) {
    for (const Value& input : checks::args(extract)) {
        bool constant = context.is_instance(input, ClassName::kConstant);
        if (!constant && context.is_instance(input, ClassName::kTuple)) {
            for (const Value& field : checks::fields(input)) {
                if (context.is_instance(field, ClassName::kConstant)) {
                    constant = true;
                    break;
                }
            }
        }
        if (constant) {
            return checks::reject(extract, [] { return "an input is a constant"; });
        }
    }
    py::object consumers = context.global("get_consumers_mc")(extract.python());
    for (py::handle item : consumers) {
        const Value consumer = Value::of(item);
        if (checks::same_expr(consumer, extract)) {
            return checks::reject(extract, [] { return "consumes itself"; });
        }
        if (context.is_instance(checks::callee(consumer), ClassName::kOp)) {
            return checks::reject(extract, [&] {
                return "consumed by the plain operator " + checks::kind_of(consumer) + ", not by a composite region";
            });
        }
    }
    if (!checks::no_grouped_conv_behind(context, extract, consumers, "nn.conv2d")) {
        return rejected();
    }
    return context.call(kCheckFp32, extract);
}

const checks::ResizeLimits kResize{{}, {"nearest_neighbor", "bilinear", "linear"}, {"", "round"}, false};

py::object check_upsampling(const Context& context, const Value& extract) {
    if (!checks::resize_fits(context, extract, kResize)) {
        return rejected();
    }
    return context.call(kCheckFp32, extract);
}

// A global average (output 1 x 1) whose input height and width do not
// exceed the target's channel count, asked once the output has passed.
py::object check_avg_pool2d(const Context& context, const Value& extract) {
    const checks::Shape input(checks::arg(extract, 0));
    const checks::Shape output(extract);
    const checks::Number one = checks::Number::fixed(1);
    if (checks::not_equal(output[1], one) || checks::not_equal(output[2], one)) {
        return checks::reject(
            extract, [&] { return "output size " + output[1].text() + "x" + output[2].text() + " is not 1x1"; });
    }
    const checks::Number width = checks::Number::python(checks::channel_width(context));
    if (checks::greater(input[1], width) || checks::greater(input[2], width)) {
        return checks::reject(extract, [&] {
            return "input size " + input[1].text() + "x" + input[2].text() + " exceeds the target's channel width " +
                   width.text();
        });
    }
    return context.call(kCheckFp32, extract);
}

py::object check_hardtanh(const Context& context, const Value& extract) {
    std::string lower_bound;
    if (checks::nonzero_attr(checks::attrs(extract), "a_min", checks::recording() ? &lower_bound : nullptr)) {
        return checks::reject(extract, [&] { return "lower bound " + lower_bound + " is not 0"; });
    }
    return context.call(kCheckFp32, extract);
}

const checks::Check kCheckFp32{"check_fp32", "extract", "Whether the matched call's result is a float32 tensor.",
                               check_fp32};
const checks::Check kIsCaptured{
    "is_captured", "extract", "Whether the expression is a call of a Relay function (a composite call).", is_captured};
const checks::Check kCheckBiasAdd{
    "check_fp32_bias_add", "extract",
    "Accepts a float32 bias add of a vector with one entry per channel to NHWC data that a composite call produces.",
    check_bias_add};
const checks::Check kCheckRelu{"check_fp32_relu", "extract", "Accepts a float32 ReLU directly after a composite call.",
                               check_relu};
const checks::Check kCheckResAdd{"check_fp32_res_add", "expr",
                                 "Accepts a float32 add of two computed four-dimensional tensors of identical shape.",
                                 check_res_add};
const checks::Check kCheckConcatenate{
    "check_fp32_concatenate", "extract",
    "Accepts a float32 concatenation of computed tensors whose consumers are all composite calls, none leading to a "
    "grouped convolution.",
    check_concatenate};
const checks::Check kCheckUpsampling{
    "check_fp32_upsampling", "extract",
    "Accepts a float32 resize of a computed tensor by nearest neighbour, bilinear or linear interpolation, with "
    "rounding '' or 'round'.",
    check_upsampling};
const checks::Check kCheckAvgPool2d{
    "check_avg_pool2d", "extract",
    "Accepts a float32 global average pooling (output 1 x 1) whose input height and width do not exceed the "
    "target's channel count.",
    check_avg_pool2d};
const checks::Check kCheckHardtanh{"check_fp32_hardtanh", "extract", "Accepts a float32 clip whose lower bound is 0.",
                                   check_hardtanh};

}  // namespace

const std::array<const checks::Check*, 9> kChecks{&kCheckFp32,       &kIsCaptured,     &kCheckBiasAdd,
                                                  &kCheckRelu,       &kCheckResAdd,    &kCheckConcatenate,
                                                  &kCheckUpsampling, &kCheckAvgPool2d, &kCheckHardtanh};

}  // namespace vexa::patterns::fp32
