"""Small random typed networks holding the bias forms of the preparation and
their near misses: convolution and dense biases of every shape and side, a
requantized ReLU with matching and mismatching bounds and zero points,
float32 channel biases, operators shared with a second consumer."""

import numpy as np
import tvm
from tvm import relay


def _const(rng, shape, dtype):
    if dtype.startswith("float"):
        return relay.const(rng.standard_normal(shape).astype(dtype))
    return relay.const(rng.integers(-20, 20, size=shape).astype(dtype))


def _scalar(value, dtype):
    return relay.const(np.array(value, dtype))


def _qconv(rng, channels, layout):
    data_shape = (1, 4, 4, 3) if layout == "NHWC" else (1, 3, 4, 4)
    kernel_shape = (1, 1, 3, channels) if layout == "NHWC" else (channels, 3, 1, 1)
    x = relay.var("x", shape=data_shape, dtype="int8")
    return relay.qnn.op.conv2d(
        x,
        _const(rng, kernel_shape, "int8"),
        _scalar(0, "int32"),
        _scalar(0, "int32"),
        _scalar(0.5, "float32"),
        _scalar(0.25, "float32"),
        kernel_size=(1, 1),
        channels=channels,
        data_layout=layout,
        kernel_layout="HWIO" if layout == "NHWC" else "OIHW",
    )


def _biased(rng, data, bias):
    return relay.add(bias, data) if rng.random() < 0.3 else relay.add(data, bias)


def conv_bias(rng):
    channels = int(rng.choice([1, 4]))
    layout = "NHWC" if rng.random() < 0.85 else "NCHW"
    conv = _qconv(rng, channels, layout)
    shapes = [(channels,), (1, 1, 1, channels), (1, 1, 1, 1), (1, 4, 1, channels)]
    bias = _const(rng, shapes[rng.integers(len(shapes))], "int32")
    if rng.random() < 0.15:  # a computed bias
        bias = relay.qnn.op.quantize(
            _const(rng, (channels,), "float32"), _scalar(0.5, "float32"), _scalar(0, "int32"), out_dtype="int32"
        )
    outputs = [_biased(rng, conv, bias)]
    if rng.random() < 0.15:
        outputs.append(conv)  # the convolution also feeds another consumer
    return outputs


def dense_bias(rng):
    units = int(rng.choice([1, 5]))
    x = relay.var("d", shape=(2, 6), dtype="int8")
    dense = relay.qnn.op.dense(
        x,
        _const(rng, (units, 6), "int8"),
        _scalar(0, "int32"),
        _scalar(0, "int32"),
        _scalar(0.5, "float32"),
        _scalar(0.5, "float32"),
        units=units,
    )
    choice = rng.integers(4)
    if choice == 0:
        expanded = relay.expand_dims(relay.var("b", shape=(units,), dtype="int32"), axis=int(rng.choice([0, 0, 1])))
        bias = expanded if rng.random() < 0.9 else relay.reshape(expanded, (1, units))
    elif choice == 1:
        bias = relay.expand_dims(_const(rng, (units,), "int32"), axis=0)
    else:
        bias = _const(rng, [(1, units), (units,)][choice - 2], "int32")
    outputs = [_biased(rng, dense, bias)]
    if rng.random() < 0.15:
        outputs.append(dense if rng.random() < 0.5 or choice != 0 else bias)
    return outputs


def requantized_relu(rng):
    out_dtype = str(rng.choice(["uint8", "int32", "int16"])) if rng.random() < 0.3 else "int8"
    x = relay.var("r", shape=(1, 2, 2, 4), dtype="int32")
    in_zp = int(rng.choice([0, 3]))
    out_zp = int(rng.choice([-5, 0, 200])) if out_dtype != "uint8" else int(rng.choice([0, 7, 300]))
    bound = in_zp if rng.random() < 0.8 else in_zp + 1
    per_channel = rng.random() < 0.3
    in_zp_const = relay.const(np.full((4,), in_zp, "int32")) if per_channel else _scalar(in_zp, "int32")
    if per_channel and rng.random() < 0.3:
        in_zp_const = relay.const(np.array([in_zp, in_zp, in_zp, in_zp + 1], "int32"))
    data = x
    for _ in range(int(rng.choice([1, 1, 2]))):
        data = relay.maximum(data, _scalar(bound, "int32"))
    scales = relay.const(np.full((4,), 0.5, "float32")) if per_channel else _scalar(0.5, "float32")
    requantized = relay.qnn.op.requantize(
        data, scales, in_zp_const, _scalar(0.25, "float32"), _scalar(out_zp, "int32"), axis=3, out_dtype=out_dtype
    )
    outputs = [requantized]
    if rng.random() < 0.15:
        outputs.append(data)
    return outputs


def channel_bias(rng):
    channels = int(rng.choice([1, 4]))
    shape = [(1, 4, 4, channels), (1, 4, 4, 4), (1, 4, channels)][rng.integers(3)]
    data = relay.nn.relu(relay.var("f", shape=shape, dtype="float32"))
    bias_shapes = [(1, 1, 1, channels), (1, 1, 1, 1), (1, 4, 1, channels), (channels,)]
    dtype = "float32" if rng.random() < 0.9 else "float64"
    bias = _const(rng, bias_shapes[rng.integers(len(bias_shapes))], dtype)
    if dtype == "float64":
        data = relay.cast(data, "float64")
    return [_biased(rng, data, bias)]


def typed(function):
    return relay.transform.InferType()(tvm.IRModule.from_expr(function))


def network(seed, forms):
    """A typed module whose output is a tuple of the forms of `forms` built
    from random choices seeded by `seed`; None when the choices do not type."""
    rng = np.random.default_rng(seed)
    outputs = []
    for form in forms:
        for _ in range(int(rng.integers(1, 3))):
            outputs.extend(form(rng))
    body = relay.Tuple(outputs)
    function = relay.Function(relay.analysis.free_vars(body), body)
    try:
        return typed(function)
    except tvm.TVMError:
        return None  # a broadcast that does not type
