"""Recording of rejected matches and the flat view of partitioned networks
in the `vexatvm` command."""
import sys

import pytest

from conftest import ROOT, requires_tvm

pytestmark = requires_tvm

sys.path.insert(0, str(ROOT / "tools" / "vexatvm"))
import tvm
from tvm import relay
from tvm.relay.dataflow_pattern import is_op, wildcard

from vexatvm_cli import network_view, reasons
from vexatvm_cli.explain import CheckRecorder


def _typed(body):
    mod = relay.transform.InferType()(tvm.IRModule.from_expr(relay.Function(relay.analysis.free_vars(body), body)))
    return mod["main"].body


def _grouped_qnn_conv(groups, channels, in_channels):
    x = relay.var("x", shape=(1, 8, 8, in_channels), dtype="uint8")
    w = relay.var("w", shape=(3, 3, in_channels // groups, channels), dtype="int8")
    return _typed(
        relay.qnn.op.conv2d(
            x, w, relay.const(0), relay.const(0), relay.const(0.05), relay.const(0.01), kernel_size=(3, 3),
            channels=channels, groups=groups, data_layout="NHWC", kernel_layout="HWIO",
        )
    )


@pytest.mark.parametrize(
    "groups, channels, in_channels, width, broken",
    [
        (2, 32, 32, 16, None),
        (2, 32, 32, 64, "below the target's channel width"),
        (4, 24, 16, 16, "channels per group (6)"),
        (4, 24, 16, 12, None),
        (4, 16, 16, 2, "input channels per group (4)"),
        (8, 16, 16, 16, None),
    ],
)
def test_reason_agrees_with_the_convolution_check(groups, channels, in_channels, width, broken):
    from tvm.relay.vexa.build_module import BuildConfig
    from vexatvm_internal import patterns

    conv = _grouped_qnn_conv(groups, channels, in_channels)
    with BuildConfig(arch_config={"arch": {"channels": width}}):
        verdict = patterns.check_qnn_conv_pattern(conv)
        anchor, reason = reasons.qnn_conv(conv)
    assert verdict == (broken is None)
    assert anchor.same_as(conv)
    assert reason.startswith(f"groups {groups}, channels {channels}, input channels {in_channels}, target channel width {width}")
    assert (broken is None and ":" not in reason) or broken in reason


def test_groups_not_a_power_of_two_are_explained_without_the_target():
    conv = _grouped_qnn_conv(3, 6, 6)
    # No build configuration is active: a query of the target would fail.
    assert reasons.qnn_conv(conv)[1] == "groups 3, channels 6, input channels 6: groups is not a power of two"


def test_recorder_keeps_verdicts_and_records_rejections_only():
    x = relay.var("x", shape=(1, 4, 4, 8))
    relu = _typed(relay.nn.relu(x))
    calls = []

    def check_fp32_relu(extract):
        calls.append(extract)
        return len(calls) == 1

    def failing_check(extract):
        raise ValueError("broken check")

    pattern = is_op("nn.relu")(wildcard())
    recorder = CheckRecorder()
    plain, checked, failing = recorder.wrap_table(
        [("t.plain", pattern), ("t.relu", pattern, check_fp32_relu), ("t.fail", pattern, failing_check)]
    )
    assert plain == ("t.plain", pattern)
    assert checked[2](relu) is True and checked[2](relu) is False
    assert [r.as_dict() for r in recorder.rejections] == [
        {
            "entry": "t.relu", "check": "check_fp32_relu", "anchor": "nn.relu", "shape": [1, 4, 4, 8],
            "reason": "input comes from Var, not from a composite region",
        }
    ]
    assert recorder.checked == {"t.relu": 2}
    with pytest.raises(ValueError, match="broken check"):
        failing[2](relu)  # an error of a check is not a rejection
    assert len(recorder.rejections) == 1
    assert recorder.failure == "failing_check of t.fail raised on nn.relu [1, 4, 4, 8]: ValueError: broken check"


def test_view_reads_the_same_before_and_after_graph_partitioning():
    from vexa_host.partition import partition

    x = relay.var("x", shape=(1, 4, 4, 8))
    y = relay.var("y", shape=(1, 4, 4, 8))
    first = relay.nn.relu(relay.add(x, y))
    body = relay.Tuple([relay.nn.relu(relay.add(first, y)), relay.sigmoid(first)])
    mod = relay.transform.InferType()(tvm.IRModule.from_expr(relay.Function([x, y], body)))
    merged = partition(mod, [("t.add_relu", is_op("nn.relu")(is_op("add")(wildcard(), wildcard())))])
    annotated = relay.transform.AnnotateTarget("t", False)(merged)
    split = relay.transform.PartitionGraph()(relay.transform.MergeCompilerRegions()(annotated))
    assert len(split.get_global_vars()) > 1  # the regions went into external functions

    def summary(units):
        return [(u.kind, u.name, u.ops, u.inputs) for u in units]

    # Both regions end up in one external function that returns a tuple; the
    # sigmoid reads the first region only.
    assert summary(network_view.flatten(split)) == summary(network_view.flatten(merged)) == [
        ("input", "x", [], []),
        ("input", "y", [], []),
        ("region", "t.add_relu", ["add", "nn.relu"], [0, 1]),
        ("region", "t.add_relu", ["add", "nn.relu"], [2, 1]),
        ("op", "sigmoid", [], [2]),
    ]
