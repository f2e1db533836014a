"""Where the native layout step stands in for TVM's ConvertLayout (the
converted operators already in their layouts), it gives the pass's result,
typed; elsewhere it leaves the network to the pass."""

import numpy as np
import pytest
from conftest import ROOT, requires_tvm

pytestmark = requires_tvm

import sys  # noqa: E402

sys.path.insert(0, str(ROOT / "tools" / "vexatvm"))
import bias_forms_networks as networks  # noqa: E402
import layout_networks  # noqa: E402
import tvm  # noqa: E402
from test_bias_forms import assert_typed_as_inferred  # noqa: E402
from tvm import relay  # noqa: E402

from vexa_host import _native  # noqa: E402
from vexa_host.bias_forms import expand_bias_adds  # noqa: E402
from vexa_host.flow import NHWC_LAYOUTS, prepare_fp32  # noqa: E402
from vexa_host.param_binding import bind_params  # noqa: E402
from vexatvm_cli.importers import read_model, to_relay  # noqa: E402
from vexatvm_cli.samples import SAMPLES  # noqa: E402

MODELS = sorted(path.name for path in (ROOT / "tests" / "models").iterdir() if path.suffix in (".tflite", ".onnx"))


def _check(mod):
    """Whether the native step stood in for the pass, having given its result."""
    normalized = _native.layouts_normalized(mod["main"], NHWC_LAYOUTS)
    if normalized is not None:
        converted = relay.transform.InferType()(relay.transform.ConvertLayout(NHWC_LAYOUTS)(mod))
        assert_typed_as_inferred(tvm.IRModule.from_expr(normalized), converted)
    return normalized is not None


