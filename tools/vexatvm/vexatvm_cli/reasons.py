"""The deciding reason of a rejected match, worked out from the matched
call the way the table's check decides, for the checks whose verdict
depends on values worth showing.  Each function returns (anchor call,
reason text); the reason is None when nothing more specific than the
verdict can be said."""
from tvm import relay

from vexatvm_cli.relay_reading import attr, dtype_of, is_composite_call, op_name, shape_of, walk_to


def _channel_width():
    from vexatvm_internal import patterns
    from vexatvm_internal.hwinquire import hwinquire_parameter

    return int(hwinquire_parameter(patterns.get_current_arch_value(), "channels"))


def grouped_conv_rule(groups, channels, in_channels, width):
    """Which limit a grouped, non-depthwise convolution breaks, or None."""
    if groups & (groups - 1):
        return "groups is not a power of two"
    if in_channels % groups:
        return "input channels are not a multiple of groups"
    if channels % groups:
        return "channels are not a multiple of groups"
    if width % (in_channels / groups):
        return f"input channels per group ({in_channels // groups}) do not divide the target's channel width"
    if width % (channels / groups):
        return f"channels per group ({channels // groups}) do not divide the target's channel width"
    if in_channels < width:
        return "input channels are below the target's channel width"
    return None


def qnn_conv(extract):
    conv = walk_to(extract, "qnn.conv2d")
    groups, channels = int(attr(conv, "groups")), int(attr(conv, "channels"))
    in_channels = shape_of(conv.args[0])[3]
    facts = f"groups {groups}, channels {channels}, input channels {in_channels}"
    if groups <= 1 or (groups == channels and groups == in_channels):
        return conv, facts
    if groups & (groups - 1) or in_channels % groups or channels % groups:
        return conv, f"{facts}: {grouped_conv_rule(groups, channels, in_channels, 1)}"
    width = _channel_width()
    rule = grouped_conv_rule(groups, channels, in_channels, width)
    return conv, f"{facts}, target channel width {width}" + (f": {rule}" if rule else "")


def _operands(call):
    left, right = call.args[0], call.args[1]
    for side, operand in (("first", left), ("second", right)):
        if isinstance(operand, relay.Constant):
            return f"{side} operand is a constant"
    left_shape, right_shape = shape_of(left), shape_of(right)
    if left_shape != right_shape:
        return f"operand shapes {left_shape} and {right_shape} differ"
    if len(left_shape or ()) != 4:
        return f"operands are not 4-dimensional (shape {left_shape})"
    return None


def qnn_add(extract):
    add = walk_to(extract, "qnn.add")
    return add, _operands(add)


def _consumer_reason(extract, conv_op, composite_consumers_only):
    from tvm.relay.vexa.relay_traversal import find_call_of_type, get_consumers_mc

    consumers = list(get_consumers_mc(extract))
    if composite_consumers_only:
        for consumer in consumers:
            if consumer.same_as(extract):
                return "consumes itself"
            if op_name(consumer) is not None:
                return f"consumed by the plain operator {op_name(consumer)}, not by a composite region"
    for consumer in consumers:
        convs = find_call_of_type(consumer, conv_op)
        if len(convs) and int(convs[0].attrs.get_int("groups")) > 1:
            return f"a consumer leads to a grouped convolution (groups {int(convs[0].attrs.get_int('groups'))})"
    return None


def qnn_concat(extract):
    return extract, _consumer_reason(extract, "qnn.conv2d", False)


def _resize(extract, methods, roundings):
    data = extract.args[0]
    if isinstance(data, relay.Constant):
        return "input is a constant"
    method, rounding = attr(extract, "method"), attr(extract, "rounding_method")
    if method not in methods:
        return f"method '{method}' is not supported"
    if rounding not in roundings:
        return f"rounding method '{rounding}' is not supported"
    return None


def upsampling_nearest(extract):
    data_dtype = dtype_of(extract.args[0])
    if not isinstance(extract.args[0], relay.Constant) and data_dtype not in ("int8", "uint8"):
        return extract, f"input dtype {data_dtype} is not int8 or uint8"
    return extract, _resize(extract, ("nearest_neighbor",), ("", "round", "round_prefer_ceil"))


def _float32(extract):
    dtype = dtype_of(extract)
    return None if dtype == "float32" else f"result dtype {dtype}, not float32"


def fp32(extract):
    return extract, _float32(extract)


def _after_composite(call):
    producer = call.args[0]
    if is_composite_call(producer):
        return None
    return f"input comes from {op_name(producer) or type(producer).__name__}, not from a composite region"


def fp32_relu(extract):
    return extract, _float32(extract) or _after_composite(extract)


def fp32_bias_add(extract):
    data, bias = shape_of(extract.args[0]), shape_of(extract.args[1])
    if len(data or ()) != 4 or len(bias or ()) != 1 or data[3] != bias[0]:
        return extract, f"bias of shape {bias} does not match the channels of NHWC data {data}"
    return extract, _after_composite(extract) or _float32(extract)


def fp32_res_add(extract):
    return extract, _operands(extract) or _float32(extract)


def fp32_avg_pool2d(extract):
    in_shape, out_shape = shape_of(extract.args[0]), shape_of(extract)
    if out_shape[1] != 1 or out_shape[2] != 1:
        return extract, f"output size {out_shape[1]}x{out_shape[2]} is not 1x1"
    width = _channel_width()
    if in_shape[1] > width or in_shape[2] > width:
        return extract, f"input size {in_shape[1]}x{in_shape[2]} exceeds the target's channel width {width}"
    return extract, _float32(extract)


def fp32_upsampling(extract):
    return extract, _resize(extract, ("nearest_neighbor", "bilinear", "linear"), ("", "round")) or _float32(extract)


def fp32_hardtanh(extract):
    a_min = attr(extract, "a_min")
    if a_min != 0.0:
        return extract, f"lower bound {a_min} is not 0"
    return extract, _float32(extract)


def fp32_concatenate(extract):
    if any(isinstance(arg, relay.Constant) for arg in extract.args):
        return extract, "an input is a constant"
    return extract, _consumer_reason(extract, "nn.conv2d", True) or _float32(extract)


BY_CHECK = {
    "check_qnn_conv_pattern": qnn_conv,
    "check_qnn_add": qnn_add,
    "check_concat_pattern": qnn_concat,
    "check_upsampling_nearest": upsampling_nearest,
    "check_fp32": fp32,
    "check_fp32_relu": fp32_relu,
    "check_fp32_bias_add": fp32_bias_add,
    "check_fp32_res_add": fp32_res_add,
    "check_avg_pool2d": fp32_avg_pool2d,
    "check_fp32_upsampling": fp32_upsampling,
    "check_fp32_hardtanh": fp32_hardtanh,
    "check_fp32_concatenate": fp32_concatenate,
}
