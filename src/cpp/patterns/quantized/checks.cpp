#include "patterns/quantized/checks.hpp"

#include "patterns/checks/rules.hpp"

namespace vexa::patterns::quantized {

namespace {

using checks::Context;
using checks::Value;

py::object check_conv_pattern(const Context& context, const Value& extract) {
    return context.call(kCheckConv, checks::walk_to_anchor(extract, "qnn.conv2d"));
}

// The group count, the output channels and the input channels (dimension 3
// of the NHWC input), each made a Python int as it is read.
py::object check_conv(const Context& context, const Value& call) {
    const Value attributes = checks::attrs(call);
    const py::object groups = checks::int_attr(attributes, "groups").to_int();
    const py::object channels = checks::int_attr(attributes, "channels").to_int();
    const py::object in_channels = checks::Shape(checks::arg(call, 0))[3].to_int();
    return py::bool_(checks::grouped_conv_fits(context, call, groups, channels, in_channels));
}

py::object check_add_call(const Context& context, const Value& expr) {
    return py::bool_(checks::operands_fit(context, expr));
}

py::object check_add(const Context& context, const Value& extract) {
    return context.call(kCheckAddCall, checks::walk_to_anchor(extract, "qnn.add"));
}

py::object check_concat(const Context& context, const Value& extract) {
    py::object consumers = context.global("get_consumers_mc")(extract.python());
    return py::bool_(checks::no_grouped_conv_behind(context, extract, consumers, "qnn.conv2d"));
}

const checks::ResizeLimits kNearestResize{
    {"int8", "uint8"}, {"nearest_neighbor"}, {"", "round", "round_prefer_ceil"}, true};

py::object check_upsampling_nearest(const Context& context, const Value& expr) {
    return py::bool_(checks::resize_fits(context, expr, kNearestResize));
}

}  // namespace

const checks::Check kCheckConvPattern{
    "check_qnn_conv_pattern", "extract",
    "Check of \"vexa.qnn_conv\": walks from the match `extract` along first arguments to the\n"
    "qnn.conv2d call and returns _check_conv of it.",
    check_conv_pattern};

const checks::Check kCheckConv{
    "_check_conv", "call",
    "Whether the target runs the qnn.conv2d call `call`: always for one group or a depthwise\n"
    "convolution; otherwise the group count must be a power of two dividing both channel counts,\n"
    "and the target's channel width (asked anew) a multiple of each per-group count and no more\n"
    "than the input channels.",
    check_conv};

const checks::Check kCheckAddCall{
    "_check_qnn_add", "expr",
    "Whether a \"qnn.add\" call adds two non-constant four-dimensional tensors of identical shape.", check_add_call};

const checks::Check kCheckAdd{
    "check_qnn_add", "extract",
    "Check of \"vexa.qnn_add\": walks from the match to its \"qnn.add\" call and accepts the\n"
    "addition of two non-constant four-dimensional tensors of identical shape.",
    check_add};

const checks::Check kCheckConcat{
    "check_concat_pattern", "extract",
    "Check of \"vexa.concat\": rejects a concatenation when one of its consumers leads to a\n"
    "grouped \"qnn.conv2d\".",
    check_concat};

const checks::Check kCheckUpsamplingNearest{
    "check_upsampling_nearest", "expr",
    "Check of \"vexa.upsampling_nearest\": True for a resize of a non-constant int8 or uint8 tensor\n"
    "with method \"nearest_neighbor\" and rounding \"\", \"round\" or \"round_prefer_ceil\".",
    check_upsampling_nearest};

}  // namespace vexa::patterns::quantized
