"""Region outlining in one walk: the same module as TVM's AnnotateTarget,
MergeCompilerRegions and PartitionGraph, on hand-made graphs that exercise
the merge rules, on random graphs, on the built-in samples, the fixture
models and a deep chain; TVM's passes where the walk refuses an input."""

import re
from pathlib import Path

import numpy as np
import pytest
import tvm
from conftest import requires_tvm
from tvm import relay
from tvm.relay import transform
from tvm.relay.dataflow_pattern import is_constant, is_op, wildcard

from vexa_host import outline

pytestmark = requires_tvm

ROOT = Path(__file__).resolve().parent.parent
TOY_TABLE = [
    ("vexa.add", is_op("add")(wildcard(), is_constant())),
    ("vexa.relu", is_op("nn.relu")(wildcard())),
    ("vexa.sub", is_op("subtract")(wildcard(), wildcard())),
]
X = relay.var("x", shape=(1, 4))
Y = relay.var("y", shape=(1, 4))
C = relay.const(np.ones((1, 4), "float32"))


def composed(body, table=TOY_TABLE):
    mod = transform.InferType()(tvm.IRModule.from_expr(relay.Function(relay.analysis.free_vars(body), body)))
    return transform.MergeComposite(table)(mod)


def _text(mod):
    # Type inference copies the constants of every function it types, and
    # the printer numbers constants by object: only the numbers may differ.
    return re.sub(r"meta\[relay.Constant\]\[\d+\]", "meta[relay.Constant]", mod.astext(show_meta_data=False))


def assert_same_as_tvm(mod, compilers=("vexa",)):
    got = outline.outline(mod, compilers)
    assert got.native and not got.note
    expected = outline.with_tvm_passes(mod, compilers)
    assert tvm.ir.structural_equal(got.mod, expected)
    # Names, parameter order, attributes and types too, which structural equality leaves out.
    assert _text(got.mod) == _text(expected)
    for global_var, function in expected.functions.items():
        assert tvm.ir.structural_equal(got.mod[global_var.name_hint].checked_type, function.checked_type)
    return got


def _relu_add(x):
    return relay.nn.relu(relay.add(x, C))


def _two_outputs():
    a = relay.add(X, C)
    e = relay.nn.relu(relay.add(relay.tanh(relay.nn.relu(a)), C))
    return relay.Tuple([relay.multiply(e, relay.sigmoid(a)), e])


def _host_edges_restrict():
    a = relay.nn.relu(Y)
    return relay.Tuple([relay.multiply(a, relay.tanh(X)), relay.subtract(a, relay.tanh(X))])


GRAPHS = {
    # two outputs of one region, one read by host code
    "two outputs": _two_outputs,
    "alternating chain": lambda: _relu_add(relay.sigmoid(_relu_add(relay.tanh(_relu_add(X))))),
    "region numbers skip merged begins": lambda: relay.add(
        relay.multiply(relay.subtract(relay.tanh(X), relay.tanh(X)), relay.subtract(X, Y)), C
    ),
    "constant argument bound": lambda: relay.subtract(C, relay.tanh(X)),
    "network input named": lambda: relay.nn.relu(X),
    "nothing offloaded": lambda: relay.tanh(X),
    "host path keeps apart": lambda: relay.subtract(relay.nn.relu(X), relay.tanh(relay.nn.relu(X))),
    "diamond merged": lambda: relay.tanh(relay.subtract(relay.nn.relu(relay.nn.relu(X)), relay.nn.relu(X))),
    # a host group's restrictions reach a region that the group's other member does not feed
    "restrictions of a host group": _host_edges_restrict,
}


@pytest.mark.parametrize("name", GRAPHS)
def test_hand_made_graphs_outline_as_tvm_does(name):
    assert_same_as_tvm(composed(GRAPHS[name]()))


