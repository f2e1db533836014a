"""Quantized building blocks: quantize, requantize, add, multiply, tuple and concatenation patterns and checks."""

import subprocess
import sys

import pytest
import tvm
from qnn_networks import composite_names, concat, qadd, qconv, qmul, qvar, requantize, scale, typed, typed_module, zero
from tvm import relay
from tvm.relay.dataflow_pattern import is_op, wildcard

from vexatvm_internal import patterns

SHAPE = (1, 8, 8, 16)


# ----------------------------------------------------------------------------- makers


def test_quantize_and_requantize_match_their_calls_only():
    x = relay.var("x", shape=SHAPE)
    quantized = typed(relay.qnn.op.quantize(x, scale(), zero(), out_dtype="int8"))
    requantized = typed(requantize(qvar("q")))
    assert patterns.make_qnn_quantize_pattern(wildcard()).match(quantized)
    assert not patterns.make_qnn_quantize_pattern(wildcard()).match(requantized)
    assert patterns.make_requantize_pattern(x=wildcard()).match(requantized)
    assert not patterns.make_requantize_pattern(is_op("nn.relu")(wildcard())).match(requantized)


@pytest.mark.parametrize(
    "maker, build, other", [("make_qnn_add_pattern", qadd, qmul), ("make_qnn_mul_pattern", qmul, qadd)]
)
def test_binary_pattern_matches_call_and_its_clip(maker, build, other):
    call = build(qvar("a"), qvar("b"))
    pattern = getattr(patterns, maker)()
    assert pattern.match(typed(call))
    assert pattern.match(typed(relay.clip(call, -10, 10)))
    assert not pattern.match(typed(other(qvar("a"), qvar("b"))))
    assert not pattern.match(typed(relay.nn.relu(call)))


def test_given_operand_is_that_very_pattern_object():
    a, b = qvar("a"), qvar("b")
    relu = is_op("nn.relu")(wildcard())
    pattern = patterns.make_qnn_mul_pattern(relu)
    assert pattern.match(typed(qmul(relay.nn.relu(a), b)))
    assert not pattern.match(typed(qmul(a, relay.nn.relu(b))))  # rhs stays open, lhs must be the relu
    # The same object in both places: both operands must be one node.
    shared = wildcard()
    pattern = patterns.make_qnn_mul_pattern(lhs=shared, rhs=shared)
    assert pattern.match(typed(qmul(a, a)))
    assert not pattern.match(typed(qmul(a, b)))


def test_makers_build_new_patterns_on_every_call():
    for maker in ("make_qnn_add_pattern", "make_qnn_mul_pattern", "make_qnn_concat_with_req_pattern"):
        first, second = getattr(patterns, maker)(), getattr(patterns, maker)()
        assert not first.same_as(second)


def test_tuple_multi_input_pattern_calls_generator_per_field():
    calls = []

    def gen(i):
        calls.append(i)
        return wildcard()

    pattern = patterns.tuple_multi_input_pattern(1, 4, gen)
    assert calls == [0, 0, 1, 0, 1, 2]
    fields = lambda n: typed(relay.Tuple([qvar(f"v{i}") for i in range(n)]))  # noqa: E731
    assert [bool(pattern.match(fields(n))) for n in (1, 2, 3, 4)] == [True, True, True, False]
    # Left-nested alternative, shortest tuple first.
    assert len(pattern.left.left.fields) == 1 and len(pattern.left.right.fields) == 2
    assert len(pattern.right.fields) == 3


@pytest.mark.parametrize("start, end", [(3, 3), (5, 2)])
def test_tuple_multi_input_pattern_of_empty_range_is_none(start, end):
    assert patterns.tuple_multi_input_pattern(start=start, end=end, ptrn_gen=lambda i: 1 / 0) is None


def test_tuple_multi_input_pattern_rejects_non_integers():
    with pytest.raises(TypeError):
        patterns.tuple_multi_input_pattern(1.0, 3, lambda i: wildcard())


@pytest.mark.parametrize("n, matches", [(1, False), (2, True), (7, True), (8, False)])
def test_concat_pattern_takes_two_to_seven_inputs(n, matches):
    inputs = [requantize(qvar(f"v{i}", dtype="int32")) if i % 2 else qvar(f"v{i}") for i in range(n)]
    assert bool(patterns.make_qnn_concat_with_req_pattern().match(typed(concat(inputs)))) == matches


def test_concat_fields_of_different_lengths_share_no_pattern():
    pattern = patterns.make_qnn_concat_with_req_pattern().args[0]
    fields = []
    while isinstance(pattern, tvm.relay.dataflow_pattern.AltPattern):
        fields += list(pattern.right.fields)
        pattern = pattern.left
    fields += list(pattern.fields)
    assert len(fields) == sum(range(2, 8))
    assert len({f.handle.value for f in fields}) == len(fields)


