"""Relay builders for the quantized operator chains of the built-in sample
networks, in the forms that TVM's PyTorch and TFLite importers produce."""

import numpy as np
from tvm import relay
from tvm.relay import qnn

_RNG = np.random.default_rng(7)


def f32(value):
    return relay.const(value, "float32")


def i32(value):
    return relay.const(value, "int32")


def random_const(shape, dtype="float32", low=-1.0, high=1.0):
    if dtype.startswith(("int", "uint")):
        return relay.const(_RNG.integers(int(low), int(high), size=shape).astype(dtype))
    return relay.const(_RNG.uniform(low, high, size=shape).astype(dtype))


def requantize(x, out_dtype="uint8", in_scale=0.0004, out_scale=0.05, out_zp=0):
    return qnn.op.requantize(x, f32(in_scale), i32(0), f32(out_scale), i32(out_zp), out_dtype=out_dtype)


def dequantize(x, scale=0.05, zp=0):
    return qnn.op.dequantize(x, f32(scale), i32(zp))


def quantize(x, scale=0.05, zp=0, out_dtype="uint8"):
    return qnn.op.quantize(x, f32(scale), i32(zp), out_dtype=out_dtype)


def torch_conv(x, in_ch, out_ch, groups=1, pad=True):
    """PyTorch importer's quantized convolution with ReLU: pad, qnn.conv2d of
    a quantized weight, bias_add of a quantized bias, requantize to int32,
    clip, cast to uint8 (NCHW)."""
    weight = quantize(random_const((out_ch, in_ch // groups, 3, 3)), 0.01, 0, "int8")
    bias = quantize(random_const((out_ch,)), 0.0004, 0, "int32")
    data = relay.nn.pad(x, ((0, 0), (0, 0), (1, 1), (1, 1)), i32(0)) if pad else x
    conv = qnn.op.conv2d(
        data,
        weight,
        i32(0),
        i32(0),
        f32(0.05),
        f32(0.01),
        kernel_size=(3, 3),
        channels=out_ch,
        groups=groups,
        padding=(0, 0) if pad else (1, 1),
    )
    out = requantize(relay.nn.bias_add(conv, bias), out_dtype="int32")
    return relay.cast(relay.clip(out, 0, 255), "uint8")


def torch_conv_hswish(x, in_ch, out_ch):
    """A quantized convolution followed by hard-swish: the convolution output
    times a clipped, requantized copy of itself."""
    conv = torch_conv(x, in_ch, out_ch)
    shifted = relay.add(requantize(conv, out_dtype="int32", in_scale=0.05), i32(60))
    gate = relay.clip(relay.cast(relay.clip(shifted, 0, 120), "uint8"), 0, 255)
    return qnn.op.mul(conv, gate, f32(0.05), i32(0), f32(0.05), i32(0), f32(0.05), i32(0))


def qadd(a, b, relu=True):
    out = qnn.op.add(a, b, f32(0.05), i32(0), f32(0.05), i32(0), f32(0.05), i32(0))
    return relay.clip(out, 0, 255) if relu else out


def qconcat(inputs, axis=1):
    n = len(inputs)
    inputs = [requantize(inputs[0], in_scale=0.05)] + list(inputs[1:])
    return qnn.op.concatenate(
        relay.Tuple(inputs), relay.Tuple([f32(0.05)] * n), relay.Tuple([i32(0)] * n), f32(0.05), i32(0), axis=axis
    )


def float_between(x, op, *args, **kwargs):
    """dequantize -> float operator -> quantize."""
    return quantize(op(dequantize(x), *args, **kwargs))


def pool_avg_adaptive(x, layout="NCHW"):
    pooled = relay.nn.adaptive_avg_pool2d(relay.cast(x, "int32"), (1, 1), layout=layout)
    return relay.cast(pooled, "uint8")


def mean(x, axis):
    reduced = relay.mean(relay.cast(x, "int32"), axis=axis, keepdims=True)
    return requantize(reduced, in_scale=0.05)


def torch_dense(x, in_features, units):
    """Flatten (reshape, squeeze) then quantized dense, bias, requantize,
    clip, cast."""
    flat = relay.squeeze(relay.reshape(x, (1, in_features, 1, 1)), axis=[2, 3])
    weight = quantize(random_const((units, in_features)), 0.01, 0, "int8")
    bias = quantize(random_const((units,)), 0.0004, 0, "int32")
    dense = qnn.op.dense(flat, weight, i32(0), i32(0), f32(0.05), f32(0.01), units=units)
    out = requantize(relay.nn.bias_add(dense, bias), out_dtype="int32")
    return relay.cast(relay.clip(out, 0, 255), "uint8")


def tflite_conv(x, in_ch, out_ch, relu6=True):
    """TFLite importer's quantized convolution: NHWC, constant int8 weights,
    bias_add on axis 3, requantize, optional clip."""
    weight = random_const((3, 3, in_ch, out_ch), "int8", -100, 100)
    conv = qnn.op.conv2d(
        x,
        weight,
        i32(0),
        i32(0),
        f32(0.05),
        f32(0.01),
        kernel_size=(3, 3),
        channels=out_ch,
        padding=(1, 1),
        data_layout="NHWC",
        kernel_layout="HWIO",
    )
    biased = relay.nn.bias_add(conv, random_const((out_ch,), "int32", -1000, 1000), axis=3)
    out = requantize(biased)
    return relay.clip(out, 0, 120) if relu6 else out


def tflite_hswish(x):
    """x * relu6(x + 3) / 6 between dequantize and quantize, requantized."""
    dq = dequantize(x)
    gate = relay.clip(relay.add(dq, f32(3.0)), 0.0, 6.0)
    out = quantize(relay.divide(relay.multiply(dq, gate), f32(6.0)))
    return requantize(out, in_scale=0.05)


def tflite_silu(x):
    gate = quantize(relay.sigmoid(dequantize(x)), 1.0 / 256)
    return qnn.op.mul(x, gate, f32(0.05), i32(0), f32(1.0 / 256), i32(0), f32(0.05), i32(0))


def tflite_avg_pool(x):
    padded = relay.nn.pad(relay.nn.pad(x, ((0, 0), (1, 1), (1, 1), (0, 0))), ((0, 0), (0, 0), (0, 0), (0, 0)))
    pooled = relay.nn.avg_pool2d(relay.cast(padded, "int32"), (3, 3), (2, 2), layout="NHWC")
    return relay.cast(pooled, "uint8")
