"""Small typed quantized Relay networks for the pattern tests and benchmarks."""

import tvm
from tvm import relay


def scale(value=0.5):
    return relay.const(value, "float32")


def zero(value=0):
    return relay.const(value, "int32")


def qvar(name, shape=(1, 8, 8, 16), dtype="int8"):
    return relay.var(name, shape=shape, dtype=dtype)


def qadd(lhs, rhs):
    return relay.qnn.op.add(lhs, rhs, scale(), zero(), scale(), zero(), scale(), zero())


def qmul(lhs, rhs):
    return relay.qnn.op.mul(lhs, rhs, scale(), zero(), scale(), zero(), scale(), zero())


def requantize(x, out_dtype="int8"):
    return relay.qnn.op.requantize(x, scale(), zero(), scale(0.25), zero(), out_dtype=out_dtype)


def concat(inputs, axis=3):
    n = len(inputs)
    return relay.qnn.op.concatenate(inputs, [scale()] * n, [zero()] * n, scale(), zero(), axis=axis)


def qconv(x, in_channels, channels, groups=1):
    """NHWC quantized convolution as TVM's PyTorch importer emits it (quantized weight and bias,
    nn.bias_add, requantize to int32, clip, cast to int8)."""
    weight = relay.qnn.op.quantize(
        relay.const(_zeros((1, 1, in_channels // groups, channels), "float32")), scale(), zero(), out_dtype="int8"
    )
    bias = relay.qnn.op.quantize(relay.const(_zeros((channels,), "float32")), scale(), zero(), out_dtype="int32")
    conv = relay.qnn.op.conv2d(
        x,
        weight,
        zero(),
        zero(),
        scale(),
        scale(),
        kernel_size=(1, 1),
        channels=channels,
        groups=groups,
        data_layout="NHWC",
        kernel_layout="HWIO",
    )
    biased = relay.nn.bias_add(conv, bias, axis=3)
    return relay.cast(relay.clip(requantize(biased, "int32"), -128, 127), "int8")


def _zeros(shape, dtype):
    import numpy

    return numpy.zeros(shape, dtype)


def typed_module(expr):
    return relay.transform.InferType()(tvm.IRModule.from_expr(expr))


def typed(expr):
    """The body of `expr` made into a function and typed: the typed copy of `expr`."""
    return typed_module(expr)["main"].body


def composite_names(mod):
    """Sorted names of the composite functions in a module's main function."""
    names = []

    def visit(node):
        if isinstance(node, relay.Function) and node.attrs and "Composite" in node.attrs:
            names.append(str(node.attrs["Composite"]))

    relay.analysis.post_order_visit(mod["main"], visit)
    return sorted(names)