def test_requantized_concat_inputs_belong_to_the_composite():
    inputs = [requantize(qvar("a", dtype="int32")), qvar("b")]
    out = patterns.make_qnn_concat_with_req_pattern().partition(typed(concat(inputs)), {"Composite": "vexa.concat"})
    body = out.op.body
    assert out.op.attrs["Composite"] == "vexa.concat"
    assert body.args[0].fields[0].op.name == "qnn.requantize"


# ----------------------------------------------------------------------------- check_qnn_add


def add_cases():
    a, b, c = qvar("a"), qvar("b"), relay.const(tvm.nd.array(__import__("numpy").zeros(SHAPE, "int8")))
    relu = relay.nn.relu
    return [
        ("computed 4-d", qadd(relu(a), relu(b)), True),
        ("two inputs", qadd(a, b), True),
        ("clip root", relay.clip(qadd(a, b), -5, 5), True),
        ("constant rhs", qadd(a, c), False),
        ("constant lhs", qadd(c, b), False),
        ("broadcast", qadd(a, qvar("b", (1, 1, 1, 16))), False),
        ("2-d", qadd(qvar("a", (8, 16)), qvar("b", (8, 16))), False),
        ("5-d", qadd(qvar("a", (1, 2, 8, 8, 16)), qvar("b", (1, 2, 8, 8, 16))), False),
    ]


class Proxy:
    """Thin Python stand-in for a Relay node: the checks see no TVM object."""

    def __init__(self, node):
        self._node = node

    def __getattr__(self, name):
        value = getattr(self._node, name)
        if name == "args":
            return [Proxy(arg) if isinstance(arg, relay.Call) else arg for arg in value]
        return value


@pytest.mark.parametrize("name, expr, verdict", add_cases(), ids=[c[0] for c in add_cases()])
def test_check_qnn_add_verdicts(name, expr, verdict, monkeypatch):
    extract = typed(expr)
    assert patterns.check_qnn_add(extract) is verdict
    assert patterns.check_qnn_add(Proxy(extract)) is verdict
    # Python-level reads: the module's Constant replaced by an equivalent class test.
    monkeypatch.setattr(patterns, "Constant", (relay.Constant,))
    assert patterns.check_qnn_add(extract) is verdict
    assert patterns.check_qnn_add(extract=Proxy(extract)) is verdict


def test_check_qnn_add_hands_the_add_call_to_the_module_check(monkeypatch):
    seen = []
    monkeypatch.setattr(patterns, "_check_qnn_add", lambda expr: seen.append(expr) or "verdict")
    add = qadd(qvar("a"), qvar("b"))
    extract = typed(relay.clip(add, -5, 5))
    assert patterns.check_qnn_add(extract) == "verdict"
    assert seen[0].same_as(extract.args[0])


@pytest.mark.parametrize("rhs_shape", [(8, 16), (1, 8, 8, 16)])
def test_check_qnn_add_symbolic_dimensions_take_python_semantics(rhs_shape, monkeypatch):
    extract = typed(qadd(qvar("a", (relay.Any(), 8, 8, 16)), qvar("b", rhs_shape)))
    native = patterns.check_qnn_add(extract)
    monkeypatch.setattr(patterns, "Constant", (relay.Constant,))
    assert native is patterns.check_qnn_add(extract) is False


def test_check_qnn_add_walks_a_long_chain_without_recursion():
    expr = qadd(qvar("a"), qvar("b"))
    for _ in range(10000):
        expr = relay.clip(expr, -5, 5)
    assert patterns.check_qnn_add(typed(expr)) is True


ODD_INPUTS = {
    "none": lambda: None,
    "var": lambda: qvar("a"),
    "constant": lambda: relay.const(1),
    "untyped add": lambda: qadd(qvar("a"), qvar("b")),
    "function call": lambda: relay.Call(relay.Function([], relay.const(1)), []),
    "no arguments": lambda: relay.Call(tvm.ir.Op.get("qnn.add"), []),
    "null arguments": lambda: relay.Call(tvm.ir.Op.get("qnn.add"), [None] * 8),
    "null operator": lambda: relay.Call(None, [qvar("a")]),
    "int": lambda: 3,
}


@pytest.mark.parametrize("check", ["check_qnn_add", "_check_qnn_add"])
@pytest.mark.parametrize("odd", ODD_INPUTS.values(), ids=ODD_INPUTS.keys())
def test_odd_inputs_raise_python_errors(check, odd):
    with pytest.raises((AttributeError, ValueError, IndexError, TypeError, tvm.TVMError)):
        getattr(patterns, check)(odd())


# ----------------------------------------------------------------------------- check_concat_pattern


def conv_call(groups):
    """A typed qnn.conv2d call with the given groups."""
    expr = typed(qconv(qvar("x", (1, 8, 8, 8)), 8, 8, groups))
    while expr.op.name != "qnn.conv2d":
        expr = expr.args[0]
    return expr


