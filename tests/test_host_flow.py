"""partition_for_vexa: preparation of NCHW networks and the whole flow."""

import numpy as np
import pytest
import tvm
from tvm import relay
from tvm.relay.dataflow_pattern import is_constant, is_op, wildcard
from tvm.relay.op.contrib import register

from vexa_host import flow
from vexa_host.bias_forms import channel_bias_adds
from vexa_host.relay_traversal import find_call_of_type, get_consumers_mc


def calls_of(mod, op_name):
    found = []

    def visit(expr):
        if isinstance(expr, relay.Call) and getattr(expr.op, "name", "") == op_name:
            found.append(expr)

    relay.analysis.post_order_visit(mod["main"], visit)
    return found


def quantized_conv_module(groups=1):
    """uint8 NCHW input -> qnn.conv2d (quantized weight) -> bias_add -> requantize -> clip -> cast."""
    x = relay.var("x", shape=(1, 8, 16, 16), dtype="uint8")
    weight = relay.qnn.op.quantize(
        relay.const(np.ones((8, 8 // groups, 3, 3), "float32")), relay.const(0.1), relay.const(0), out_dtype="int8"
    )
    conv = relay.qnn.op.conv2d(
        x,
        weight,
        relay.const(0),
        relay.const(0),
        relay.const(0.1),
        relay.const(0.1),
        kernel_size=(3, 3),
        channels=8,
        groups=groups,
        padding=(1, 1),
        out_dtype="int32",
    )
    bias = relay.qnn.op.quantize(
        relay.const(np.ones(8, "float32")), relay.const(0.01), relay.const(0), out_dtype="int32"
    )
    out = relay.nn.bias_add(conv, bias)
    out = relay.qnn.op.requantize(
        out, relay.const(0.01), relay.const(0), relay.const(0.1), relay.const(0), out_dtype="int32"
    )
    out = relay.cast(relay.clip(out, 0, 255), "uint8")
    return tvm.IRModule.from_expr(relay.Function([x], out))


def test_quantized_preparation_gives_nhwc_with_the_bias_chain_and_no_folding():
    mod = flow.prepare_quantized(quantized_conv_module())
    (conv,) = calls_of(mod, "qnn.conv2d")
    assert conv.attrs.data_layout == "NHWC" and conv.attrs.kernel_layout == "HWIO"
    assert len(calls_of(mod, "qnn.quantize")) == 2  # weights are not folded
    (add,) = calls_of(mod, "add")
    transform = add.args[1]
    assert transform.op.name == "layout_transform" and transform.attrs.dst_layout == "NHWC"
    inner = transform.args[0]
    assert inner.op.name == "expand_dims" and inner.args[0].op.name == "expand_dims"
    assert not calls_of(mod, "nn.bias_add")


def float_module():
    """NCHW conv -> bias_add -> batch_norm -> relu -> max_pool -> conv -> bias_add, with parameters."""
    x = relay.var("x", shape=(1, 3, 16, 16))
    w1, b1 = relay.var("w1", shape=(8, 3, 3, 3)), relay.var("b1", shape=(8,))
    gamma, beta, mean, var = (relay.var(n, shape=(8,)) for n in ("gamma", "beta", "mean", "var"))
    w2, b2 = relay.var("w2", shape=(8, 8, 3, 3)), relay.var("b2", shape=(8,))
    y = relay.nn.bias_add(relay.nn.conv2d(x, w1, padding=(1, 1), channels=8, kernel_size=(3, 3)), b1)
    y = relay.nn.relu(relay.nn.batch_norm(y, gamma, beta, mean, var)[0])
    y = relay.nn.max_pool2d(y, pool_size=(2, 2), strides=(2, 2))
    y = relay.nn.bias_add(relay.nn.conv2d(y, w2, padding=(1, 1), channels=8, kernel_size=(3, 3)), b2)
    params = relay.analysis.free_vars(y)
    rng = np.random.default_rng(0)
    values = {
        p.name_hint: tvm.nd.array((rng.random([int(d) for d in p.type_annotation.shape]) + 0.5).astype("float32"))
        for p in params
        if p.name_hint != "x"
    }
    return tvm.IRModule.from_expr(relay.Function(params, y)), values


def test_float_preparation_folds_batch_norm_and_restores_nhwc_bias_adds():
    mod, params = float_module()
    mod = tvm.IRModule.from_expr(relay.build_module.bind_params_by_name(mod["main"], params))
    mod = flow.prepare_fp32(mod)
    assert not calls_of(mod, "nn.batch_norm") and not calls_of(mod, "multiply")
    for conv in calls_of(mod, "nn.conv2d"):
        assert conv.attrs.data_layout == "NHWC" and isinstance(conv.args[1], relay.Constant)
    assert calls_of(mod, "nn.max_pool2d")[0].attrs.layout == "NHWC"
    bias_adds = calls_of(mod, "nn.bias_add")
    assert bias_adds and not calls_of(mod, "add")
    for bias_add in bias_adds:
        assert bias_add.attrs.axis == 3 and bias_add.args[1].data.shape == (8,)
    assert len(calls_of(mod, "layout_transform")) == 2  # the input and the output only


@pytest.mark.parametrize(
    "data_shape, constant_shape, becomes_bias_add",
    [
        ((1, 4, 4, 8), (1, 1, 1, 8), True),
        ((2, 4, 4, 8), (1, 1, 1, 8), True),
        ((1, 4, 4, 8), (1, 1, 1, 1), False),  # a scalar broadcast, not a channel bias
        ((1, 4, 4, 1), (1, 1, 1, 8), False),  # broadcasting widens the data
        ((1, 4, 4, 8), (1, 4, 1, 8), False),
        ((1, 4, 8), (1, 1, 8), False),
    ],
)
@pytest.mark.parametrize("constant_first", [False, True])
def test_only_channel_bias_adds_become_bias_adds(data_shape, constant_shape, becomes_bias_add, constant_first):
    x = relay.var("x", shape=data_shape)
    data = relay.nn.relu(x)
    bias = relay.const(np.arange(np.prod(constant_shape), dtype="float32").reshape(constant_shape))
    out = relay.add(bias, data) if constant_first else relay.add(data, bias)
    mod = channel_bias_adds(relay.transform.InferType()(tvm.IRModule.from_expr(relay.Function([x], out))))
    body = mod["main"].body
    if becomes_bias_add:
        assert body.op.name == "nn.bias_add" and body.attrs.axis == 3
        assert body.args[0].op.name == "nn.relu"
        np.testing.assert_array_equal(body.args[1].data.numpy(), np.arange(8, dtype="float32"))
    else:
        assert body.op.name == "add"


@pytest.fixture
def test_tables(monkeypatch):
    """Registers tables under the package's names for this test only."""

    def install(name, table):
        monkeypatch.setitem(register._PATTERN_TABLES, name, table)

    return install


def quantized_test_table(seen):
    def requantize(x):
        return is_op("qnn.requantize")(x, wildcard(), wildcard(), wildcard(), wildcard())

    conv = is_op("qnn.conv2d")(wildcard(), wildcard(), *[is_constant() for _ in range(4)])
    conv = is_op("cast")(is_op("clip")(requantize(is_op("add")(conv, wildcard()))))

    def check_pool(extract):
        seen.append([c.op.name for c in get_consumers_mc(extract.args[0])])
        seen.append(len(find_call_of_type(extract.args[0], "qnn.conv2d")))
        return True

    return [("vexa.qnn_conv", conv), ("vexa.pool", is_op("nn.max_pool2d")(wildcard()), check_pool)]


def test_quantized_flow_offloads_the_table_regions_to_vexa(test_tables):
    seen = []
    test_tables("vexa", quantized_test_table(seen))
    mod = quantized_conv_module()
    x = mod["main"].params[0]
    mod = tvm.IRModule.from_expr(relay.Function([x], relay.nn.max_pool2d(mod["main"].body, pool_size=(2, 2))))
    result = flow.partition_for_vexa(mod)
    compilers = {str(f.attrs["Compiler"]) for _, f in result.functions.items() if f.attrs and "Compiler" in f.attrs}
    assert compilers == {"vexa"}
    text = result.astext()
    assert 'Composite="vexa.qnn_conv"' in text and 'Composite="vexa.pool"' in text
    assert seen == [["nn.max_pool2d"], 1]  # the pool's input is the composite convolution


def test_float_flow_binds_parameters_and_offloads_to_vexa_fp32(test_tables):
    conv = is_op("nn.conv2d")(wildcard(), is_constant())
    test_tables(
        "vexa_fp32",
        [("vexa_fp32.conv2d", conv), ("vexa_fp32.bias_add", is_op("nn.bias_add")(wildcard(), is_constant()))],
    )
    mod, params = float_module()
    before = mod["main"]
    result = flow.partition_for_vexa(mod, params, table="vexa_fp32")
    assert mod["main"].same_as(before)  # the caller's module is left as it was
    assert [p.name_hint for p in result["main"].params] == ["x"]
    compilers = {str(f.attrs["Compiler"]) for _, f in result.functions.items() if f.attrs and "Compiler" in f.attrs}
    assert compilers == {"vexa_fp32"}
    assert result.astext().count('Composite="vexa_fp32.bias_add"') == 3


def test_unknown_table_is_refused():
    with pytest.raises(ValueError, match="no_such_table"):
        flow.partition_for_vexa(quantized_conv_module(), table="no_such_table")
