"""Float32 networks partitioned end to end with the "vexa_fp32" table
through the host's float32 flow (partition_for_vexa)."""

import fp32_networks
import pytest
from tvm import relay
from tvm.relay import testing
from tvm.relay.vexa.build_module import BuildConfig

from vexa_host import flow
from vexa_host.partition import partition
from vexatvm_internal import patterns as P  # noqa: F401 - registers the tables

HEAD = {"nn.batch_flatten", "reshape", "nn.dense", "nn.softmax", "layout_transform"}

NETWORKS = {
    # name: (builder, operators that may stay outside composites)
    "resnet-18": (
        lambda: testing.resnet.get_workload(num_layers=18, batch_size=1, image_shape=(3, 32, 32)),
        # pre-activation blocks: the batch norm after a residual add is a bias
        # add of data that is no composite yet; the input batch norm scales a
        # variable.
        HEAD | {"nn.bias_add", "nn.relu", "add", "multiply"},
    ),
    "squeezenet": (lambda: testing.squeezenet.get_workload(batch_size=1, image_shape=(3, 64, 64)), HEAD),
    "dcgan": (
        lambda: testing.dcgan.get_workload(batch_size=1, ngf=16),
        # transposed convolutions and dense layers have no entry; so the
        # batch norms and ReLUs that follow them are never after a composite.
        HEAD | {"nn.conv2d_transpose", "add", "multiply", "nn.relu", "tanh"},
    ),
    "tflite-style": (lambda: fp32_networks.tflite_style(blocks=8, size=8), HEAD),
}


@pytest.fixture(scope="module")
def partitioned():
    """Each network through partition_for_vexa, with the composites as the
    partition driver formed them (before the regions are outlined)."""
    results = {}
    original = flow.partition

    def capturing(mod, table):
        capturing.merged = original(mod, table)
        return capturing.merged

    flow.partition = capturing
    try:
        with BuildConfig(arch_config={"arch": "vexa-max"}):
            for name, (build, _) in NETWORKS.items():
                mod, params = build()
                final = flow.partition_for_vexa(mod, params, table="vexa_fp32")
                results[name] = (final, capturing.merged)
    finally:
        flow.partition = original
    return results


def composite_calls(mod):
    calls = []
    for gvar in mod.get_global_vars():
        relay.analysis.post_order_visit(
            mod[gvar],
            lambda node: (
                calls.append(node)
                if isinstance(node, relay.Call) and isinstance(node.op, relay.Function) and "Composite" in node.op.attrs
                else None
            ),
        )
    return calls


@pytest.mark.parametrize("name", list(NETWORKS))
def test_network_partitions_and_leaves_only_expected_operators_outside(partitioned, name):
    final, merged = partitioned[name]
    counts = fp32_networks.census(merged)
    assert set(counts["outside"]) <= NETWORKS[name][1], counts["outside"]
    assert counts["composites"] == fp32_networks.census(final)["composites"]
    if name != "dcgan":
        assert counts["inside"] > sum(counts["outside"].values())
        assert "nn.conv2d" not in counts["outside"]


@pytest.mark.parametrize("name", list(NETWORKS))
def test_relu_and_bias_add_composites_follow_a_composite(partitioned, name):
    _, merged = partitioned[name]
    followers = 0
    for call in composite_calls(merged):
        if str(call.op.attrs["Composite"]) in ("vexa_fp32.relu", "vexa_fp32.bias_add"):
            followers += 1
            producer = call.args[0]
            assert isinstance(producer, relay.Call) and isinstance(producer.op, relay.Function)
            assert "Composite" in producer.op.attrs
    assert followers > 0 or name == "dcgan"


def test_every_float32_chain_forms_in_the_tflite_style_network(partitioned):
    counts = fp32_networks.census(partitioned["tflite-style"][1])
    assert set(counts["composites"]) == {
        "vexa_fp32." + kind
        for kind in (
            "conv2d",
            "bias_add",
            "maxpool2d",
            "leaky_relu",
            "silu",
            "hswish",
            "hswish_onnx",
            "res_add",
            "relu",
            "avg_pool2d_onnx",
            "upsampling",
            "hardtanh",
            "concatenate",
        )
    }
    assert set(counts["outside"]) == {"reshape", "nn.dense", "nn.softmax"}


def test_nchw_network_without_layout_conversion_keeps_its_bias_adds_and_relus():
    """Without the NHWC conversion the convolutions still form composites,
    but no bias add (a (C, 1, 1) constant) or ReLU after it is offloaded."""
    mod, params = testing.mobilenet.get_workload(batch_size=1, image_shape=(3, 32, 32))
    mod["main"] = relay.build_module.bind_params_by_name(mod["main"], params)
    mod = relay.transform.FoldConstant()(relay.transform.SimplifyInference()(relay.transform.InferType()(mod)))
    with BuildConfig(arch_config={"arch": "vexa-nano"}):
        merged = partition(mod, P.pattern_table_vexa_f32())
    counts = fp32_networks.census(merged)
    assert counts["composites"]["vexa_fp32.conv2d"] == 27
    assert "vexa_fp32.bias_add" not in counts["composites"] and "vexa_fp32.relu" not in counts["composites"]
    assert counts["outside"]["nn.relu"] == 27
