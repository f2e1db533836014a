"""Fusion with one shared input: which variables are inputs, inputs of
another type refused, and the fused networks built and run against the
networks alone."""

import numpy as np
import pytest
import tvm
from graphmeld_networks import SHAPE, module
from tvm import relay

from vexa_host import annotation_standin
from vexatvm_internal import graphmeld

TARGET = "llvm -mtriple=x86_64-linux-gnu"


@pytest.fixture(autouse=True)
def tuple_annotation(monkeypatch):
    monkeypatch.setattr(relay.annotation, "tuple_graphmeld", annotation_standin.tuple_graphmeld, raising=False)


def run(mod, *inputs):
    """The outputs of `mod` on `inputs`, as a list of arrays."""
    result = relay.create_executor("vm", mod=mod, target=TARGET).evaluate()(*inputs)
    return [field.numpy() for field in result] if isinstance(result, tvm.runtime.container.ADT) else [result.numpy()]


def negated(shape=SHAPE, dtype="float32"):
    data = relay.var("data", shape=shape, dtype=dtype)
    return module([data], relay.negative(data))


def quantized(scale, shape=SHAPE, dtype="float32", out_dtype="uint8"):
    data = relay.var("data", shape=shape, dtype=dtype)
    q = relay.qnn.op.quantize(data, relay.const(scale), relay.const(0), out_dtype=out_dtype)
    return module([data], relay.cast(q, "float32"))


@pytest.mark.parametrize(
    "other, first_type, other_type",
    [
        (negated((2, 3)), "Tensor[(1, 4, 8, 8), float32]", "Tensor[(2, 3), float32]"),
        (negated(dtype="int32"), "Tensor[(1, 4, 8, 8), float32]", "Tensor[(1, 4, 8, 8), int32]"),
        # Broadcasting would let type inference accept it, and change the output's shape.
        (negated((1, 4, 1, 1)), "Tensor[(1, 4, 8, 8), float32]", "Tensor[(1, 4, 1, 1), float32]"),
    ],
)
def test_raw_inputs_of_another_type_are_refused(other, first_type, other_type):
    with pytest.raises(TypeError) as info:
        graphmeld.fuse_graphmeld([negated(), negated(), other], [{}, {}, {}], True)
    message = str(info.value)
    assert "data_3 of network 3 (mod_list[2])" in message and other_type in message
    assert "data_1 of network 1 (mod_list[0])" in message and first_type in message
    assert "\n" not in message


@pytest.mark.parametrize(
    "other, text",
    [
        (quantized(0.5, shape=(1, 4, 1, 1)), "Tensor[(1, 4, 1, 1), float32]"),
        (quantized(0.5, out_dtype="int8"), "quantized to Tensor[(1, 4, 8, 8), int8]"),
    ],
)
def test_quantized_inputs_of_another_type_are_refused(other, text):
    with pytest.raises(TypeError, match="network 2 .mod_list.1..") as info:
        graphmeld.fuse_graphmeld([quantized(0.25), other], [{}, {}], True)
    assert text in str(info.value) and "quantized to Tensor[(1, 4, 8, 8), uint8]" in str(info.value)


def test_same_typed_networks_share_and_compute_as_alone():
    data = np.random.default_rng(0).normal(size=SHAPE).astype("float32")
    weight = relay.var("w", shape=SHAPE)
    x = relay.var("data", shape=SHAPE)
    weighted = module([x, weight], relay.add(relay.nn.relu(x), weight))
    w = np.full(SHAPE, 3, "float32")
    fused, _ = graphmeld.fuse_graphmeld([negated(), weighted], [{}, {"w": w}], True)
    assert [p.name_hint for p in fused["main"].params] == ["data_1", "w_2"]
    outputs = run(fused, data, w)
    np.testing.assert_array_equal(outputs[0], run(negated(), data)[0])
    np.testing.assert_array_equal(outputs[1], run(weighted, data, w)[0])


def let_network():
    d, t = relay.var("data", shape=SHAPE), relay.var("t", shape=SHAPE)
    return module([d], relay.Let(t, relay.negative(d), relay.negative(t)))


def inner_function_network():
    d, y = relay.var("data", shape=SHAPE), relay.var("y", shape=SHAPE)
    inner = relay.Function([y], relay.negative(relay.sigmoid(y)))
    return module([d], relay.nn.relu(relay.Call(inner, [d])))


@pytest.mark.parametrize("network", [let_network, inner_function_network])
@pytest.mark.parametrize("count", [1, 2])
def test_bound_variables_are_not_inputs(network, count):
    data = np.random.default_rng(1).normal(size=SHAPE).astype("float32")
    fused, _ = graphmeld.fuse_graphmeld([network() for _ in range(count)], [{}] * count, True)
    assert [p.name_hint for p in fused["main"].params] == ["data_1"]
    expected = run(network(), data)[0]
    for output in run(fused, data):
        np.testing.assert_allclose(output, expected, rtol=1e-6)


def test_every_network_quantizes_with_the_first_networks_scale():
    data = np.random.default_rng(2).uniform(0, 50, size=SHAPE).astype("float32")
    fused, _ = graphmeld.fuse_graphmeld([quantized(0.25), quantized(0.5)], [{}, {}], True)
    first, second = run(fused, data)
    np.testing.assert_array_equal(first, run(quantized(0.25), data)[0])
    np.testing.assert_array_equal(second, first)
