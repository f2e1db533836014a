"""Quantized pooling, activation, resize, dense, clip and mean patterns, and
the nearest-neighbour resize check."""

from unittest import mock

import numpy as np
import ops_networks as nets
import pytest
from ops_networks import Proxy, call_of, typed_var
from tvm import relay

from vexatvm_internal import patterns


def x_nhwc(channels=16, dtype="uint8", name="x"):
    return relay.var(name, shape=(1, 8, 8, channels), dtype=dtype)


ENTRIES = {
    "vexa.avg_pooling2d": "make_avg_pooling_2d_pattern",
    "vexa.maxpool2d": "make_max_pool2d_pattern",
    "vexa.leaky_relu": "make_leaky_relu_pattern",
    "vexa.tflite_hswish": "make_tflite_hswish_pattern",
    "vexa.tflite_silu": "make_tflite_silu_pattern",
    "vexa.upsampling": "make_upsampling_pattern",
    "vexa.upsampling_nearest": "make_upsampling_nearest_pattern",
    "vexa.mean": "make_mean_pattern",
    "vexa.clip": "make_clip_pattern",
    "vexa.qnn_fc": "make_qnn_fc_pattern",
}


def formed(name, expr):
    """(composites formed, operators left outside) with the one entry `name`."""
    entry = (name, getattr(patterns, ENTRIES[name])())
    if name == "vexa.upsampling_nearest":
        entry += (patterns.check_upsampling_nearest,)
    return nets.partition_with(expr, [entry])


X = x_nhwc

CASES = [
    # entry, network, composites formed, operators left outside
    ("vexa.avg_pooling2d", lambda: nets.tflite_avg_pool(X(), pads=2), 1, []),
    ("vexa.avg_pooling2d", lambda: nets.tflite_avg_pool(X(), pads=1), 0, None),
    ("vexa.avg_pooling2d", lambda: nets.tflite_avg_pool(X(), pads=3), 1, ["nn.pad"]),
    ("vexa.avg_pooling2d", lambda: nets.adaptive_avg_pool(X()), 1, []),
    ("vexa.avg_pooling2d", lambda: nets.adaptive_avg_pool(X(), final_cast=False), 0, None),
    ("vexa.maxpool2d", lambda: nets.maxpool(X()), 1, []),
    ("vexa.maxpool2d", lambda: nets.maxpool(X(), padded=True), 1, []),  # the pad belongs to the match
    (
        "vexa.maxpool2d",
        lambda: nets.maxpool(nets.leaky_relu(X())),
        1,
        ["qnn.dequantize", "nn.leaky_relu", "qnn.quantize"],
    ),
    ("vexa.leaky_relu", lambda: nets.leaky_relu(X()), 1, []),
    ("vexa.leaky_relu", lambda: nets.quantize(relay.nn.relu(nets.dequantize(X()))), 0, None),
    ("vexa.tflite_hswish", lambda: nets.tflite_hswish(X()), 1, []),
    ("vexa.tflite_hswish", lambda: nets.tflite_hswish(X(), requantized=True), 1, []),
    ("vexa.tflite_hswish", lambda: nets.tflite_hswish(X(), same_dequantize=False), 0, None),
    ("vexa.tflite_silu", lambda: nets.tflite_silu(X()), 1, []),
    ("vexa.tflite_silu", lambda: relay.clip(nets.tflite_silu(X()), 0, 255), 1, []),
    (
        "vexa.tflite_silu",
        lambda: nets.qnn_mul(X(name="y"), nets.quantize(relay.sigmoid(nets.dequantize(X())))),
        0,
        None,
    ),
    ("vexa.upsampling", lambda: nets.upsampling(X()), 1, []),
    ("vexa.upsampling", lambda: nets.upsampling_nearest(X()), 0, None),
    ("vexa.upsampling_nearest", lambda: nets.upsampling_nearest(X()), 1, []),
    ("vexa.upsampling_nearest", lambda: nets.upsampling_nearest(nets.requantize(X())), 1, []),
    ("vexa.upsampling_nearest", lambda: nets.upsampling_nearest(X(dtype="int32")), 0, None),
    ("vexa.mean", lambda: nets.mean(X()), 1, []),
    ("vexa.mean", lambda: nets.requantize(relay.mean(X(), axis=[1, 2], keepdims=True)), 0, None),
    ("vexa.clip", lambda: relay.clip(X(), 0, 6), 1, []),
    ("vexa.qnn_fc", lambda: nets.qnn_fc(X(), 1024, 10), 1, []),
    ("vexa.qnn_fc", lambda: nets.qnn_fc(X(), 1024, 10, form="tflite"), 1, []),
    ("vexa.qnn_fc", lambda: nets.qnn_fc(X(), 1024, 10, tail=False), 1, []),
    ("vexa.qnn_fc", lambda: nets.qnn_fc(X(), 1024, 10, form="reshape"), 0, None),
    ("vexa.qnn_fc", lambda: nets.qnn_fc(X(), 1024, 10, bias=False), 0, None),
]


