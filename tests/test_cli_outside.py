"""Why operator calls stay outside composites (`vexatvm partition
--explain`), and the condensed picture of a large network."""

import re
import sys

import pytest
from conftest import ROOT, requires_tvm

pytestmark = requires_tvm

sys.path.insert(0, str(ROOT / "tools" / "vexatvm"))
from vexatvm_cli import environment  # noqa: E402

environment.load_tables()
import tvm  # noqa: E402
from cli_networks import chain_network, network  # noqa: E402
from tvm import relay  # noqa: E402
from tvm.relay.dataflow_pattern import is_expr, is_op, is_tuple, wildcard  # noqa: E402

from vexatvm_cli import (  # noqa: E402  # noqa: E402
    arch,
    chain_text,
    host_flow,
    network_view,
    picture,
    picture_blocks,
    preparation,
    relay_graph,
    samples,
)
from vexatvm_cli import quantized_blocks as qb  # noqa: E402
from vexatvm_cli.network_view import Unit  # noqa: E402
from vexatvm_cli.partition_command import partition_network, registered_table  # noqa: E402
from vexatvm_cli.pattern_match import Matcher  # noqa: E402
from vexatvm_cli.pattern_tree import read_entry  # noqa: E402
from vexatvm_cli.progress import Progress  # noqa: E402

QUIET = Progress(quiet=True)


def _partitioned(built, table=None):
    architecture = arch.resolve(None)
    return partition_network(built, table, architecture, arch.validate(architecture), True, QUIET)


def _explanation(report, kind, operator):
    found = [item for item in report.explanations if item["kind"] == kind and operator in item["operators"]]
    assert found, f"no {kind} explanation for {operator}: {report.explanations}"
    return found[0]


@pytest.mark.parametrize(
    "build, table",
    [(samples.quantized_torch, "vexa"), (samples.quantized_tflite, "vexa"), (samples.float32_nhwc, "vexa_fp32")],
)
def test_matcher_agrees_with_tvms_on_every_entry_and_call(build, table):
    # The explanations stand on this matcher: wherever TVM's matcher sees a
    # match of an entry, so must it, and nowhere else.
    network = build()
    mod = host_flow.nhwc_preparation(preparation.prepare(network.mod, QUIET), {}, table, QUIET)
    calls = [node for node in relay_graph.build(mod) if node.kind == "op"]
    matched = 0
    for entry in registered_table(table):
        read = read_entry(entry)
        for node in calls:
            expected = entry[1].match(node.expr)
            assert Matcher({}).match(read.root, node) == expected, (entry[0], node.name)
            matched += expected
    assert matched >= 10


def _silu_pattern():
    x = wildcard()
    return is_op("multiply")(x, is_op("sigmoid")(x))


def _typed_graph(body):
    mod = relay.transform.InferType()(tvm.IRModule.from_expr(relay.Function(relay.analysis.free_vars(body), body)))
    return relay_graph.build(mod)


A = relay.var("a", shape=(1, 4))
B = relay.var("b", shape=(1, 4))


@pytest.mark.parametrize(
    "pattern, body, needs, found",
    [
        # The shared wildcard must bind one node: where it binds another,
        # the letter shows which.
        (_silu_pattern, relay.multiply(A, relay.sigmoid(A)), None, None),
        (_silu_pattern, relay.multiply(relay.sigmoid(A), A), None, None),  # arguments swapped
        (_silu_pattern, relay.multiply(A, relay.sigmoid(B)), "multiply(x, sigmoid(x))", "multiply(x, sigmoid(b))"),
        (_silu_pattern, relay.multiply(A, relay.tanh(A)), "multiply(x, sigmoid(x))", "multiply(x, tanh(x))"),
        # An optional operator, alternatives and scalar constants.
        (
            lambda: is_op("nn.relu")(wildcard()).optional(is_op("clip")),
            relay.clip(relay.nn.relu(A), 0.0, 6.0),
            None,
            None,
        ),
        (
            lambda: is_op("add")(wildcard(), is_expr(relay.const(3.0))) | is_op("nn.relu")(wildcard()),
            relay.add(A, relay.const(2.0)),
            "add(_, 3)",
            "add(a, 2)",
        ),
        (
            lambda: is_op("concatenate")(is_tuple(None)),
            relay.concatenate([A, B, A], axis=0),
            None,
            None,  # a tuple of any length
        ),
        (
            lambda: is_op("concatenate")(
                is_tuple([wildcard(), wildcard()]) | is_tuple([wildcard(), wildcard(), wildcard()])
            ),
            relay.concatenate([A, B] * 4, axis=0),
            "concatenate((_, _) | (_, _, _))",
            "concatenate((8 values))",
        ),
    ],
)
def test_matcher_says_where_a_match_breaks(pattern, body, needs, found):
    pattern = pattern()
    graph = _typed_graph(body)
    read = read_entry(("t", pattern))
    letters = chain_text.shared_wildcards(read.calls)
    matcher = Matcher(set(letters))
    assert matcher.match(read.root, graph[-1]) == (needs is None) == pattern.match(graph[-1].expr)
    if needs is not None:
        names = {node: letters[wildcard_] for node, wildcard_ in matcher.failure.names.items()}
        assert chain_text.pattern_text(matcher.failure.needs, letters) == needs
        assert chain_text.node_text(matcher.failure.found, names) == found


