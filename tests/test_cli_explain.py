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

from vexatvm_cli import network_view
from vexatvm_cli.explain import CheckRecorder


def _typed(body):
    mod = relay.transform.InferType()(tvm.IRModule.from_expr(relay.Function(relay.analysis.free_vars(body), body)))
    return mod["main"].body


def _grouped_qnn_conv(groups, channels, in_channels):
    x = relay.var("x", shape=(1, 8, 8, in_channels), dtype="uint8")
    w = relay.var("w", shape=(3, 3, in_channels // groups, channels), dtype="int8")
    return _typed(
        relay.qnn.op.conv2d(
            x,
            w,
            relay.const(0),
            relay.const(0),
            relay.const(0.05),
            relay.const(0.01),
            kernel_size=(3, 3),
            channels=channels,
            groups=groups,
            data_layout="NHWC",
            kernel_layout="HWIO",
        )
    )


@pytest.mark.parametrize(
    "groups, channels, in_channels, width, broken",
    [
        (2, 32, 32, 16, None),
        (2, 32, 32, 64, "below the target's channel width"),
        (4, 24, 16, 16, "channels per group (6)"),
        (3, 6, 6, 16, "groups is not a power of two"),
    ],
)
def test_recorder_shows_what_the_convolution_check_recorded(groups, channels, in_channels, width, broken):
    from tvm.relay.vexa.build_module import BuildConfig

    from vexatvm_internal import patterns

    conv = _grouped_qnn_conv(groups, channels, in_channels)
    recorder = CheckRecorder()
    (entry,) = recorder.wrap_table([("vexa.qnn_conv", None, patterns.check_qnn_conv_pattern)])
    with BuildConfig(arch_config={"arch": {"channels": width}}), recorder.active():
        verdict = entry[2](conv)
    assert verdict == (broken is None)
    if broken is None:
        assert recorder.rejections == []
        return
    (rejection,) = recorder.rejections
    assert (rejection.entry, rejection.check, rejection.anchor) == (
        "vexa.qnn_conv",
        "check_qnn_conv_pattern",
        "qnn.conv2d",
    )
    assert rejection.shape == [1, 6, 6, channels]
    assert rejection.reason.startswith(f"groups {groups}, channels {channels}, input channels {in_channels}")
    assert broken in rejection.reason


def test_recording_is_on_only_while_the_recorder_is_active():
    from vexatvm_internal import patterns

    with CheckRecorder(explain=False).active():
        assert patterns._record_check_reasons(False) is False
    with CheckRecorder().active():
        assert patterns._record_check_reasons(True) is True
    assert patterns._record_check_reasons(False) is False


def test_recorder_keeps_verdicts_and_records_rejections_only():
    from vexatvm_internal import patterns

    x = relay.var("x", shape=(1, 4, 4, 8))
    relu = _typed(relay.nn.relu(x))
    calls = []

    def accept_once(extract):
        calls.append(extract)
        return len(calls) == 1

    def failing_check(extract):
        raise ValueError("broken check")

    pattern = is_op("nn.relu")(wildcard())
    recorder = CheckRecorder()
    plain, counted, real, failing = recorder.wrap_table(
        [
            ("t.plain", pattern),
            ("t.once", pattern, accept_once),
            ("t.relu", pattern, patterns.check_fp32_relu),
            ("t.fail", pattern, failing_check),
        ]
    )
    assert plain == ("t.plain", pattern)
    with recorder.active():
        assert counted[2](relu) is True and counted[2](relu) is False
        assert real[2](relu) is False
    assert [r.as_dict() for r in recorder.rejections] == [
        # A check of another origin records no reason: only the verdict is known.
        {"entry": "t.once", "check": "accept_once", "anchor": "nn.relu", "shape": [1, 4, 4, 8], "reason": None},
        {
            "entry": "t.relu",
            "check": "check_fp32_relu",
            "anchor": "nn.relu",
            "shape": [1, 4, 4, 8],
            "reason": "input comes from Var, not from a composite region",
        },
    ]
    assert recorder.checked == {"t.once": 2, "t.relu": 1}
    with pytest.raises(ValueError, match="broken check"):
        failing[2](relu)  # an error of a check is not a rejection
    assert len(recorder.rejections) == 2
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
    assert (
        summary(network_view.flatten(split))
        == summary(network_view.flatten(merged))
        == [
            ("input", "x", [], []),
            ("input", "y", [], []),
            ("region", "t.add_relu", ["add", "nn.relu"], [0, 1]),
            ("region", "t.add_relu", ["add", "nn.relu"], [2, 1]),
            ("op", "sigmoid", [], [2]),
        ]
    )
