"""The host-side canonicalisations of the `vexatvm` command compute what
the graphs they replace compute, and fire only where they are exact."""

import sys

import numpy as np
import pytest
from conftest import ROOT, requires_tvm

pytestmark = requires_tvm

sys.path.insert(0, str(ROOT / "tools" / "vexatvm"))
import tvm
from relay_run import op_names, run
from tvm import relay

from vexa_host import canonicalize

RNG = np.random.default_rng(3)


def _module(body):
    return relay.transform.InferType()(tvm.IRModule.from_expr(relay.Function(relay.analysis.free_vars(body), body)))


def _requantized_relu(bound, in_zp, out_zp, out_dtype):
    """Scalars, or per-channel lists (axis 3, the way FakeQuantizationToInteger
    writes a per-channel ReLU: the bound shaped (1, 1, 1, C))."""
    x = relay.var("x", shape=(1, 4, 4, 8), dtype="int32")
    if isinstance(bound, list):
        bound = relay.const(np.array(bound, "int32").reshape(1, 1, 1, 8))
        in_zp = relay.const(np.array(in_zp, "int32"))
        scale = relay.const(np.linspace(0.0002, 0.0009, 8).astype("float32"))
    else:
        bound, in_zp, scale = relay.const(bound, "int32"), relay.const(in_zp), relay.const(0.0004)
    kept = relay.maximum(x, bound)
    body = relay.qnn.op.requantize(
        kept, scale, in_zp, relay.const(0.05), relay.const(out_zp), axis=3, out_dtype=out_dtype
    )
    return _module(body)


@pytest.mark.parametrize(
    "bound, in_zp, out_zp, out_dtype, rewritten",
    [
        (0, 0, 0, "uint8", True),
        (0, 0, 17, "uint8", True),
        (0, 0, -5, "int8", True),
        (40, 40, 3, "uint8", True),
        (5, 0, 0, "uint8", False),  # a bound other than the zero point is not a ReLU
        ([0] * 8, [0] * 8, 4, "uint8", True),  # per-channel
        ([0] * 8, list(range(8)), 4, "uint8", False),  # per-channel zero points that differ
    ],
)
def test_requantized_relu_becomes_a_clip_after_the_requantize(bound, in_zp, out_zp, out_dtype, rewritten):
    before = _requantized_relu(bound, in_zp, out_zp, out_dtype)
    after = canonicalize.canonicalize_imported(before)
    assert ("clip" in op_names(after)) == rewritten and ("maximum" in op_names(after)) != rewritten
    x = RNG.integers(-400000, 400000, size=(1, 4, 4, 8)).astype("int32")
    np.testing.assert_array_equal(run(after, [x]), run(before, [x]))


def _quantized_conv(x, channels, layout="NHWC"):
    shape = (3, 3, int(x.type_annotation.shape[3]), channels)
    weight = relay.const(RNG.integers(-50, 50, size=shape).astype("int8"))
    return relay.qnn.op.conv2d(
        x,
        weight,
        relay.const(0),
        relay.const(0),
        relay.const(0.05),
        relay.const(0.01),
        kernel_size=(3, 3),
        channels=channels,
        padding=(1, 1),
        data_layout=layout,
        kernel_layout="HWIO",
    )


@pytest.mark.parametrize("bias_shape", [(8,), (1, 1, 1, 8)])
def test_folded_convolution_bias_becomes_bias_add_on_channels(bias_shape):
    x = relay.var("x", shape=(1, 6, 6, 4), dtype="uint8")
    bias = relay.const(RNG.integers(-900, 900, size=bias_shape).astype("int32"))
    before = _module(relay.add(_quantized_conv(x, 8), bias))
    after = canonicalize.canonicalize_nhwc(before)
    body = after["main"].body
    assert body.op.name == "nn.bias_add" and int(body.attrs.axis) == 3
    assert [int(d) for d in body.args[1].checked_type.shape] == [8]
    inputs = [RNG.integers(0, 255, size=(1, 6, 6, 4)).astype("uint8")]
    np.testing.assert_array_equal(run(after, inputs), run(before, inputs))


def test_computed_convolution_bias_is_left_alone():
    # The PyTorch form: the bias is a quantize call, which the quantized
    # convolution entry matches as it stands.
    x = relay.var("x", shape=(1, 6, 6, 4), dtype="uint8")
    bias = relay.qnn.op.quantize(
        relay.const(RNG.standard_normal((1, 1, 1, 8)).astype("float32")),
        relay.const(0.0004),
        relay.const(0),
        out_dtype="int32",
    )
    after = canonicalize.canonicalize_nhwc(_module(relay.add(_quantized_conv(x, 8), bias)))
    assert after["main"].body.op.name == "add" and after["main"].body.args[1].op.name == "qnn.quantize"


def test_dense_bias_add_is_restored():
    data = relay.var("d", shape=(1, 16), dtype="uint8")
    weight = relay.const(RNG.integers(-50, 50, size=(10, 16)).astype("int8"))
    dense = relay.qnn.op.dense(
        data, weight, relay.const(0), relay.const(0), relay.const(0.05), relay.const(0.01), units=10
    )
    bias = relay.var("b", shape=(10,), dtype="int32")
    after = canonicalize.canonicalize_nhwc(_module(relay.add(dense, relay.expand_dims(bias, axis=0))))
    assert after["main"].body.op.name == "nn.bias_add" and int(after["main"].body.attrs.axis) == 1
    assert after["main"].body.args[1].same_as(after["main"].params[1])


def test_layout_transforms_move_outside_the_quantization():
    x = relay.var("x", shape=(1, 8, 6, 6), dtype="uint8")
    dequantized = relay.qnn.op.dequantize(x, relay.const(0.05), relay.const(3))
    resized = relay.image.resize2d(relay.layout_transform(dequantized, "NCHW", "NHWC"), (12, 12), layout="NHWC")
    back = relay.layout_transform(resized, "NHWC", "NCHW")
    before = _module(relay.qnn.op.quantize(back, relay.const(0.05), relay.const(3), out_dtype="uint8"))
    after = canonicalize.canonicalize_nhwc(before)
    assert op_names(after) == [
        "layout_transform",
        "qnn.dequantize",
        "image.resize2d",
        "qnn.quantize",
        "layout_transform",
    ]
    inputs = [RNG.integers(0, 255, size=(1, 8, 6, 6)).astype("uint8")]
    np.testing.assert_array_equal(run(after, inputs), run(before, inputs))


def test_pad_moves_inside_the_layout_transform():
    x = relay.var("x", shape=(1, 3, 5, 6), dtype="uint8")
    padded = relay.nn.pad(x, ((0, 0), (0, 0), (1, 2), (3, 0)), relay.const(7, "uint8"))
    before = _module(relay.layout_transform(padded, "NCHW", "NHWC"))
    after = canonicalize.canonicalize_nhwc(before)
    assert op_names(after) == ["layout_transform", "nn.pad"]
    inputs = [RNG.integers(0, 255, size=(1, 3, 5, 6)).astype("uint8")]
    np.testing.assert_array_equal(run(after, inputs), run(before, inputs))
