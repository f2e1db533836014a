"""The rewrites of quantized networks compute exactly the integers of the
graphs they replace (both forms built and run on the same inputs), and
leave alone what they cannot replace exactly."""

import numpy as np
import pytest
from conftest import requires_tvm

pytestmark = requires_tvm

import tvm  # noqa: E402
from relay_run import op_names, run  # noqa: E402
from tvm import relay  # noqa: E402

from vexa_host.rewrites import rewrite_functions  # noqa: E402
from vexa_host.rewrites.batch_matmul_transposed import BatchMatmulTransposedB  # noqa: E402
from vexa_host.rewrites.division_between_quantizations import DivisionBetweenQuantizations, division_notes  # noqa: E402
from vexa_host.rewrites.native_forms import NativeForms  # noqa: E402
from vexa_host.rewrites.quantized_hswish import ConvHardSwishToEntryForm  # noqa: E402

RNG = np.random.default_rng(17)


def _module(body):
    return relay.transform.InferType()(tvm.IRModule.from_expr(relay.Function(relay.analysis.free_vars(body), body)))


def _integers(shape, dtype):
    info = np.iinfo(dtype)
    return RNG.integers(info.min, info.max + 1, size=shape).astype(dtype)


def _same_outputs(before, after, *inputs):
    np.testing.assert_array_equal(run(after, inputs), run(before, inputs))


def _q(x, scale, zero, dtype="uint8"):
    return relay.qnn.op.quantize(x, relay.const(scale), relay.const(zero), out_dtype=dtype)


def _dq(x, scale, zero):
    return relay.qnn.op.dequantize(x, relay.const(scale), relay.const(zero))


@pytest.mark.parametrize("batches", [1, 3])
def test_batch_matmul_gets_its_second_operand_transposed(batches):
    # Small integers in float32: every sum is exact in either order.
    a = relay.var("a", shape=(batches, 5, 8))
    b = relay.var("b", shape=(batches, 8, 6))
    before = _module(relay.nn.batch_matmul(a, b, transpose_b=False))
    after = rewrite_functions(before, BatchMatmulTransposedB)
    assert after["main"].body.attrs.transpose_b and "transpose" in op_names(after)
    inputs = [RNG.integers(-9, 10, size=shape).astype("float32") for shape in ((batches, 5, 8), (batches, 8, 6))]
    _same_outputs(before, after, *inputs)


def test_qdq_batch_matmul_goes_through_fake_quantization_to_integer():
    a = relay.var("a", shape=(1, 5, 8), dtype="uint8")
    weight = relay.const(_integers((1, 8, 6), "int8"))
    product = relay.nn.batch_matmul(
        _dq(a, 0.05, 128), relay.qnn.op.dequantize(weight, relay.const(0.01), relay.const(0)), transpose_b=False
    )
    mod = rewrite_functions(_module(_q(product, 0.2, 100)), BatchMatmulTransposedB)
    mod = relay.transform.InferType()(relay.transform.FakeQuantizationToInteger()(mod))
    assert "qnn.batch_matmul" in op_names(mod) and mod["main"].body.checked_type.dtype == "uint8"


@pytest.mark.parametrize(
    "value, scale, zero, dtype",
    [(3.0, 0.05, 0, "uint8"), (3.0, 0.0235, -128, "int8"), (-1.7, 0.01, 10, "int8"), (900.0, 0.5, 0, "int8")],
)
def test_quantized_scalar_constant_is_folded(value, scale, zero, dtype):
    x = relay.var("x", shape=(1, 4, 4, 8), dtype=dtype)
    three = _q(relay.const(value), scale, zero, dtype)
    before = _module(relay.qnn.op.add(x, three, *map(relay.const, (0.05, zero, scale, zero, 0.07, zero))))
    after = NativeForms("scalar_quantize_folded")(before)
    assert "qnn.quantize" not in op_names(after)
    _same_outputs(before, after, _integers((1, 4, 4, 8), dtype))


def test_quantized_weight_stays_a_quantize_call():
    weight = relay.const(RNG.standard_normal((4, 8)).astype("float32"))
    mod = NativeForms("scalar_quantize_folded")(_module(_q(weight, 0.01, 0, "int8")))
    assert op_names(mod) == ["qnn.quantize"]


def _float_pool(dtype, in_params, out_params, **pool):
    x = relay.var("x", shape=(1, 9, 9, 8), dtype=dtype)
    pooled = relay.nn.max_pool2d(_dq(x, *in_params), layout="NHWC", **pool)
    return _module(_q(pooled, *out_params, dtype))