def _random_graph(rng):
    nodes = [X, Y]
    makers = [
        lambda p, q: relay.nn.relu(p),
        lambda p, q: relay.add(p, C),
        lambda p, q: relay.subtract(p, q),
        lambda p, q: relay.tanh(p),
        lambda p, q: relay.multiply(p, q),
        lambda p, q: relay.sigmoid(p),
    ]
    for _ in range(rng.integers(3, 25)):
        p, q = (nodes[i] for i in rng.integers(0, len(nodes), 2))
        nodes.append(makers[rng.integers(0, len(makers))](p, q))
    return relay.Tuple([nodes[-1]] + [nodes[i] for i in rng.integers(2, len(nodes), 2)])


@pytest.mark.parametrize("seed", range(4))
def test_random_graphs_outline_as_tvm_does(seed):
    rng = np.random.default_rng(seed)
    for _ in range(10):
        assert_same_as_tvm(composed(_random_graph(rng)))


def test_regions_joined_through_a_tuple_stay_apart():
    # TVM's merge does not see the path through the concatenation's tuple,
    # joins the two relus, and PartitionGraph crashes on the cycle.
    a = relay.nn.relu(X)
    joined = relay.strided_slice(relay.concatenate([a, X], axis=0), [0, 0], [1, 4])
    got = outline.outline(composed(relay.subtract(relay.nn.relu(a), joined)), ["vexa"])
    assert got.native and "tuple" in got.note
    assert got.regions == 2 and got.transitions == 6
    assert relay.analysis.well_formed(got.mod["main"])


def test_other_inputs_go_through_tvm_passes():
    mod = composed(relay.nn.relu(relay.tanh(X)))
    helper = relay.GlobalVar("helper")
    mod[helper] = relay.Function([Y], relay.tanh(Y))
    got = outline.outline(transform.InferType()(mod), ["vexa"])
    assert not got.native and "functions besides" in got.note
    assert got.regions == 1 and got.transitions == 2


def test_transitions_count_arguments_and_results():
    got = assert_same_as_tvm(composed(GRAPHS["two outputs"]()))
    # region 0: x in, two results out; region 1: one in, one out
    assert (got.regions, got.transitions) == (2, 5)


def _prepared_networks():
    """(name, partitioned module, compilers) for the built-in samples, the
    fixture models and a deep chain, formed with the package's tables."""
    from vexa_host import flow
    from vexa_host.build_module import BuildConfig
    from vexa_host.partition import partition
    from vexatvm_cli import samples
    from vexatvm_cli.importers import read_model, to_relay
    from vexatvm_cli.preparation import default_table, prepare
    from vexatvm_cli.progress import Progress

    networks = [(name, build()) for name, build in samples.SAMPLES.items()]
    for path in sorted((ROOT / "fuzz" / "seeds" / "vexatvm").glob("*.*")):
        networks.append((path.name, to_relay(read_model(str(path)))))
    for name, network in networks:
        mod = prepare(network.mod, Progress(quiet=True))
        table = default_table(mod)
        if network.params:
            mod["main"] = relay.build_module.bind_params_by_name(mod["main"], network.params)
        mod = flow.prepare_fp32(mod) if table == flow.FP32_TABLE else flow.prepare_quantized(mod)
        entries = flow._registered_table(table)
        with BuildConfig.for_arch("vexa-lite"):
            yield name, partition(mod, entries), flow._compilers(entries)


def test_samples_and_fixture_models_outline_as_tvm_does():
    seen = []
    for name, mod, compilers in _prepared_networks():
        assert_same_as_tvm(mod, compilers)
        seen.append(name)
    assert len(seen) >= 6


def test_deep_alternating_chain_outlines_as_tvm_does():
    x = X
    for index in range(120):
        x = (relay.nn.relu, relay.tanh, lambda y: relay.add(y, C), relay.sigmoid)[index % 4](x)
    got = assert_same_as_tvm(composed(x))
    assert got.regions == 60
