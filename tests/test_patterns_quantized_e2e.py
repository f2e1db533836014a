"""Quantized networks shaped like TVM's PyTorch and TFLite imports, partitioned
with the registered tables.

PyTorch imports (NCHW) go through the host flow `partition_for_vexa` (NHWC
preparation, then the partition driver).  TFLite imports are NHWC already and
go to the partition driver directly: the flow's preparation rewrites every
nn.bias_add into a broadcast add, and the TFLite convolution and dense
entries accept only nn.bias_add.

Run as a program, it prints for each network the composites formed, the share
of operator calls that ended inside composites and the operators left outside.
"""

import collections
import sys

import numpy as np
import ops_networks as nets
import pytest
from tvm import relay
from tvm.relay.op.contrib import get_pattern_table
from tvm.relay.vexa.build_module import BuildConfig

import vexatvm_internal.patterns  # noqa: F401  (registers the tables)
from vexa_host.flow import partition_for_vexa
from vexa_host.partition import partition

ARCH = "vexa-lite"  # 16 channels


def nchw(channels=16, size=16, dtype="uint8", name="x"):
    return relay.var(name, shape=(1, channels, size, size), dtype=dtype)


def nhwc(channels=16, size=16, dtype="uint8", name="x"):
    return relay.var(name, shape=(1, size, size, channels), dtype=dtype)


def partitioned(expr, table="vexa", route="flow"):
    mod = nets.typed_module(expr)
    with BuildConfig(arch_config={"arch": ARCH}):
        if route == "flow":
            return partition_for_vexa(mod, table=table)
        return partition(mod, get_pattern_table(table))


def summary(expr, table="vexa", route="flow"):
    """(composites formed, operators left outside, share of calls inside composites)."""
    mod = partitioned(expr, table, route)
    formed, outside = nets.composites(mod)
    inside = nets.calls_inside_composites(mod)
    return formed, outside, inside / (inside + len(outside))


# --- networks as the importers give them --------------------------------------


def pytorch_network():
    """A quantized torchvision-style network (PyTorch importer, NCHW)."""
    x = nets.quantize(relay.var("input", shape=(1, 16, 16, 16)))
    c1 = nets.pytorch_conv(x, 16, 16)
    pooled = nets.pytorch_maxpool(c1)
    c3 = nets.pytorch_conv(nets.pytorch_conv(pooled, 16, 16), 16, 16)
    residual = relay.clip(nets.qnn_add(c3, pooled), 0, 255)
    depthwise = nets.pytorch_conv(residual, 16, 16, groups=16)
    grouped = nets.pytorch_conv(depthwise, 16, 32, groups=2)
    hswish = nets.pytorch_hswish_conv(grouped, 32)
    cat = nets.pytorch_concat([hswish, grouped])
    c4 = nets.pytorch_conv(cat, 64, 16)
    up = nets.pytorch_upsample(c4, (16, 16))
    gate = nets.qnn_mul(up, up)
    pool = nets.pytorch_adaptive_avg_pool(gate)
    return nets.dequantize(nets.pytorch_linear(pool, 16, 10))


def tflite_network():
    """A quantized MobileNet-style network (TFLite importer, NHWC)."""
    x = nets.quantize(relay.var("input", shape=(1, 16, 16, 16)))
    t1 = nets.tflite_conv(x, 16, 16)
    t2 = nets.tflite_conv(t1, 16, 16, clip=False)
    act = nets.tflite_silu(nets.tflite_hswish(nets.leaky_relu(t2)))
    pooled = nets.tflite_avg_pool(act)
    up = nets.upsampling_nearest(pooled, (16, 16))
    pooled = nets.maxpool(up, padded=True)
    return nets.dequantize(nets.qnn_fc(nets.mean(pooled), 16, 10, form="tflite"))


NETWORKS = {"pytorch": (pytorch_network, "vexa_with_fc", "flow"), "tflite": (tflite_network, "vexa_with_fc", "flow")}

EXPECTED = {
    "pytorch": {
        "vexa.qnn_conv": 6,
        "vexa.qnn_conv_hswish_requant": 1,
        "vexa.maxpool2d": 1,
        "vexa.qnn_add": 1,
        "vexa.concat": 1,
        "vexa.avg_pooling2d": 1,
        "vexa.upsampling": 1,
        "vexa.qnn_fc": 1,
    },
    "tflite": {
        "vexa.qnn_tflite_qconv": 2,
        "vexa.leaky_relu": 1,
        "vexa.tflite_hswish": 1,
        "vexa.tflite_silu": 1,
        "vexa.avg_pooling2d": 1,
        "vexa.upsampling_nearest": 1,
        "vexa.maxpool2d": 1,
        "vexa.mean": 1,
        "vexa.qnn_fc": 1,
    },
}