@pytest.mark.parametrize(
    "dtype, in_params, out_params, pool, ops",
    [
        ("int8", (0.05, -3), (0.05, -3), {"pool_size": (2, 2), "strides": (2, 2)}, ["nn.max_pool2d"]),
        ("uint8", (0.05, 128), (0.05, 128), {"pool_size": (3, 3), "padding": (1, 1)}, ["nn.max_pool2d"]),
        (
            "int8",
            (0.05, -3),
            (0.02, 7),
            {"pool_size": (3, 3), "strides": (2, 2), "padding": (2, 2)},
            ["qnn.dequantize", "qnn.quantize", "nn.max_pool2d"],
        ),
        (
            "uint8",
            (0.1, 0),
            (0.037, 200),
            {"pool_size": (2, 2), "ceil_mode": True},
            ["qnn.dequantize", "qnn.quantize", "nn.max_pool2d"],
        ),
    ],
)
def test_float_max_pool_moves_after_the_quantize(dtype, in_params, out_params, pool, ops):
    before = _float_pool(dtype, in_params, out_params, **pool)
    after = NativeForms("max_pool_after_quantize")(before)
    assert op_names(after) == ops
    _same_outputs(before, after, _integers((1, 9, 9, 8), dtype))


def test_max_pool_whose_padding_fills_a_window_stays_float():
    before = _float_pool("int8", (0.05, 0), (0.05, 0), pool_size=(2, 2), padding=(2, 2))
    assert op_names(NativeForms("max_pool_after_quantize")(before)) == op_names(before)


def _resize(dtype, in_size, out_size, mode, rounding):
    x = relay.var("x", shape=(1, *in_size, 4), dtype=dtype)
    body = relay.image.resize2d(
        x,
        out_size,
        layout="NHWC",
        method="nearest_neighbor",
        coordinate_transformation_mode=mode,
        rounding_method=rounding,
    )
    return _module(body)


@pytest.mark.parametrize(
    "in_size, out_size", [((5, 7), (10, 14)), ((4, 3), (12, 6)), ((6, 6), (6, 24)), ((9, 10), (27, 40))]
)
@pytest.mark.parametrize("dtype", ["int8", "uint8"])
def test_asymmetric_nearest_resize_by_whole_factors_becomes_half_pixel(in_size, out_size, dtype):
    before = _resize(dtype, in_size, out_size, "asymmetric", "floor")
    after = NativeForms("nearest_resize_half_pixel")(before)
    attrs = after["main"].body.attrs
    assert (attrs.coordinate_transformation_mode, attrs.rounding_method) == ("half_pixel", "round_prefer_ceil")
    _same_outputs(before, after, _integers((1, *in_size, 4), dtype))


@pytest.mark.parametrize(
    "in_size, out_size, mode, rounding",
    [
        ((4, 4), (6, 6), "asymmetric", "floor"),
        ((4, 4), (8, 8), "asymmetric", "round_prefer_floor"),
        ((4, 4), (8, 8), "align_corners", "floor"),
    ],
)
def test_other_nearest_resizes_are_left_alone(in_size, out_size, mode, rounding):
    before = _resize("int8", in_size, out_size, mode, rounding)
    attrs = NativeForms("nearest_resize_half_pixel")(before)["main"].body.attrs
    assert (attrs.coordinate_transformation_mode, attrs.rounding_method) == (mode, rounding)


def _tiled(x, shape, down, across):
    n, h, w, c = shape
    rows = relay.reshape(relay.tile(relay.expand_dims(x, axis=2), (1, 1, down, 1, 1)), (n, h * down, w, c))
    return relay.reshape(
        relay.tile(relay.expand_dims(rows, axis=3), (1, 1, 1, across, 1)), (n, h * down, w * across, c)
    )


@pytest.mark.parametrize("down, across", [(2, 2), (3, 2), (1, 4)])
def test_tiled_upsampling_becomes_a_nearest_resize(down, across):
    shape = (1, 5, 6, 3)
    x = relay.var("x", shape=shape, dtype="int8")
    before = _module(_tiled(x, shape, down, across))
    after = NativeForms("tiled_upsampling_to_resize")(before)
    assert op_names(after) == ["image.resize2d"]
    _same_outputs(before, after, _integers(shape, "int8"))


