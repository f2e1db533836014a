"""The C++ crossing between Python TVM objects and TVM's own C++ objects."""

import sys

import pytest
import tvm
from conftest import STANDIN_DIR
from tvm import relay

sys.path.insert(0, str(STANDIN_DIR))
import _relay_probe as probe  # noqa: E402


def conv(groups=2):
    data = relay.var("data", shape=(1, 8, 8, 4))
    weight = relay.var("weight", shape=(4, 2, 3, 3))
    return data, relay.nn.conv2d(data, weight, channels=4, groups=groups, kernel_size=(3, 3))


def test_reads_call_natively_and_returns_python_objects():
    data, call = conv()
    assert probe.op_name(call) == "nn.conv2d"
    first = probe.first_argument(call)
    assert type(first) is relay.Var and first.same_as(data) and first.name_hint == "data"
    assert probe.int_attribute(call, "groups") == 2
    assert probe.int_attribute(call, "channels") == 4  # stored as an integer node
    assert probe.int_attribute(call, "no_such_attribute") is None


@pytest.mark.parametrize("value", [None, 3, "nn.relu", object(), relay.var("x")])
def test_values_that_are_not_calls_give_no_answer(value):
    assert probe.op_name(value) is None
    assert probe.first_argument(value) is None


def test_lookalikes_are_never_read_as_tvm_objects():
    from unittest import mock

    from tvm.runtime.object import ObjectBase

    class Unset(ObjectBase):
        pass

    class FakeHandle(ObjectBase):
        pass

    fake = FakeHandle.__new__(FakeHandle)
    fake.handle = mock.MagicMock()  # not a pointer: must not be taken for an address
    for value in [mock.MagicMock(spec=relay.Call), Unset.__new__(Unset), fake]:
        assert probe.op_name(value) is None
        assert probe.same_object(value) is None
    fake.handle = None  # keep ObjectBase.__del__ away from the mock


@pytest.mark.parametrize(
    "make",
    [
        lambda: conv()[1],
        lambda: tvm.IRModule.from_expr(conv()[1]),
        lambda: relay.const(1.5),
        lambda: tvm.ir.Op.get("add"),
    ],
)
def test_object_round_trip_keeps_identity_and_class(make):
    value = make()
    back = probe.same_object(value)
    assert type(back) is type(value) and back.same_as(value)


def test_round_trip_outlives_the_original():
    back = probe.same_object(conv()[1])  # the original is gone at once
    assert probe.op_name(back) == "nn.conv2d" and str(back.args[0].name_hint) == "data"


def test_deep_chain_is_walked_without_recursion():
    expr = relay.var("x", shape=(1, 4))
    for _ in range(10000):
        expr = relay.nn.relu(expr)
    assert probe.call_count(expr) == 10000


def test_non_expression_is_refused_with_python_error():
    with pytest.raises(TypeError):
        probe.call_count(tvm.IRModule())