@pytest.fixture
def consumers(monkeypatch):
    """Replaces the host services: each consumer is a list of the calls find_call_of_type reports."""
    asked = []

    def install(per_consumer):
        monkeypatch.setattr(patterns, "get_consumers_mc", lambda extract: list(range(len(per_consumer))))

        def find(consumer, op_name):
            asked.append((consumer, op_name))
            return per_consumer[consumer]

        monkeypatch.setattr(patterns, "find_call_of_type", find)
        return asked

    return install


@pytest.mark.parametrize(
    "groups_per_consumer, verdict, asked",
    [
        ([], True, 0),
        ([[], []], True, 2),
        ([[1], [], [1]], True, 3),
        ([[1], [2], [1]], False, 2),  # stops at the first grouped convolution
        ([[4]], False, 1),
    ],
)
def test_check_concat_verdicts(consumers, groups_per_consumer, verdict, asked):
    per_consumer = [[conv_call(g) for g in groups] for groups in groups_per_consumer]
    seen = consumers(per_consumer)
    assert patterns.check_concat_pattern(typed(concat([qvar("a"), qvar("b")]))) is verdict
    assert [name for _, name in seen] == ["qnn.conv2d"] * asked


class Attrs:
    def __init__(self, groups):
        self.groups = groups

    def get_int(self, key):
        return getattr(self, key)


class FakeCall:
    def __init__(self, groups):
        self.attrs = Attrs(groups)


@pytest.mark.parametrize("groups, verdict", [(1, True), (2, False), (tvm.tir.IntImm("int64", 3), False)])
def test_check_concat_reads_plain_python_results(consumers, groups, verdict):
    consumers([(FakeCall(groups),)])
    assert patterns.check_concat_pattern(extract="anything") is verdict


def test_check_concat_asserts_a_single_convolution_per_consumer(consumers):
    consumers([[conv_call(1), conv_call(2)]])
    with pytest.raises(AssertionError) as raised:
        patterns.check_concat_pattern(None)
    assert raised.value.args == ()


def test_check_concat_assertion_is_skipped_under_optimize():
    code = (
        "import sys; sys.path.insert(0, 'tests'); import conftest\n"
        "from vexatvm_internal import patterns\n"
        "from test_patterns_blocks import FakeCall\n"
        "patterns.get_consumers_mc = lambda e: [0]\n"
        "patterns.find_call_of_type = lambda c, n: [FakeCall(1), FakeCall(2)]\n"
        "print(patterns.check_concat_pattern(None))\n"
    )
    result = subprocess.run(
        [sys.executable, "-O", "-c", code],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=str(__import__("conftest").ROOT),
    )
    assert result.stdout.strip() == "True", result.stderr


@pytest.mark.parametrize(
    "found, error",
    [([None], AttributeError), ([qvar("v")], AttributeError), (5, TypeError), ([relay.const(1)], AttributeError)],
)
def test_check_concat_odd_host_results_raise(consumers, found, error):
    consumers([found])
    with pytest.raises(error):
        patterns.check_concat_pattern(None)


def test_check_concat_outside_a_partition_run_propagates_host_error():
    with pytest.raises(RuntimeError):
        patterns.check_concat_pattern(typed(concat([qvar("a"), qvar("b")])))


# ----------------------------------------------------------------------------- through the host's partition driver


@pytest.fixture
def partition():
    return pytest.importorskip("vexa_host.partition").partition


@pytest.mark.parametrize("groups, concat_formed", [(1, True), (2, False)])
def test_concat_check_sees_composite_consumers(partition, monkeypatch, groups, concat_formed):
    from tvm.relay.vexa.build_module import BuildConfig

    x = qvar("x")
    net = typed_module(qconv(concat([requantize(x), x]), 32, 16, groups))
    seen = []
    original = patterns.get_consumers_mc
    monkeypatch.setattr(patterns, "get_consumers_mc", lambda e: seen.append(list(original(e))) or seen[-1])
    table = [
        ("vexa.qnn_conv", patterns.make_qnn_conv_pattern(), patterns.check_qnn_conv_pattern),
        ("vexa.concat", patterns.make_qnn_concat_with_req_pattern(), patterns.check_concat_pattern),
    ]
    with BuildConfig(arch_config={"arch": "vexa-pro"}):  # 32 channels: the grouped convolution fits
        out = partition(net, table)
    (consumers,) = seen
    assert [c.op.attrs["Composite"] for c in consumers] == ["vexa.qnn_conv"]
    assert composite_names(out) == sorted(["vexa.qnn_conv"] + (["vexa.concat"] if concat_formed else []))


def test_partition_of_a_10000_operator_chain(partition):
    x = qvar("x")
    expr = x
    for i in range(10000):
        expr = concat([requantize(expr), expr]) if i == 5000 else relay.clip(expr, -5, 5)
    expr = qadd(expr, expr)
    table = [
        ("vexa.qnn_add", patterns.make_qnn_add_pattern(), patterns.check_qnn_add),
        ("vexa.concat", patterns.make_qnn_concat_with_req_pattern(), patterns.check_concat_pattern),
    ]
    assert composite_names(partition(typed_module(expr), table)) == ["vexa.concat", "vexa.qnn_add"]