def test_tiling_of_the_channels_is_no_upsampling():
    x = relay.var("x", shape=(1, 5, 6, 3), dtype="int8")
    rows = relay.reshape(relay.tile(relay.expand_dims(x, axis=2), (1, 1, 2, 1, 1)), (1, 10, 6, 3))
    before = _module(relay.reshape(relay.tile(relay.expand_dims(rows, axis=4), (1, 1, 1, 1, 2)), (1, 10, 6, 6)))
    assert "image.resize2d" not in op_names(NativeForms("tiled_upsampling_to_resize")(before))


def _transformed_division(scale, zero, divisor=6.0):
    x = relay.var("x", shape=(1, 6, 6, 8), dtype="uint8")
    nchw = relay.layout_transform(x, "NHWC", "NCHW")
    divided = relay.divide(relay.qnn.op.dequantize(nchw, relay.const(0.1), relay.const(20)), relay.const(divisor))
    return _module(relay.layout_transform(_q(divided, scale, zero), "NCHW", "NHWC"))


def test_layout_transforms_around_per_tensor_elementwise_operators_cancel():
    before = _transformed_division(0.02, 30)
    after = NativeForms("layout_transform_pair_cancelled")(before)
    assert op_names(after) == ["qnn.dequantize", "divide", "qnn.quantize"]
    _same_outputs(before, after, _integers((1, 6, 6, 8), "uint8"))


def test_layout_transform_cancelled_once_is_not_cancelled_again():
    # NHWC -> NCHW, dequantize, NCHW -> NHWC, quantize, NHWC -> NCHW: the
    # middle transform cancels with the first or the last, not with both.
    x = relay.var("x", shape=(1, 6, 7, 8), dtype="uint8")
    nhwc = relay.layout_transform(_dq(relay.layout_transform(x, "NHWC", "NCHW"), 0.1, 20), "NCHW", "NHWC")
    before = _module(relay.layout_transform(_q(nhwc, 0.05, 3), "NHWC", "NCHW"))
    after = NativeForms("layout_transform_pair_cancelled")(before)
    assert op_names(after) == ["qnn.dequantize", "qnn.quantize", "layout_transform"]
    _same_outputs(before, after, _integers((1, 6, 7, 8), "uint8"))


def test_layout_transforms_around_per_channel_operators_stay():
    x = relay.var("x", shape=(1, 6, 6, 8), dtype="uint8")
    nchw = relay.layout_transform(x, "NHWC", "NCHW")
    scales = relay.const(np.linspace(0.01, 0.08, 8).astype("float32"))
    dequantized = relay.qnn.op.dequantize(nchw, scales, relay.const(0), axis=1)
    before = _module(relay.layout_transform(_q(dequantized, 0.05, 0), "NCHW", "NHWC"))
    assert op_names(NativeForms("layout_transform_pair_cancelled")(before)).count("layout_transform") == 2


def _concatenated(channels, transformed, axis):
    """Inputs given in NHWC through a transform to NCHW, or already in NCHW."""
    inputs = [
        relay.var(f"x{i}", shape=(1, 4, 5, c) if nhwc else (1, c, 4, 5), dtype="uint8")
        for i, (c, nhwc) in enumerate(zip(channels, transformed))
    ]
    fields = [relay.layout_transform(x, "NHWC", "NCHW") if nhwc else x for x, nhwc in zip(inputs, transformed)]
    scales = [relay.const(0.01 * (i + 1)) for i in range(len(channels))]
    zeros = [relay.const(3 * i) for i in range(len(channels))]
    joined = relay.qnn.op.concatenate(fields, scales, zeros, relay.const(0.02), relay.const(7), axis=axis)
    return _module(relay.layout_transform(joined, "NCHW", "NHWC")), [x.type_annotation.concrete_shape for x in inputs]


@pytest.mark.parametrize("axis, transformed", [(1, [True] * 3), (-3, [True] * 2), (1, [True, False])])
def test_concatenation_inside_layout_transforms_joins_the_nhwc_tensors(axis, transformed):
    before, shapes = _concatenated([6, 2, 3][: len(transformed)], transformed, axis)
    after = NativeForms("concatenate_inside_layout_transforms")(before)
    assert ("layout_transform" not in op_names(after)) == all(transformed)
    _same_outputs(before, after, *[_integers(shape, "uint8") for shape in shapes])


@pytest.mark.parametrize(
    "scale, zero, removed",
    [(0.1 / 6, 20, True), (np.nextafter(np.float32(0.1 / 6), 1), 20, True), (0.017, 20, False), (0.1 / 6, 21, False)],
)
def test_division_between_quantizations_goes_only_where_it_gives_back_the_integers(scale, zero, removed):
    x = relay.var("x", shape=(1, 6, 6, 8), dtype="uint8")
    divided = relay.divide(_dq(x, 0.1, 20), relay.const(6.0))
    before = _module(_q(divided, float(scale), zero))
    after = rewrite_functions(before, DivisionBetweenQuantizations)
    assert ("divide" not in op_names(after)) == removed
    _same_outputs(before, after, _integers((1, 6, 6, 8), "uint8"))


