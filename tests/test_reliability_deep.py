"""Deep and wide networks: a chain of 10,000 operators and a node with 1,000
consumers through every check, the partition driver, partition_for_vexa and
fusion.  No walk may exhaust the stack or Python's recursion limit.

partition_for_vexa outlines the regions in one walk, but its preparation
runs TVM passes whose time grows faster than a chain (type inference,
layout conversion) and, for quantized networks, rewrites in Python: it gets
a 2,000-operator float32 chain (about a second) and a 400-operator quantized
one unless VEXA_STRESS_FULL=1 is set."""

import os

import numpy as np
import pytest
import tvm
from conftest import requires_tvm
from tvm import relay

pytestmark = requires_tvm

DEPTH = 10_000
FULL = os.environ.get("VEXA_STRESS_FULL") == "1"
FAN_OUT = 1_000
CHANNELS = 8


def _q(x, dtype):
    return relay.qnn.op.quantize(x, relay.const(0.05), relay.const(0), out_dtype=dtype)


def qnn_conv_block(x, index):
    """pad, qnn.conv2d of a quantized weight (every third one grouped),
    bias_add of a quantized bias, requantize, clip, cast: 8 operators."""
    groups = 2 if index % 3 == 2 else 1
    x = relay.nn.pad(x, ((0, 0), (1, 1), (1, 1), (0, 0)))
    weight = _q(relay.const(np.ones((3, 3, CHANNELS // groups, CHANNELS), "float32")), "int8")
    x = relay.qnn.op.conv2d(
        x,
        weight,
        relay.const(0),
        relay.const(0),
        relay.const(0.05),
        relay.const(0.05),
        kernel_size=(3, 3),
        channels=CHANNELS,
        groups=groups,
        data_layout="NHWC",
        kernel_layout="HWIO",
        out_dtype="int32",
    )
    x = relay.nn.bias_add(x, _q(relay.const(np.zeros(CHANNELS, "float32")), "int32"), axis=3)
    q = (relay.const(0.05), relay.const(0))
    x = relay.qnn.op.requantize(x, *q, *q, out_dtype="int32")
    return relay.cast(relay.clip(x, 0, 255), "uint8")


def typed(body):
    func = relay.Function(relay.analysis.free_vars(body), body)
    return relay.transform.InferType()(tvm.IRModule.from_expr(func))


def quantized_chain(operators):
    x = relay.var("data", shape=(1, 8, 8, CHANNELS), dtype="uint8")
    for index in range(operators // 8):
        x = qnn_conv_block(x, index)
    return typed(x)


def fp32_chain(operators):
    """relu, clip and add of a constant in turn: operators of the float32 table."""
    x = relay.var("data", shape=(1, 8, 8, CHANNELS))
    bias = relay.const(np.ones((1, 1, 1, CHANNELS), "float32"))
    for index in range(operators):
        x = (relay.nn.relu, lambda y: relay.clip(y, 0.0, 6.0), lambda y: relay.add(y, bias))[index % 3](x)
    return typed(x)


def fan_out(consumers):
    """One convolution output read by `consumers` additions, whose results are
    concatenated in groups of ten and returned as one tuple."""
    data = relay.var("data", shape=(1, 8, 8, CHANNELS))
    weight = relay.const(np.ones((3, 3, CHANNELS, CHANNELS), "float32"))
    shared = relay.nn.conv2d(
        data, weight, kernel_size=(3, 3), channels=CHANNELS, padding=(1, 1), data_layout="NHWC", kernel_layout="HWIO"
    )
    outs = [relay.add(shared, relay.const(np.full((1, 1, 1, CHANNELS), i, "float32"))) for i in range(consumers)]
    groups = [relay.concatenate(outs[i : i + 10], axis=3) for i in range(0, consumers, 10)]
    return typed(relay.Tuple(groups)), shared


def all_checks():
    from vexatvm_internal import patterns

    tables = (patterns.pattern_table_with_clip(), patterns.pattern_table_with_fc(), patterns.pattern_table_vexa_f32())
    return sorted({entry[2] for table in tables for entry in table if len(entry) == 3}, key=lambda c: c.__name__)


def judge(check, node):
    try:
        return check(node)
    except (tvm.TVMError, AttributeError, AssertionError, TypeError, ValueError, IndexError, KeyError) as error:
        return type(error)


def composite_names(mod):
    names = []
    relay.analysis.post_order_visit(
        mod["main"],
        lambda n: (
            isinstance(n, relay.Function)
            and n.attrs
            and "Composite" in n.attrs
            and names.append(str(n.attrs["Composite"]))
        ),
    )
    return names


@pytest.fixture(scope="module")
def deep_quantized():
    return quantized_chain(DEPTH)


def test_every_check_on_the_ends_of_a_deep_chain(deep_quantized):
    from vexa_host import partition as driver
    from vexa_host.build_module import BuildConfig

    main = deep_quantized["main"]
    nodes = [main.body, main.body.args[0], main.body.args[0].args[0]]
    with BuildConfig.for_arch("vexa-lite"), driver._Network(main):
        for check in all_checks():
            for node in nodes:
                outcome = judge(check, node)
                assert outcome in (True, False) or isinstance(outcome, type), (check.__name__, outcome)


def test_driver_forms_every_convolution_of_a_deep_chain(deep_quantized):
    from vexa_host.build_module import BuildConfig
    from vexa_host.partition import partition
    from vexatvm_internal import patterns

    conv_entry = [e for e in patterns.pattern_table() if e[0] == "vexa.qnn_conv"]
    # 8 channels: the grouped convolutions (8 input channels, 2 groups) pass
    # too, after asking the native library.
    with BuildConfig.for_arch("vexa-nano"):
        names = composite_names(partition(deep_quantized, conv_entry))
    assert names == ["vexa.qnn_conv"] * (DEPTH // 8)


def test_fusion_of_two_deep_chains_with_a_shared_input(deep_quantized):
    from vexatvm_internal import graphmeld

    fused, params = graphmeld.fuse_graphmeld([deep_quantized, deep_quantized], [{}, {}], True)
    assert [p.name_hint for p in fused["main"].params] == ["data_1"]
    assert len(fused["main"].body.fields) == 2 and params == {}


@pytest.mark.parametrize("table", ["vexa_with_clip", "vexa_fp32"])
def test_partition_for_vexa_of_a_deep_chain(table):
    from vexa_host.build_module import BuildConfig
    from vexa_host.flow import partition_for_vexa

    depth = DEPTH if FULL else 2_000 if table == "vexa_fp32" else 400
    mod = quantized_chain(depth) if table != "vexa_fp32" else fp32_chain(depth)
    with BuildConfig.for_arch("vexa-lite"):
        result = partition_for_vexa(mod, table=table)
    externals = [g for g in result.get_global_vars() if g.name_hint != "main"]
    assert externals, "no region was offloaded"


def test_node_with_a_thousand_consumers_through_checks_driver_and_fusion():
    from vexa_host import partition as driver
    from vexa_host.build_module import BuildConfig
    from vexa_host.flow import partition_for_vexa
    from vexa_host.relay_traversal import get_consumers_mc
    from vexatvm_internal import graphmeld, patterns

    mod, _ = fan_out(FAN_OUT)
    main = mod["main"]
    shared = main.body.fields[0].args[0].fields[0].args[0]
    with BuildConfig.for_arch("vexa-lite"):
        with driver._Network(main):
            assert len(get_consumers_mc(shared)) == FAN_OUT
            for check in all_checks():
                judge(check, shared)
                judge(check, main.body.fields[0].args[0].fields[0])
        partitioned = driver.partition(mod, patterns.pattern_table_vexa_f32())
        assert composite_names(partitioned).count("vexa_fp32.conv2d") == 1
        assert partition_for_vexa(mod, table="vexa_fp32") is not None
    fused, _ = graphmeld.fuse_graphmeld([mod, mod], [{}, {}], True)
    assert len(fused["main"].body.fields) == 2


# Networks nested deeper than an ordinary thread's stack lets TVM's recursive
# passes go, driven from a thread with a 256 kB stack, in a fresh process so
# that a crash is a failed run: 800 nested ifs take TVM's type inference
# about 1 MB of stack, 800 nested 1-tuples about 0.7 MB.
DEEP_RUN = """
import os, sys, threading
sys.path.insert(0, {host!r})
import vexa_host
vexa_host.install()
import tvm
from tvm import relay
from vexa_host import _native
from vexa_host.build_module import BuildConfig
from vexa_host.flow import partition_for_vexa
from vexa_host.partition import partition
from vexatvm_internal import graphmeld, patterns

CALLS = {{
    "fuse": lambda mod: graphmeld.fuse_graphmeld([mod, mod], [{{}}, {{}}], True)[0],
    "partition_for_vexa": lambda mod: partition_for_vexa(mod, table="vexa_fp32"),
    "driver": lambda mod: partition(mod, patterns.pattern_table()),
    "tvm_alone": lambda mod: relay.transform.InferType()(mod),
}}

def nested(kind, depth):
    x = relay.var("data", shape=(1, 4, 4, 8))
    flag = relay.var("flag", shape=(), dtype="bool")
    e = relay.nn.relu(x)
    for _ in range(depth):
        e = relay.If(flag, e, x) if kind == "if" else relay.Tuple([e])
    func = relay.Function([x, flag] if kind == "if" else [x], e)
    return _native.run_on_big_stack(None, lambda: tvm.IRModule.from_expr(func))  # the base stack holds it

def work():
    mod = nested({kind!r}, {depth})
    kept.append(mod)
    for call in {calls!r}:
        try:
            with BuildConfig.for_arch("vexa-lite"):
                kept.append(CALLS[call](mod))
            print(call, "answered", _native.nesting_depth(kept[-1]), flush=True)
        except ValueError as error:
            print(call, "refused:", error, flush=True)

kept = []
threading.stack_size(256 * 1024)
thread = threading.Thread(target=work)
thread.start()
thread.join()
os._exit(0)  # the deep graphs are not torn down one by one
"""

FLOW_CALLS = ["fuse", "partition_for_vexa", "driver"]


def deep_run(kind, depth, calls, **env):
    """{call: what it printed} for each call run on a network `depth` levels deep."""
    import subprocess
    import sys

    from conftest import ROOT

    code = DEEP_RUN.format(host=str(ROOT / "standin" / "host"), kind=kind, depth=depth, calls=calls)
    env = dict(os.environ, TVM_LIBRARY_PATH=str(ROOT / "standin" / "lib"), **env)
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=600)
    return result.returncode, dict(line.split(" ", 1) for line in result.stdout.splitlines())


@pytest.mark.parametrize("kind", ["if", "tuple"])
def test_deep_networks_answered_from_a_small_stack(kind):
    returncode, printed = deep_run(kind, 800, FLOW_CALLS)
    assert returncode == 0 and list(printed) == FLOW_CALLS, printed
    for call, outcome in printed.items():
        answer, depth = outcome.split()
        assert answer == "answered" and int(depth) > 800, call


def test_the_small_stack_is_too_small_for_tvm_alone():
    returncode, printed = deep_run("if", 800, ["tvm_alone"])
    assert returncode < 0 and printed == {}  # killed by a signal


def test_networks_beyond_the_depth_limit_are_refused_before_tvm():
    returncode, printed = deep_run("if", 800, FLOW_CALLS, VEXA_MAX_NESTING="500")
    assert returncode == 0 and list(printed) == FLOW_CALLS, printed
    for call, outcome in printed.items():
        assert outcome.startswith("refused: ") and "is nested 803 levels deep" in outcome, outcome
        assert "TVM's passes handle at most 500 on this machine" in outcome
    assert "mod_list[0] is nested" in printed["fuse"] and "the network is nested" in printed["driver"]