def test_each_kind_of_explanation_where_it_belongs():
    report, _ = _partitioned(samples.quantized_torch())
    assert report.explained_outside == report.calls_outside
    rejected = _explanation(report, "rejected", "qnn.conv2d")
    assert rejected["entry"] == "vexa.qnn_conv" and rejected["check"] == "check_qnn_conv_pattern"
    assert "channels per group (6)" in rejected["reason"]
    # Every call of the rejected match shares its explanation.
    assert {"nn.pad", "qnn.requantize", "cast"} <= set(rejected["operators"])
    assert _explanation(report, "no_entry", "reshape")["text"] == "no entry of the table calls reshape"
    broken = _explanation(report, "chain_breaks", "qnn.dequantize")
    assert broken["entry"] == "vexa.upsampling" and "vexa.upsampling" in broken["entries"]
    assert broken["text"].endswith("found qnn.dequantize(...) as a result of the network")


def test_result_used_inside_and_outside_a_match_is_said_so():
    x = relay.var("x", shape=(1, 8, 8, 8), dtype="uint8")
    conv = qb.tflite_conv(x, 8, 8, relu6=False)
    # The bias_add's result also leaves the chain: the partitioner does not
    # fuse a chain whose inner results are used elsewhere.
    biased = conv.args[0]
    report, _ = _partitioned(network("shared", relay.Tuple([conv, relay.cast(biased, "float32")])))
    assert report.explained_outside == report.calls_outside
    shared = _explanation(report, "shared_result", "qnn.conv2d")
    assert shared["entry"] == "vexa.qnn_tflite_qconv"
    assert "nn.bias_add(...) inside the match is also used by cast" in shared["text"]


def test_broken_chain_names_what_the_pattern_needs_and_what_is_there():
    x = relay.var("x", shape=(1, 8, 8, 8), dtype="uint8")
    conv = qb.tflite_conv(x, 8, 8)
    # A SiLU whose gate is an addition (a region of its own) instead of a
    # quantized sigmoid.
    gate = qb.qadd(conv, conv, relu=False)
    out = relay.qnn.op.mul(conv, gate, qb.f32(0.05), qb.i32(0), qb.f32(0.05), qb.i32(0), qb.f32(0.05), qb.i32(0))
    report, _ = _partitioned(network("silu", out))
    assert report.explained_outside == report.calls_outside
    broken = _explanation(report, "chain_breaks", "qnn.mul")
    assert broken["entry"] == "vexa.tflite_silu"
    assert broken["needs"] == "qnn.mul(x, qnn.quantize(sigmoid(...)))"
    assert broken["found"] == ["qnn.mul(x, [vexa.qnn_add](x))"]


def test_large_network_is_explained_in_full_and_its_picture_fits_a_screen(tmp_path):
    report, units = _partitioned(chain_network(7))
    assert report.calls_inside + report.calls_outside > 550
    assert report.explained_outside == report.calls_outside
    # Repeated blocks repeat reasons, not lines.
    assert len(report.explanations) < 10
    size, warnings = picture.draw(units, tmp_path / "blocks.svg", "chain")
    assert max(size) <= picture.SCREEN_PIXELS and warnings == []
    full_size, full_warnings = picture.draw(units, tmp_path / "full.svg", "chain", detail="full")
    assert full_size[1] > picture.SCREEN_PIXELS and "too large to take in at once" in full_warnings[0]
    # Each composite region is counted in exactly one box.
    svg = (tmp_path / "blocks.svg").read_text()
    counted = sum(int(n) for n in re.findall(r">(\d+) vexa composites", svg)) + svg.count(">vexa.")
    assert counted == sum(report.composites.values())


def _unit(index, kind, name, inputs, ops=()):
    return Unit(index, kind, name, list(ops) or ([name] if kind == "region" else []), inputs)


