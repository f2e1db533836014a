"""Where the layout check says a network already has the NHWC layouts,
TVM's ConvertLayout gives back the very network; where it changes
something, the check says so."""

import numpy as np
import pytest
from conftest import ROOT, requires_tvm

pytestmark = requires_tvm

import sys  # noqa: E402

sys.path.insert(0, str(ROOT / "tools" / "vexatvm"))
import bias_forms_networks as networks  # noqa: E402
import tvm  # noqa: E402
from tvm import relay  # noqa: E402

from vexa_host import _native  # noqa: E402
from vexa_host.bias_forms import expand_bias_adds  # noqa: E402
from vexa_host.flow import NHWC_LAYOUTS  # noqa: E402
from vexatvm_cli.importers import read_model, to_relay  # noqa: E402
from vexatvm_cli.samples import SAMPLES  # noqa: E402

MODELS = sorted(path.name for path in (ROOT / "tests" / "models").iterdir() if path.suffix in (".tflite", ".onnx"))


def _check(mod):
    """The check's answer; when it says nothing would change, that the pass
    indeed changes nothing."""
    already = _native.layouts_already(mod["main"], NHWC_LAYOUTS)
    if already:
        converted = relay.transform.InferType()(relay.transform.ConvertLayout(NHWC_LAYOUTS)(mod))
        assert tvm.ir.structural_equal(converted["main"], mod["main"], map_free_vars=True)
    return already


def _conv(x, channels, groups=1, kernel_layout="HWIO", data_layout="NHWC"):
    in_channels = 4
    shape = {"HWIO": (3, 3, in_channels // groups, channels), "HWOI": (3, 3, channels, in_channels // groups)}
    shape["OIHW"] = (channels, in_channels // groups, 3, 3)
    weight = relay.const(np.ones(shape[kernel_layout], "float32"))
    return relay.nn.conv2d(
        x,
        weight,
        channels=channels,
        kernel_size=(3, 3),
        groups=groups,
        data_layout=data_layout,
        kernel_layout=kernel_layout,
    )


def _nhwc():
    return relay.var("x", shape=(1, 8, 8, 4))


CASES = {
    "plain NHWC convolution": (lambda: _conv(_nhwc(), 6), True),
    "depthwise NHWC convolution, HWOI": (lambda: _conv(_nhwc(), 4, groups=4, kernel_layout="HWOI"), True),
    "depthwise NHWC convolution, HWIO": (lambda: _conv(_nhwc(), 4, groups=4, kernel_layout="HWIO"), False),
    "grouped NHWC convolution, HWIO": (lambda: _conv(_nhwc(), 8, groups=2), True),
    "NCHW convolution": (
        lambda: _conv(relay.var("x", shape=(1, 4, 8, 8)), 6, kernel_layout="OIHW", data_layout="NCHW"),
        False,
    ),
    "channel bias as a vector": (lambda: relay.add(_conv(_nhwc(), 6), relay.const(np.ones(6, "float32"))), False),
    "channel bias of full rank": (
        lambda: relay.add(_conv(_nhwc(), 6), relay.const(np.ones((1, 1, 1, 6), "float32"))),
        True,
    ),
    "scalar added": (lambda: relay.add(_conv(_nhwc(), 6), relay.const(1.0)), True),
    "max pool without output layout": (lambda: relay.nn.max_pool2d(_nhwc(), layout="NHWC"), False),
    "max pool": (lambda: relay.nn.max_pool2d(_nhwc(), layout="NHWC", out_layout="NHWC"), True),
    "NHWC resize": (lambda: relay.image.resize2d(_nhwc(), (16, 16), layout="NHWC"), True),
    "NCHW resize": (lambda: relay.image.resize2d(_nhwc(), (16, 16), layout="NCHW"), False),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_check_tells_whether_the_conversion_changes_anything(case):
    build, already = CASES[case]
    body = build()
    mod = relay.transform.InferType()(tvm.IRModule.from_expr(relay.Function(relay.analysis.free_vars(body), body)))
    assert _check(mod) == already


@pytest.mark.parametrize("name", MODELS + sorted(SAMPLES))
def test_conversion_changes_nothing_where_the_check_says_so(name):
    network = SAMPLES[name]() if name in SAMPLES else to_relay(read_model(ROOT / "tests" / "models" / name))
    _check(expand_bias_adds(relay.transform.InferType()(network.mod)))


def test_conversion_changes_nothing_where_the_check_says_so_on_random_networks():
    said = 0
    for seed in range(120):
        mod = networks.network(seed, (networks.conv_bias, networks.channel_bias))
        said += mod is not None and _check(mod)
    assert said > 10
