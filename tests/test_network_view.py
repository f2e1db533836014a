"""The native reading of a network's units gives what the node-by-node
reading from Python gives, on partitioned and outlined networks and on the
forms that reading has rules for (lets, tuples, closures, free variables)."""

import sys

import pytest
from conftest import ROOT, requires_tvm

pytestmark = requires_tvm

sys.path.insert(0, str(ROOT / "tools" / "vexatvm"))

import network_view_reference as reference  # noqa: E402
import numpy as np  # noqa: E402
import tvm  # noqa: E402
from tvm import relay  # noqa: E402

from vexa_host.build_module import BuildConfig  # noqa: E402
from vexatvm_cli import host_flow, network_view, preparation  # noqa: E402
from vexatvm_cli.importers import read_model, to_relay  # noqa: E402
from vexatvm_cli.partition_command import registered_table  # noqa: E402
from vexatvm_cli.progress import Progress  # noqa: E402
from vexatvm_cli.samples import SAMPLES  # noqa: E402
from vexatvm_internal import patterns  # noqa: E402,F401  (registers the tables)

MODELS = ROOT / "tests" / "models"
NETWORKS = sorted(p.name for p in MODELS.iterdir() if p.suffix in (".tflite", ".onnx")) + sorted(SAMPLES)


def _same_reading(mod):
    assert [vars(unit) for unit in network_view.flatten(mod)] == [vars(unit) for unit in reference.flatten(mod)]


def _stages(network):
    """The network as imported, partitioned and outlined."""
    quiet = Progress(quiet=True)
    with BuildConfig.for_arch("vexa-lite"):
        mod = preparation.prepare(network.mod, quiet)
        table_name = preparation.default_table(mod)
        mod = host_flow.nhwc_preparation(mod, network.params, table_name, quiet)
        table = registered_table(table_name)
        partitioned = host_flow.partition(mod, table, quiet)
        outlined = host_flow.outline(partitioned, table).mod
    return network.mod, partitioned, outlined


@pytest.mark.parametrize("name", NETWORKS)
def test_native_reading_is_the_python_reading(name):
    network = SAMPLES[name]() if name in SAMPLES else to_relay(read_model(MODELS / name))
    for mod in _stages(network):
        _same_reading(mod)


def _module(body, params):
    return relay.transform.InferType()(tvm.IRModule.from_expr(relay.Function(params, body)))


def test_native_reading_follows_lets_tuples_closures_and_free_variables():
    x, y = relay.var("x", shape=(2,)), relay.var("y", shape=(2,))
    bound = relay.var("bound", shape=(2,))
    free = relay.var("free", shape=(2,))  # not a parameter of the closure that reads it
    pair = relay.Tuple([relay.nn.relu(x), relay.sigmoid(y)])
    let = relay.Let(bound, relay.add(relay.TupleGetItem(pair, 1), free), relay.multiply(bound, bound))
    a = relay.var("a", shape=(2,))
    closure = relay.Function([a], relay.tanh(relay.add(a, free)))
    body = relay.Tuple([let, relay.Call(closure, [relay.TupleGetItem(pair, 0)]), relay.const(np.ones(2, "float32"))])
    mod = _module(body, [x, y, free])
    _same_reading(mod)
    names = [(unit.kind, unit.name) for unit in network_view.flatten(mod)]
    # Inside the closure, the captured variable reads as an input of its own.
    assert names.count(("input", "free")) == 2 and ("op", "tanh") in names