def test_condensed_view_keeps_every_unit_once_and_tags_repeated_blocks():
    units = [_unit(0, "input", "x", [])]

    def add(kind, name, *inputs):
        units.append(_unit(len(units), kind, name, list(inputs)))
        return len(units) - 1

    top = 0
    for _ in range(2):  # two residual blocks of composites
        branch = add("region", "t.conv", add("region", "t.conv", top))
        top = add("region", "t.add", top, branch)
    short = add("op", "reshape", add("op", "transpose", top))  # two host operators: drawn one by one
    add("op", "softmax", add("op", "flatten", add("op", "sigmoid", short)))  # three: one box
    add("op", "exp", short)
    blocks = picture_blocks.condense(units)
    assert sorted(unit.index for block in blocks for unit in block.units) == list(range(len(units)))
    residual = [block for block in blocks if block.kind == "composites"]
    assert [block.tag for block in residual] == ["A", "A"]
    assert [len(block.units) for block in residual] == [3, 3]
    assert [block.kind for block in blocks if block.kind in ("op", "host_run")] == ["op", "op", "host_run", "op"]
    assert all(producer < block.index for block in blocks for producer in block.inputs)


def test_picture_that_graphviz_must_shrink_is_reported(tmp_path):
    units = [_unit(0, "input", "x", [])] + [_unit(i, "op", ("sigmoid", "tanh")[i % 2], [i - 1]) for i in range(1, 701)]
    size, warnings = picture.draw(units, tmp_path / "full.png", "chain", detail="full")
    assert size[1] > 32767 and len(warnings) == 1
    assert "beyond Graphviz's bitmap limit: it was scaled down by 0." in warnings[0]
    # Condensed, the chain is one box.
    size, warnings = picture.draw(units, tmp_path / "blocks.png", "chain")
    assert max(size) < 1000 and warnings == []


def test_each_rejected_match_keeps_its_own_reason():
    # Two grouped convolutions rejected for different reasons: each call
    # must carry the reason of the match that covers it.
    x = relay.var("input", shape=(1, 16, 8, 8), dtype="float32")
    first = qb.torch_conv(qb.quantize(x, 0.02, 128), 16, 24, groups=4)  # 6 channels a group
    second = qb.torch_conv(first, 24, 24, groups=8)  # 3 input channels a group
    report, _ = _partitioned(network("grouped", qb.dequantize(second)))
    rejected = [item for item in report.explanations if item["kind"] == "rejected"]
    assert sorted(item["reason"].split(": ")[-1] for item in rejected) == [
        "channels per group (6) do not divide the target's channel width",
        "input channels per group (3) do not divide the target's channel width",
    ]
    assert [item["operators"]["qnn.conv2d"] for item in rejected] == [1, 1]
    assert rejected[0]["operators"] == rejected[1]["operators"]


def test_graph_reads_through_external_functions_as_the_report_does():
    # The explanations and the report count the same calls outside
    # composites, before graph partitioning and after it.
    from vexa_host.partition import partition

    x = relay.var("x", shape=(1, 4, 4, 8))
    first = relay.nn.relu(relay.add(x, x))
    body = relay.Tuple([relay.nn.relu(relay.add(first, x)), relay.sigmoid(first), relay.split(first, 2, axis=3)[1]])
    mod = relay.transform.InferType()(tvm.IRModule.from_expr(relay.Function([x], body)))
    merged = partition(mod, [("t.add_relu", is_op("nn.relu")(is_op("add")(wildcard(), wildcard())))])
    split = relay.transform.PartitionGraph()(
        relay.transform.MergeCompilerRegions()(relay.transform.AnnotateTarget("t", False)(merged))
    )

    def summary(mod):
        return [(node.kind, node.name, [arg.index for arg in node.args]) for node in relay_graph.build(mod)]

    assert (
        summary(split)
        == summary(merged)
        == [
            ("var", "x", []),
            ("region", "t.add_relu", [0]),
            ("region", "t.add_relu", [1, 0]),
            ("op", "sigmoid", [1]),
            ("op", "split", [1]),
            ("field", "1", [4]),
            ("tuple", "tuple", [2, 3, 5]),
        ]
    )
    outside = [unit for unit in network_view.flatten(split) if unit.kind == "op"]
    assert [unit.name for unit in outside] == ["sigmoid", "split"]


def test_long_chain_of_blocks_is_drawn_about_square(tmp_path):
    units = [_unit(0, "input", "x", [])]
    for i in range(1, 121):  # a MobileNet-like chain: convolution, bias, activation, forty times
        units.append(_unit(i, "region", ("t.conv", "t.bias", "t.relu")[(i - 1) % 3], [i - 1]))
    blocks = picture_blocks.condense(units)
    assert [len(block.units) for block in blocks[1:]] == [3] * 40 and {block.tag for block in blocks[1:]} == {"A"}
    (width, height), warnings = picture.draw(units, tmp_path / "chain.svg", "chain")
    assert warnings == [] and max(width, height) <= picture.SCREEN_PIXELS and height < 2 * width