def _qdq_hswish(dtype, conv_out, add_params, mul_out, with_clip=True, with_bias=True, three_first=False):
    """What FakeQuantizationToInteger makes of a QDQ convolution followed
    by x * relu6(x + 3) / 6."""
    low, high = (0, 255) if dtype == "uint8" else (-128, 127)
    x = relay.var("x", shape=(1, 6, 6, 4), dtype=dtype)
    weight = relay.const(_integers((3, 3, 4, 8), "int8"))
    conv = relay.qnn.op.conv2d(
        x,
        weight,
        relay.const(3),
        relay.const(0),
        relay.const(0.02),
        relay.const(np.linspace(0.004, 0.01, 8).astype("float32")),
        kernel_size=(3, 3),
        channels=8,
        padding=(1, 1),
        data_layout="NHWC",
        kernel_layout="HWIO",
    )
    if with_bias:
        conv = relay.nn.bias_add(conv, relay.const(RNG.integers(-3000, 3000, size=8).astype("int32")), axis=3)
    accumulator_scales = relay.const((0.02 * np.linspace(0.004, 0.01, 8)).astype("float32"))
    out = relay.qnn.op.requantize(
        conv, accumulator_scales, relay.const(0), *map(relay.const, conv_out), axis=3, out_dtype=dtype
    )
    three = relay.const(np.array(add_params[0], dtype))
    if three_first:
        added = relay.qnn.op.add(three, out, *map(relay.const, (*add_params[1:3], *conv_out, *add_params[3:])))
    else:
        added = relay.qnn.op.add(out, three, *map(relay.const, (*conv_out, *add_params[1:])))
    gate = (
        relay.clip(added, max(low, add_params[-1]), min(high, add_params[-1] + round(6 / add_params[-2])))
        if with_clip
        else added
    )
    product = relay.qnn.op.mul(out, gate, *map(relay.const, (*conv_out, *add_params[-2:], *mul_out)))
    divided = relay.divide(_dq(product, *mul_out), relay.const(6.0))
    return _module(_q(divided, mul_out[0] / 6.1, mul_out[1], dtype))


@pytest.mark.parametrize(
    "dtype, conv_out, add_params, mul_out, with_clip, with_bias, three_first",
    [
        ("uint8", (0.05, 120), (128, 0.0235, 0, 0.0235, 0), (0.1, 100), True, True, False),
        ("uint8", (0.05, 120), (128, 0.0235, 0, 0.05, 120), (0.07, 3), True, False, False),  # add keeps the scale
        ("int8", (0.03, -10), (0, 0.0235, -128, 0.031, -128), (0.09, -100), True, True, False),
        ("int8", (0.03, -10), (-40, 0.04, -100, 0.031, -128), (0.09, -100), False, True, False),
        ("int8", (0.03, -10), (0, 0.0235, -128, 0.031, -128), (0.09, -100), True, True, True),  # 3 + x
    ],
)
def test_qdq_hard_swish_takes_the_convolution_entry_form(
    dtype, conv_out, add_params, mul_out, with_clip, with_bias, three_first
):
    before = _qdq_hswish(dtype, conv_out, add_params, mul_out, with_clip, with_bias, three_first)
    after = rewrite_functions(before, ConvHardSwishToEntryForm)
    ops = op_names(after)
    assert "qnn.add" not in ops and ops.count("qnn.quantize") == (3 if with_bias else 2)
    _same_outputs(before, after, _integers((1, 6, 6, 4), dtype))
    assert [note.split(" (")[0] for note in division_notes(after)] == [
        "hard-swish: the division by 6 after a qnn.mul stays outside"
    ]


def test_preparation_failure_names_its_step():
    from vexa_host.flow import PreparationError, prepare_quantized

    x, y = relay.var("x", shape=(2, 3), dtype="int8"), relay.var("y", shape=(4, 5), dtype="int8")
    broken = tvm.IRModule.from_expr(relay.Function([x, y], relay.add(x, y)))
    with pytest.raises(PreparationError, match="type inference of the imported network") as failure:
        prepare_quantized(broken)
    assert isinstance(failure.value.__cause__, tvm.error.TVMError)