@pytest.mark.parametrize("name, make, count, outside", CASES)
def test_entry_forms_on_its_chain_and_not_on_near_misses(name, make, count, outside):
    names, left = formed(name, make())
    assert names == [name] * count
    if outside is not None:
        assert left == outside


def test_fc_without_clip_and_cast_leaves_them_outside():
    base = nets.qnn_fc(X(), 1024, 10, tail=False)
    names, left = formed("vexa.qnn_fc", relay.cast(relay.clip(relay.nn.relu(base), 0, 255), "uint8"))
    assert names == ["vexa.qnn_fc"] and left == ["nn.relu", "clip", "cast"]


def test_max_pool_input_is_one_object():
    pattern = patterns.make_max_pool2d_pattern()
    assert pattern.args[0].left.args[0].same_as(pattern.args[0].right)


def test_silu_multiplies_the_dequantized_input_itself(monkeypatch):
    calls = []
    original = patterns.make_qnn_mul_pattern
    monkeypatch.setattr(patterns, "make_qnn_mul_pattern", lambda *a: calls.append(a) or original(*a))
    patterns.make_tflite_silu_pattern()
    ((lhs, rhs),) = calls
    assert rhs.args[0].args[0].args[0].same_as(lhs)  # quantize(sigmoid(dequantize(lhs)))


@pytest.mark.parametrize("maker", sorted(ENTRIES.values()))
def test_makers_build_new_patterns_each_call(maker, monkeypatch):
    made = []
    original = patterns.wildcard
    monkeypatch.setattr(patterns, "wildcard", lambda: made.append(original()) or made[-1])
    first = getattr(patterns, maker)()
    count = len(made)
    second = getattr(patterns, maker)()
    assert count > 0 and len(made) == 2 * count and not first.same_as(second)


def test_wildcards_are_made_in_order_for_the_dense_chain(monkeypatch):
    made = []
    original = patterns.wildcard
    monkeypatch.setattr(patterns, "wildcard", lambda: made.append(original()) or made[-1])
    pattern = patterns.make_qnn_fc_pattern()
    tail, base = pattern.left, pattern.right
    assert tail.args[0].args[0].same_as(base)
    dense = base.args[0].args[0]
    squeeze_input, transpose_input = made[0], made[1]
    assert dense.args[0].left.args[0].args[0].same_as(squeeze_input)
    assert dense.args[0].right.args[0].args[0].args[0].same_as(transpose_input)


# --- check_upsampling_nearest ---------------------------------------------------


def resize(data, method="nearest_neighbor", rounding=""):
    return nets.infer(nets.upsampling_nearest(data, method=method, rounding=rounding))