# Besides the network's own input quantize and output dequantize, what the
# tables leave outside.
LEFT_OUTSIDE = {
    "pytorch": {
        # the input's conversion to NHWC, and the conversions ConvertLayout
        # leaves around operators it keeps in NCHW (the multiply below; a
        # pair around per-tensor element-wise operators cancels in the host's
        # preparation)
        "layout_transform": 2,
        # a multiply of two tensors has no entry of its own
        "qnn.mul": 1,
    },
    "tflite": {},
}


@pytest.mark.parametrize("name", sorted(NETWORKS))
def test_importer_networks_end_inside_composites(name):
    make, table, route = NETWORKS[name]
    formed, outside, share = summary(make(), table, route)
    assert collections.Counter(formed) == EXPECTED[name]
    own = collections.Counter({"qnn.quantize": 1, "qnn.dequantize": 1})
    assert collections.Counter(outside) - own == collections.Counter(LEFT_OUTSIDE[name])


# --- each composite: a network where it forms, a near miss where it does not --

X, Y = nchw, nhwc


def tflite_conv_with_broadcast_bias():
    weight = relay.const(np.ones((3, 3, 16, 16), "int8"))
    conv = nets.qnn_conv(Y(), 16, 16, weight=weight)
    return relay.clip(nets.requantize(relay.add(conv, relay.const(np.zeros(16, "int32")))), 0, 255)


def pytorch_pair():
    return nets.pytorch_maxpool(X()), nets.pytorch_maxpool(X(name="y"))


def conv_pair():
    """Two convolution outputs: NHWC once prepared, as the concatenation's inputs."""
    return nets.pytorch_conv(X(), 16, 16), nets.pytorch_conv(X(name="y"), 16, 16)


# PyTorch-shaped (NCHW) networks go through the flow, TFLite-shaped (NHWC)
# ones to the driver.
FLOW, DRIVER = "flow", "driver"

