"""Quantized Relay networks shaped the way TVM's importers emit them, for the
pattern tests and the partition benchmark.

NHWC builders give the chains as they reach the partitioner (TFLite imports,
or PyTorch imports after the NHWC conversion); `pytorch_*` builders give the
PyTorch importer's NCHW chains, which the host's preparation converts.
Weights and biases are variables (parameters), as the importers leave them.
"""

import itertools

import numpy as np
import tvm
from tvm import relay

_names = itertools.count()


def const_f(value):
    return relay.const(float(value), "float32")


def const_i(value):
    return relay.const(int(value), "int32")


def param(shape, dtype="float32", prefix="p"):
    return relay.var(f"{prefix}{next(_names)}", shape=shape, dtype=dtype)


def quantize(x, dtype="uint8"):
    return relay.qnn.op.quantize(x, const_f(0.05), const_i(0), out_dtype=dtype)


def dequantize(x):
    return relay.qnn.op.dequantize(x, const_f(0.05), const_i(0))


def requantize(x, dtype="uint8"):
    return relay.qnn.op.requantize(x, const_f(0.05), const_i(0), const_f(0.05), const_i(0), out_dtype=dtype)


def qnn_conv(data, ich, och, groups=1, weight=None, layout="NHWC", kernel=3):
    """qnn.conv2d with a quantized weight parameter (any expression if given)."""
    if weight is None:
        shape = (kernel, kernel, ich // groups, och) if layout == "NHWC" else (och, ich // groups, kernel, kernel)
        weight = quantize(param(shape, prefix="w"), "int8")
    return relay.qnn.op.conv2d(
        data,
        weight,
        const_i(0),
        const_i(0),
        const_f(0.05),
        const_f(0.05),
        kernel_size=(kernel, kernel),
        padding=(0, 0),
        channels=och,
        groups=groups,
        data_layout=layout,
        kernel_layout="HWIO" if layout == "NHWC" else "OIHW",
        out_dtype="int32",
    )


def nhwc_bias(conv, och, form):
    """The bias forms that reach an NHWC convolution output."""
    bias = quantize(param((och,), prefix="b"), "int32")
    if form == "bias_add":
        return relay.nn.bias_add(conv, bias, axis=3)
    if form == "nhwc_add":
        expanded = relay.expand_dims(relay.expand_dims(bias, axis=1, num_newaxis=2), axis=0)
        return relay.add(conv, relay.layout_transform(expanded, "NCHW", "NHWC"))
    if form == "expand":
        return relay.add(conv, relay.expand_dims(bias, axis=0))
    assert form is None
    return conv


def pad(x, layout="NHWC"):
    width = ((0, 0), (1, 1), (1, 1), (0, 0)) if layout == "NHWC" else ((0, 0), (0, 0), (1, 1), (1, 1))
    return relay.nn.pad(x, width, pad_value=0)


def conv_chain(x, ich, och, groups=1, bias="bias_add", padded=True, weight=None, tail=("clip", "cast")):
    """NHWC convolution chain: pad, qnn.conv2d, bias, requantize(int32),
    then the operators of `tail` ("clip", "cast", another "clip")."""
    data = pad(x) if padded else x
    out = requantize(nhwc_bias(qnn_conv(data, ich, och, groups, weight), och, bias), "int32")
    for step in tail:
        out = relay.clip(out, 0, 255) if step == "clip" else relay.cast(out, "uint8")
    return out


def conv_hswish(x, ch, same_conv=True):
    """A convolution chain multiplied by clip(cast(clip(requantize(conv) + 3)))."""
    conv = conv_chain(x, ch, ch)
    other = conv if same_conv else conv_chain(x, ch, ch)
    shifted = relay.add(requantize(conv, "int32"), const_i(3))
    gate = relay.clip(relay.cast(relay.clip(shifted, 0, 6), "uint8"), 0, 255)
    return qnn_mul(other, gate)


def qnn_mul(lhs, rhs):
    return relay.qnn.op.mul(lhs, rhs, *(const_f(0.05), const_i(0)) * 3)


def qnn_add(lhs, rhs):
    return relay.qnn.op.add(lhs, rhs, *(const_f(0.05), const_i(0)) * 3)


def tflite_conv(x, ich, och, clip=True):
    """TFLite importer: conv with a constant int8 weight, bias_add(axis=3), requantize, clip."""
    weight = relay.const(np.ones((3, 3, ich, och), "int8"))
    conv = qnn_conv(pad(x), ich, och, weight=weight)
    out = requantize(relay.nn.bias_add(conv, relay.const(np.zeros(och, "int32")), axis=3))
    return relay.clip(out, 0, 255) if clip else out


def concat(inputs, requantized=True):
    fields = [requantize(i) if requantized else i for i in inputs]
    n = len(fields)
    return relay.qnn.op.concatenate(fields, [const_f(0.05)] * n, [const_i(0)] * n, const_f(0.05), const_i(0), axis=3)


def upsampling(x):
    """PyTorch upsampling: dequantize, resize2d (bilinear), quantize."""
    return quantize(relay.image.resize2d(dequantize(x), (16, 16), layout="NHWC", method="linear"))


def upsampling_nearest(x, size=(16, 16), method="nearest_neighbor", rounding=""):
    return relay.image.resize2d(x, size, layout="NHWC", method=method, rounding_method=rounding)


def maxpool(x, padded=False):
    data = pad(x) if padded else x
    return relay.nn.max_pool2d(data, (2, 2), (2, 2), layout="NHWC")


def leaky_relu(x):
    return quantize(relay.nn.leaky_relu(dequantize(x), 0.1))


def tflite_silu(x):
    return qnn_mul(x, quantize(relay.sigmoid(dequantize(x))))


def tflite_hswish(x, same_dequantize=True, requantized=False):
    dq = dequantize(x)
    other = dq if same_dequantize else dequantize(x)
    out = relay.divide(relay.multiply(other, relay.clip(relay.add(dq, const_f(3)), 0, 6)), const_f(6))
    out = quantize(out)
    return requantize(out) if requantized else out


def tflite_avg_pool(x, pads=2, pool=(2, 2), strides=(2, 2)):
    data = x
    for _ in range(pads):
        data = pad(data)
    pooled = relay.nn.avg_pool2d(relay.cast(data, "int32"), pool, strides, layout="NHWC")
    return relay.cast(pooled, "uint8")


def adaptive_avg_pool(x, final_cast=True):
    pooled = relay.nn.adaptive_avg_pool2d(relay.cast(x, "int32"), (1, 1), layout="NHWC")
    return relay.cast(pooled, "uint8") if final_cast else pooled


def mean(x):
    return requantize(relay.mean(relay.cast(x, "int32"), axis=[1, 2], keepdims=True))


def qnn_fc(x, in_features, units, form="squeeze", tail=True, bias=True):
    """A dense layer on NHWC `x` of `in_features` values: squeeze(reshape(x)) or
    reshape(reshape(transpose(x))) (any other form: a single reshape),
    qnn.dense with a quantized weight, bias_add, requantize, clip, cast."""
    if form == "squeeze":
        data = relay.squeeze(relay.reshape(x, (1, in_features, 1, 1)), axis=[2, 3])
    elif form == "tflite":
        data = relay.reshape(relay.reshape(relay.transpose(x, (0, 3, 1, 2)), (1, in_features)), (1, in_features))
    else:
        data = relay.reshape(x, (1, in_features))
    weight = quantize(param((units, in_features), prefix="fc"), "int8")
    dense = relay.qnn.op.dense(data, weight, const_i(0), const_i(0), const_f(0.05), const_f(0.05), units=units)
    if not bias:
        return requantize(dense)
    out = requantize(relay.nn.bias_add(dense, quantize(param((units,), prefix="fb"), "int32")), "int32")
    return relay.cast(relay.clip(out, 0, 255), "uint8") if tail else out


# --- the PyTorch importer's NCHW chains ---------------------------------------


def pytorch_conv(x, ich, och, groups=1, padded=True, stride=1):
    """pad(zero point), qnn.conv2d (OIHW, quantized weight), nn.bias_add(axis=1)
    of a quantized bias, requantize(int32), clip, cast(uint8)."""
    data = pad(x, layout="NCHW") if padded else x
    weight = quantize(param((och, ich // groups, 3, 3), prefix="w"), "int8")
    conv = relay.qnn.op.conv2d(
        data,
        weight,
        const_i(0),
        const_i(0),
        const_f(0.05),
        const_f(0.05),
        kernel_size=(3, 3),
        strides=(stride, stride),
        channels=och,
        groups=groups,
        out_dtype="int32",
    )
    biased = relay.nn.bias_add(conv, quantize(param((och,), prefix="b"), "int32"), axis=1)
    return relay.cast(relay.clip(requantize(biased, "int32"), 0, 255), "uint8")


def pytorch_hswish_conv(x, ch, same_conv=True):
    conv = pytorch_conv(x, ch, ch)
    other = conv if same_conv else pytorch_conv(x, ch, ch)
    shifted = relay.add(requantize(conv, "int32"), const_i(3))
    return qnn_mul(other, relay.clip(relay.cast(relay.clip(shifted, 0, 6), "uint8"), 0, 255))


def pytorch_adaptive_avg_pool(x):
    return relay.cast(relay.nn.adaptive_avg_pool2d(relay.cast(x, "int32"), (1, 1)), "uint8")


def pytorch_upsample(x, size):
    return quantize(relay.image.resize2d(dequantize(x), size, layout="NCHW", method="linear"))


def pytorch_maxpool(x):
    return relay.nn.max_pool2d(x, (2, 2), (2, 2))


def pytorch_concat(inputs):
    n = len(inputs)
    fields = [requantize(i) for i in inputs]
    return relay.qnn.op.concatenate(fields, [const_f(0.05)] * n, [const_i(0)] * n, const_f(0.05), const_i(0), axis=1)


def pytorch_linear(x, channels, units):
    """Flattened (reshape, squeeze) quantized linear layer with bias, requantize, clip, cast."""
    data = relay.squeeze(relay.reshape(x, (1, channels, 1, 1)), axis=[2, 3])
    weight = quantize(param((units, channels), prefix="fc"), "int8")
    dense = relay.qnn.op.dense(data, weight, const_i(0), const_i(0), const_f(0.05), const_f(0.05), units=units)
    out = requantize(relay.nn.bias_add(dense, quantize(param((units,), prefix="fb"), "int32")), "int32")
    return relay.cast(relay.clip(out, 0, 255), "uint8")


def infer(expr):
    """The typed body of a module made of `expr` (free variables become parameters)."""
    mod = tvm.IRModule.from_expr(expr)
    return relay.transform.InferType()(mod)["main"].body


def typed_module(expr):
    return relay.transform.InferType()(tvm.IRModule.from_expr(expr))


def _is_composite(function):
    return isinstance(function, relay.Function) and function.attrs is not None and "Composite" in function.attrs


def composites(expr_or_mod):
    """The composite names of the composite calls in a partitioned network
    (an expression, or every function of a module, in post-order), and the
    operator names of the calls left outside composites, as two lists."""
    if isinstance(expr_or_mod, tvm.IRModule):
        bodies = [expr_or_mod[gvar] for gvar in sorted(expr_or_mod.get_global_vars(), key=lambda g: g.name_hint)]
    else:
        bodies = [expr_or_mod]
    formed, outside = [], []
    for body in bodies:
        # post_order_visit also enters the composite functions: their own
        # calls are collected first and skipped.
        inner = set()

        def collect_inner(node):
            if _is_composite(node):
                relay.analysis.post_order_visit(node.body, lambda n: inner.add(n.handle.value))

        def visit(node):
            if not isinstance(node, relay.Call) or node.handle.value in inner:
                return
            if _is_composite(node.op):
                formed.append(str(node.op.attrs["Composite"]))
            elif isinstance(node.op, tvm.ir.Op):
                outside.append(str(node.op.name))

        relay.analysis.post_order_visit(body, collect_inner)
        relay.analysis.post_order_visit(body, visit)
    return formed, outside


def calls_inside_composites(mod):
    """Number of operator calls in the bodies of the composite functions of a module."""
    count = [0]

    def visit(node):
        if _is_composite(node):
            relay.analysis.post_order_visit(
                node.body, lambda n: count.__setitem__(0, count[0] + isinstance(n, relay.Call))
            )

    for gvar in mod.get_global_vars():
        relay.analysis.post_order_visit(mod[gvar], visit)
    return count[0]


def partition_with(expr, entries):
    """`expr` typed and partitioned with the given table entries (TVM's own
    MergeComposite), returned as (composite names, operators left outside)."""
    mod = relay.transform.MergeComposite(entries)(typed_module(expr))
    return composites(mod)


# --- odd inputs for the checks -------------------------------------------------


class Proxy:
    """A thin stand-in for a Relay node: every read goes through Python."""

    def __init__(self, node):
        self._node = node

    @property
    def __class__(self):
        return type(self._node)

    def __getattr__(self, name):
        if name == "handle":  # no way to the C++ object
            raise AttributeError(name)
        value = getattr(self._node, name)
        if name == "args":
            return [Proxy(a) for a in value]
        return value


def call_of(name, *args, attrs=None):
    return relay.Call(tvm.ir.Op.get(name), list(args), attrs)


def typed_var(shape):
    return infer(relay.Tuple([relay.var("d", shape=shape, dtype="uint8")])).fields[0]