VERDICTS = [
    (lambda: resize(X()), True),
    (lambda: resize(X(dtype="int8"), rounding="round"), True),
    (lambda: resize(X(), rounding="round_prefer_ceil"), True),
    (lambda: resize(X(), rounding="round_prefer_floor"), False),
    (lambda: resize(X(), rounding="floor"), False),
    (lambda: resize(X(dtype="int32")), False),
    (lambda: resize(X(dtype="float32")), False),
    (lambda: resize(X(), method="linear"), False),
    (lambda: resize(X(), method="cubic"), False),
    (lambda: resize(relay.const(np.zeros((1, 8, 8, 16), "uint8"))), False),
]


@pytest.mark.parametrize("make, verdict", VERDICTS)
def test_resize_check_verdicts_on_both_paths(make, verdict):
    expr = make()
    assert patterns.check_upsampling_nearest(expr) is verdict
    assert patterns.check_upsampling_nearest(Proxy(expr)) is verdict


def test_resize_check_follows_the_module_constant_binding(monkeypatch):
    expr = resize(X())
    monkeypatch.setattr(patterns, "Constant", relay.Var)
    assert patterns.check_upsampling_nearest(expr) is False  # the input is a variable: "constant" now
    monkeypatch.setattr(patterns, "Constant", 3)
    with pytest.raises(TypeError):
        patterns.check_upsampling_nearest(expr)


RESIZE_ATTRS = nets.upsampling_nearest(X()).attrs
UPSAMPLING_ATTRS = relay.nn.upsampling(X(), 2, 2, layout="NHWC", method="nearest_neighbor").attrs


@pytest.mark.parametrize(
    "value, error",
    [
        (None, AttributeError),
        (relay.var("v"), AttributeError),
        (object(), AttributeError),
        (nets.upsampling_nearest(X()), ValueError),  # untyped
        (call_of("image.resize2d", attrs=RESIZE_ATTRS), IndexError),
        (call_of("image.resize2d", None, attrs=RESIZE_ATTRS), AttributeError),  # a null argument
        (call_of("image.resize2d", typed_var((1, 8, 8, 16))), AttributeError),  # no attributes
        (call_of("nn.relu", typed_var((1, 8, 8, 16)), attrs=nets.qnn_conv(X(), 16, 16).attrs), AttributeError),
        (call_of("image.resize2d", typed_var((1, 8, 8, 16)), attrs=UPSAMPLING_ATTRS), AttributeError),  # no rounding
        (nets.infer(relay.Tuple([X()])), AttributeError),
    ],
)
def test_resize_check_odd_inputs_raise_python_errors(value, error):
    with pytest.raises(error):
        patterns.check_upsampling_nearest(value)


def test_resize_check_reads_mocks_through_python():
    assert patterns.check_upsampling_nearest(mock.MagicMock()) is False
    with pytest.raises(AttributeError):  # passes isinstance, but its handle is no address
        patterns.check_upsampling_nearest(mock.MagicMock(spec=relay.Call))
    node = mock.Mock()
    node.args = [mock.Mock()]
    node.args[0].checked_type.dtype = "uint8"
    node.attrs.get_str.side_effect = {"method": "nearest_neighbor", "rounding_method": "round"}.get
    assert patterns.check_upsampling_nearest(node) is True
    node.attrs.get_str.side_effect = {"method": "nearest_neighbor", "rounding_method": None}.get
    assert patterns.check_upsampling_nearest(node) is False


@pytest.mark.parametrize(
    "maker",
    [
        "make_leaky_relu_pattern",
        "make_upsampling_pattern",
        "make_tflite_silu_pattern",
        "make_qnn_fc_pattern",
        "make_qnn_conv_pattern",
    ],
)
def test_makers_take_the_quantize_pattern_by_its_module_name(maker, monkeypatch):
    calls = []
    original = patterns.make_qnn_quantize_pattern
    monkeypatch.setattr(patterns, "make_qnn_quantize_pattern", lambda x: calls.append(x) or original(x))
    getattr(patterns, maker)()
    assert calls