CASES = [
    # composite, table, route, where it forms, near miss
    (
        "vexa.qnn_conv",
        "vexa",
        FLOW,
        lambda: nets.pytorch_conv(X(), 16, 16),
        lambda: nets.pytorch_conv(X(6), 6, 12, groups=3),
    ),
    (
        "vexa.qnn_conv",
        "vexa",
        FLOW,
        lambda: nets.pytorch_conv(X(32), 32, 32, groups=2),
        lambda: nets.pytorch_conv(X(64), 64, 64, groups=2),  # 32 channels a group: 16 is no multiple
    ),
    (
        "vexa.qnn_conv_hswish_requant",
        "vexa",
        FLOW,
        lambda: nets.pytorch_hswish_conv(X(), 16),
        lambda: nets.pytorch_hswish_conv(X(), 16, same_conv=False),
    ),
    ("vexa.qnn_tflite_qconv", "vexa", DRIVER, lambda: nets.tflite_conv(Y(), 16, 16), tflite_conv_with_broadcast_bias),
    (
        "vexa.qnn_add",
        "vexa",
        FLOW,
        lambda: relay.clip(nets.qnn_add(*pytorch_pair()), 0, 255),
        lambda: nets.qnn_add(nets.pytorch_maxpool(X()), nets.pytorch_maxpool(X(size=2, name="y"))),  # broadcast
    ),
    (
        "vexa.concat",
        "vexa",
        FLOW,
        lambda: nets.pytorch_conv(nets.pytorch_concat(conv_pair()), 32, 16),
        lambda: nets.pytorch_conv(nets.pytorch_concat(conv_pair()), 32, 32, groups=2),
    ),
    (
        "vexa.concat",
        "vexa",
        FLOW,
        lambda: nets.pytorch_concat([X(name=f"x{i}") for i in range(7)]),
        lambda: nets.pytorch_concat([X(name=f"x{i}") for i in range(8)]),
    ),
    (
        "vexa.upsampling",
        "vexa",
        DRIVER,
        lambda: nets.upsampling(Y()),
        lambda: relay.image.resize2d(nets.dequantize(Y()), (32, 32), layout="NHWC", method="linear"),
    ),
    (
        "vexa.upsampling_nearest",
        "vexa",
        FLOW,
        lambda: relay.image.resize2d(X(), (32, 32), method="nearest_neighbor", rounding_method="round"),
        lambda: relay.image.resize2d(X(), (32, 32), method="nearest_neighbor", rounding_method="floor"),
    ),
    ("vexa.maxpool2d", "vexa", FLOW, lambda: nets.pytorch_maxpool(X()), lambda: relay.nn.global_max_pool2d(X())),
    (
        "vexa.leaky_relu",
        "vexa",
        DRIVER,
        lambda: nets.leaky_relu(Y()),
        lambda: relay.nn.leaky_relu(nets.dequantize(Y()), 0.1),
    ),
    (
        "vexa.tflite_silu",
        "vexa",
        DRIVER,
        lambda: nets.tflite_silu(Y()),
        lambda: nets.qnn_mul(Y(name="y"), nets.quantize(relay.sigmoid(nets.dequantize(Y())))),
    ),
    (
        "vexa.tflite_hswish",
        "vexa",
        DRIVER,
        lambda: nets.tflite_hswish(Y(), requantized=True),
        lambda: nets.tflite_hswish(Y(), same_dequantize=False),
    ),
    (
        "vexa.avg_pooling2d",
        "vexa",
        DRIVER,
        lambda: nets.tflite_avg_pool(Y()),
        lambda: nets.tflite_avg_pool(Y(), pads=1),
    ),
    (
        "vexa.avg_pooling2d",
        "vexa",
        FLOW,
        lambda: nets.pytorch_adaptive_avg_pool(X()),
        lambda: relay.nn.adaptive_avg_pool2d(relay.cast(X(), "int32"), (1, 1)),
    ),
    (
        "vexa.mean",
        "vexa",
        DRIVER,
        lambda: nets.mean(Y()),
        lambda: nets.requantize(relay.mean(Y(), axis=[1, 2], keepdims=True)),
    ),
    (
        "vexa.clip",
        "vexa_with_clip",
        FLOW,
        lambda: relay.clip(nets.pytorch_maxpool(X()), 0, 6),
        lambda: nets.pytorch_conv(X(), 16, 16),  # its clips belong to the convolution
    ),
    (
        "vexa.qnn_fc",
        "vexa_with_fc",
        DRIVER,
        lambda: nets.qnn_fc(Y(), 16 * 16 * 16, 10, form="tflite"),
        lambda: nets.qnn_fc(Y(), 16 * 16 * 16, 10, bias=False),
    ),
]


@pytest.mark.parametrize("composite, table, route, forms, misses", CASES, ids=[c[0] for c in CASES])
def test_composite_forms_and_near_miss_does_not(composite, table, route, forms, misses):
    assert composite in nets.composites(partitioned(forms(), table, route))[0]
    assert composite not in nets.composites(partitioned(misses(), table, route))[0]


def test_rejected_grouped_convolution_stays_outside_with_its_chain():
    formed, outside, _ = summary(nets.pytorch_conv(X(64), 64, 64, groups=2))
    assert formed == [] and "qnn.conv2d" in outside and "qnn.requantize" in outside


def test_target_query_follows_the_active_configuration():
    mod = nets.typed_module(nets.pytorch_conv(X(32), 32, 32, groups=2))
    verdicts = {}
    for arch in ("vexa-nano", "vexa-lite", "vexa-pro", "vexa-max"):
        with BuildConfig(arch_config={"arch": arch}):
            verdicts[arch] = "vexa.qnn_conv" in nets.composites(partition_for_vexa(mod))[0]
    # 16 channels a group: the target's width must be a multiple of 16 and at most 32
    assert verdicts == {"vexa-nano": False, "vexa-lite": True, "vexa-pro": True, "vexa-max": False}


def test_check_errors_reach_the_caller():
    mod = nets.typed_module(nets.pytorch_conv(X(32), 32, 32, groups=2))
    with BuildConfig(arch_config={"no arch": 1}), pytest.raises(KeyError):
        partition_for_vexa(mod)


def main():
    for name, (make, table, route) in sorted(NETWORKS.items()):
        formed, outside, share = summary(make(), table, route)
        total = nets.calls_inside_composites(partitioned(make(), table, route)) + len(outside)
        print(f"{name} ({table}, {route}): {total} operator calls, {share:.1%} inside composites")
        print("  composites:", dict(sorted(collections.Counter(formed).items())))
        print("  left outside:", dict(sorted(collections.Counter(outside).items())))


if __name__ == "__main__":
    sys.exit(main())
