"""Small random typed NHWC networks for the layout step: a convolution
followed by a random run of the operators that a known layout reaches in
TFLite networks (element-wise operators, pools without an output layout,
reductions over axes counted either way, concatenations, squeezes, slices,
quantize / requantize / dequantize runs, channel biases and scales, a
reshape and a dense classifier)."""

import numpy as np
import tvm
from bias_forms_networks import typed
from tvm import relay


def _vector(rng, size, dtype="float32"):
    return relay.const(rng.standard_normal(size).astype(dtype))


def _conv(rng, channels):
    x = relay.var("x", shape=(1, 6, 6, 3))
    weight = relay.const(rng.standard_normal((3, 3, 3, channels)).astype("float32"))
    return relay.nn.conv2d(
        x, weight, channels=channels, kernel_size=(3, 3), padding=(1, 1), data_layout="NHWC", kernel_layout="HWIO"
    )


def _axes(rng, axes, rank):
    return [axis - rank if rng.random() < 0.5 else axis for axis in axes]


def _quantized_run(rng, x):
    """A quantize, a requantize (its axis counted from the back), or both, then
    a dequantize."""
    scale, zero = relay.const(0.5), relay.const(0)
    choice = int(rng.integers(3))
    q = relay.qnn.op.quantize(x, scale, zero, out_dtype="int8") if choice < 2 else relay.cast(x, "int8")
    if choice > 0:
        q = relay.qnn.op.requantize(relay.cast(q, "int32"), scale, zero, relay.const(0.25), zero, out_dtype="int8")
    return relay.qnn.op.dequantize(q, relay.const(0.25), zero)


def _step4(rng, x, channels):
    """One operator on an NHWC tensor: (result, rank, channels)."""
    choice = int(rng.integers(11))
    if choice == 0:
        return relay.nn.relu(x), 4, channels
    if choice == 1:
        return relay.sigmoid(x), 4, channels
    if choice == 2:
        pool = relay.nn.max_pool2d if rng.random() < 0.5 else relay.nn.avg_pool2d
        return pool(x, pool_size=(2, 2), layout="NHWC"), 4, channels
    if choice == 3:
        keep = rng.random() < 0.6
        return relay.mean(x, axis=_axes(rng, [1, 2], 4), keepdims=keep), 4 if keep else 2, channels
    if choice == 4:
        return relay.concatenate([x, x], axis=-1 if rng.random() < 0.5 else 3), 4, 2 * channels
    if choice == 5:
        bias = _vector(rng, channels) if rng.random() < 0.7 else _vector(rng, (1, 1, 1, channels))
        return (relay.add(x, bias) if rng.random() < 0.7 else relay.multiply(bias, x)), 4, channels
    if choice == 6:
        return _quantized_run(rng, x), 4, channels
    if choice == 7:
        pooled = relay.mean(x, axis=[1, 2], keepdims=True)
        if rng.random() < 0.5:
            return relay.squeeze(pooled, axis=_axes(rng, [1, 2], 4)), 2, channels
        return relay.squeeze(pooled), 1, channels  # every unit axis: the batch too
    if choice == 8:
        return relay.strided_slice(x, [0, 1, 1, 0], [1, 3, 3, channels]), 4, channels
    if choice == 9:
        return relay.nn.pad(x, ((0, 0), (1, 1), (1, 1), (0, 0))), 4, channels
    return relay.reshape(x, (1, -1)), 0, 0  # a length that later steps do not follow


def _step2(rng, x, channels):
    """One operator on a (1, channels) tensor."""
    choice = int(rng.integers(4))
    if choice == 0:
        return relay.add(x, _vector(rng, channels)), 2, channels
    if choice == 1:
        units = int(rng.choice([3, 5]))
        weight = relay.const(rng.standard_normal((units, channels)).astype("float32"))
        return relay.nn.dense(x, weight), 2, units
    if choice == 2:
        return relay.nn.softmax(x), 2, channels
    return relay.nn.relu(x), 2, channels


def network(seed):
    """A typed module: a convolution, then two to five random operators."""
    rng = np.random.default_rng(seed)
    channels = int(rng.choice([2, 4]))
    x, rank = _conv(rng, channels), 4
    for _ in range(int(rng.integers(2, 6))):
        if rank == 4:
            x, rank, channels = _step4(rng, x, channels)
        elif rank == 2:
            x, rank, channels = _step2(rng, x, channels)
        else:
            break  # a rank-1 squeeze or a reshape ends the run
    try:
        return typed(relay.Function(relay.analysis.free_vars(x), x))
    except tvm.TVMError:
        return None