def _conv(x, channels, groups=1, kernel_layout="HWIO", data_layout="NHWC"):
    in_channels = 4
    shape = {"HWIO": (3, 3, in_channels // groups, channels), "HWOI": (3, 3, channels, in_channels // groups)}
    shape["OIHW"] = (channels, in_channels // groups, 3, 3)
    weight = relay.const(np.ones(shape[kernel_layout], "float32"))
    return relay.nn.conv2d(
        x,
        weight,
        channels=channels,
        kernel_size=(3, 3),
        groups=groups,
        data_layout=data_layout,
        kernel_layout=kernel_layout,
    )


def _vector(size):
    return relay.const(np.arange(size, dtype="float32"))


def _nhwc():
    return relay.var("x", shape=(1, 8, 8, 4))


def _nhwc_int8():
    return relay.var("x", shape=(1, 8, 8, 4), dtype="int8")


def _quantized(x):
    return relay.qnn.op.quantize(x, relay.const(0.5), relay.const(0), out_dtype="int8")


def _requantized(x):
    x = relay.cast(x, "int32")
    return relay.qnn.op.requantize(x, relay.const(0.5), relay.const(0), relay.const(0.25), relay.const(0))


_QUANTIZATION = (relay.const(0.5), relay.const(0))  # a scale and a zero point


def _int8(x):
    return relay.cast(relay.clip(_requantized(x), -128, 127), "int8")


def _quantized_concatenation(fields, axis):
    scales, zero_points = [relay.const(0.5)] * len(fields), [relay.const(0)] * len(fields)
    return relay.qnn.op.concatenate(fields, scales, zero_points, *_QUANTIZATION, axis=axis)


def _quantized_block(x, requantize_axis):
    x = relay.nn.pad(x, ((0, 0), (1, 1), (1, 1), (0, 0)))
    zero, scale = relay.const(0), relay.const(0.5)
    weight = relay.const(np.ones((3, 3, 4, 6), "int8"))
    conv = relay.qnn.op.conv2d(
        x, weight, zero, zero, scale, scale, kernel_size=(3, 3), channels=6, data_layout="NHWC", kernel_layout="HWIO"
    )
    biased = relay.add(conv, relay.qnn.op.quantize(relay.var("b", shape=(6,)), scale, zero, out_dtype="int32"))
    scales = relay.const(np.full(6, 0.25, "float32")) if requantize_axis == 3 else scale
    requantized = relay.qnn.op.requantize(biased, scales, zero, scale, zero, axis=requantize_axis, out_dtype="int32")
    return relay.cast(relay.clip(requantized, 0, 255), "uint8")


CASES = {
    "plain NHWC convolution": (lambda: _conv(_nhwc(), 6), True),
    "depthwise NHWC convolution, HWOI": (lambda: _conv(_nhwc(), 4, groups=4, kernel_layout="HWOI"), True),
    "depthwise NHWC convolution, HWIO": (lambda: _conv(_nhwc(), 4, groups=4, kernel_layout="HWIO"), False),
    "grouped NHWC convolution, HWIO": (lambda: _conv(_nhwc(), 8, groups=2), True),
    "NCHW convolution": (
        lambda: _conv(relay.var("x", shape=(1, 4, 8, 8)), 6, kernel_layout="OIHW", data_layout="NCHW"),
        False,
    ),
    "channel bias as a vector": (lambda: relay.add(_conv(_nhwc(), 6), relay.const(np.ones(6, "float32"))), True),
    "channel bias as a vector, first": (lambda: relay.add(relay.const(np.ones(6, "float32")), _conv(_nhwc(), 6)), True),
    "channel bias after a ReLU": (
        lambda: relay.add(relay.nn.relu(_conv(_nhwc(), 6)), relay.const(np.ones(6, "float32"))),
        True,
    ),
    "row bias": (lambda: relay.add(_conv(_nhwc(), 6), relay.const(np.ones((6, 6), "float32"))), True),
    "mean after the convolution": (lambda: relay.mean(_conv(_nhwc(), 6), axis=[1, 2]), True),
    "mean over axes counted from the back, then a bias": (
        lambda: relay.add(relay.mean(_conv(_nhwc(), 6), axis=[-3, -2]), _vector(6)),
        True,
    ),
    "maximum over all but the last axis": (lambda: relay.max(_conv(_nhwc(), 6), axis=[-1], exclude=True), True),
    "concatenation of the convolution, then a bias": (
        lambda: relay.add(relay.concatenate([_conv(_nhwc(), 6)] * 2, axis=-1), _vector(12)),
        True,
    ),
    "squeeze of every unit axis, then a bias": (
        lambda: relay.add(relay.squeeze(relay.mean(_conv(_nhwc(), 6), axis=[1, 2], keepdims=True)), _vector(6)),
        True,
    ),
    "squeeze of an input": (
        lambda: relay.add(_conv(_nhwc(), 6), relay.squeeze(relay.var("s", shape=(1, 1, 1, 6)))),
        True,
    ),
    "sigmoid gate on the convolution": (
        lambda: relay.multiply(
            _conv(_nhwc(), 6), relay.sigmoid(relay.mean(_conv(_nhwc(), 6), axis=[1, 2], keepdims=True))
        ),
        True,
    ),
    "gate scale on a weight": (
        lambda: relay.multiply(
            relay.const(np.ones((1, 1, 6, 6), "float32")),
            relay.expand_dims(relay.squeeze(relay.mean(_conv(_nhwc(), 6), axis=[1, 2], keepdims=True), [1, 2]), 1),
        ),
        True,
    ),
    "classifier: reshape, dense and its bias": (
        lambda: relay.add(
            relay.nn.dense(relay.reshape(_conv(_nhwc(), 6), (1, -1)), relay.const(np.ones((3, 216), "float32"))),
            _vector(3),
        ),
        True,
    ),
    "bias after a reshape": (lambda: relay.add(relay.reshape(_conv(_nhwc(), 6), (1, 36, 6)), _vector(6)), True),
    "bias after a softmax": (lambda: relay.add(relay.nn.softmax(_conv(_nhwc(), 6)), _vector(6)), True),
    "bias after a dequantize": (
        lambda: relay.add(relay.qnn.op.dequantize(_int8(_conv(_nhwc(), 6)), *_QUANTIZATION), _vector(6)),
        True,
    ),
    "mean and requantize after a quantize": (
        lambda: _requantized(relay.mean(relay.cast(_quantized(_conv(_nhwc(), 6)), "int32"), axis=[-3, -2])),
        True,
    ),
    "quantized concatenation, then a requantize": (
        lambda: _requantized(_quantized_concatenation([_int8(_conv(_nhwc(), 6))] * 2, axis=-1)),
        True,
    ),
    "quantized multiplication by a channel vector": (
        lambda: relay.qnn.op.mul(_int8(_conv(_nhwc(), 6)), relay.const(np.ones(6, "int8")), *_QUANTIZATION * 3),
        True,
    ),
    "quantized dense and its bias": (
        lambda: relay.add(
            relay.qnn.op.dense(
                relay.var("d", shape=(1, 6), dtype="int8"),
                relay.const(np.ones((3, 6), "int8")),
                relay.const(0),
                relay.const(0),
                relay.const(0.5),
                relay.const(0.5),
                units=3,
            ),
            relay.const(np.ones(3, "int32")),
        ),
        True,
    ),
    "slice of every axis, then a bias": (
        lambda: relay.add(relay.strided_slice(_conv(_nhwc(), 6), [0, 1, 1, 0], [1, 5, 5, 6]), _vector(6)),
        True,
    ),
    "transpose of the convolution": (lambda: relay.transpose(_conv(_nhwc(), 6), [0, -1, 1, 2]), False),
    "strided slice of the convolution": (lambda: relay.strided_slice(_conv(_nhwc(), 6), [0], [3], axes=[3]), False),
    "bias after a cast": (
        lambda: relay.add(relay.cast(_conv(_nhwc(), 6), "float16"), relay.const(np.ones(6, "float16"))),
        True,
    ),
    "quantize after the convolution": (lambda: _quantized(_conv(_nhwc(), 6)), True),
    "requantize and dequantize after the convolution": (
        lambda: relay.qnn.op.dequantize(_requantized(_conv(_nhwc(), 6)), relay.const(0.5), relay.const(0)),
        True,
    ),
    "quantized block": (lambda: _quantized_block(_nhwc_int8(), requantize_axis=-1), True),
    "quantized block, per-channel requantize": (lambda: _quantized_block(_nhwc_int8(), requantize_axis=3), True),
    "channel bias of full rank": (
        lambda: relay.add(_conv(_nhwc(), 6), relay.const(np.ones((1, 1, 1, 6), "float32"))),
        True,
    ),
    "scalar added": (lambda: relay.add(_conv(_nhwc(), 6), relay.const(1.0)), True),
    "max pool without output layout, then a bias": (
        lambda: relay.add(relay.nn.max_pool2d(_nhwc(), layout="NHWC"), _vector(4)),
        True,
    ),
    "global average pool without output layout": (lambda: relay.nn.global_avg_pool2d(_nhwc(), layout="NHWC"), True),
    "max pool": (lambda: relay.nn.max_pool2d(_nhwc(), layout="NHWC", out_layout="NHWC"), True),
    "NHWC resize": (lambda: relay.image.resize2d(_nhwc(), (16, 16), layout="NHWC"), True),
    "NCHW resize": (lambda: relay.image.resize2d(_nhwc(), (16, 16), layout="NCHW"), False),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_native_step_stands_in_only_where_it_knows_the_conversion(case):
    build, already = CASES[case]
    body = build()
    mod = relay.transform.InferType()(tvm.IRModule.from_expr(relay.Function(relay.analysis.free_vars(body), body)))
    assert _check(mod) == already


@pytest.mark.parametrize("name", MODELS + sorted(SAMPLES))
def test_native_step_gives_the_conversion_where_it_stands_in(name):
    network = SAMPLES[name]() if name in SAMPLES else to_relay(read_model(ROOT / "tests" / "models" / name))
    _check(expand_bias_adds(relay.transform.InferType()(network.mod)))


def test_native_step_gives_the_conversion_on_random_networks():
    stood_in = 0
    for seed in range(120):
        mod = networks.network(seed, (networks.conv_bias, networks.channel_bias))
        stood_in += mod is not None and _check(mod)
    assert stood_in > 10


FLOAT_MODELS = sorted(path.name for path in (ROOT / "tests" / "models" / "float").glob("*.tflite"))


@pytest.mark.parametrize("name", FLOAT_MODELS)
def test_float32_preparation_is_the_same_with_the_pass(name, monkeypatch):
    """TFLite float32 networks (pools without an output layout, reductions,
    concatenations, squeeze-and-excite gates folded into weights, dense
    classifiers): the native step stands in, and the preparation ends where
    it ends with TVM's pass."""
    network = to_relay(read_model(ROOT / "tests" / "models" / "float" / name))
    mod = bind_params(relay.transform.InferType()(network.mod), network.params)
    stood_in = []
    native_step = _native.layouts_normalized

    def spied(function, layouts):
        normalized = native_step(function, layouts)
        stood_in.append(normalized is not None)
        return normalized

    monkeypatch.setattr(_native, "layouts_normalized", spied)
    native = prepare_fp32(mod)
    monkeypatch.setattr(_native, "layouts_normalized", lambda function, layouts: None)
    with_pass = prepare_fp32(mod)
    assert stood_in and all(stood_in)
    assert_typed_as_inferred(native, with_pass)


def test_native_step_gives_the_conversion_on_random_layout_runs():
    stood_in = 0
    for seed in range(200):
        mod = layout_networks.network(seed)
        stood_in += mod is not None and _check(mod)
    assert stood_in > 150
