"""The traversal stand-ins: consumers in the network being partitioned, and
the operator-call search from a (composite) call."""

import threading

import pytest
import tvm
from tvm import relay
from tvm.relay.dataflow_pattern import is_op, is_tuple, wildcard

from vexa_host import _native
from vexa_host.partition import partition
from vexa_host.relay_traversal import find_call_of_type, get_consumers_mc


def typed(expr):
    mod = relay.transform.InferType()(tvm.IRModule.from_expr(expr))
    return mod


def label(call):
    """Operator name of a call, or the composite name of a composite call."""
    return call.op.attrs["Composite"] if isinstance(call.op, relay.Function) else call.op.name


def test_outside_a_partition_run_it_says_so():
    x = relay.var("x", shape=(2,))
    with pytest.raises(RuntimeError, match="partition run"):
        get_consumers_mc(relay.nn.relu(x))


def run_check(mod, pattern, check):
    partition(mod, [("t.probe", pattern, check)])


def network():
    """x -> relu a -> {relu b, concat((a, b, a)), add(a, a)} ; concat -> abs."""
    x = relay.var("x", shape=(1, 4, 4, 2))
    a = relay.nn.relu(x)
    b = relay.nn.relu(a)
    cat = relay.concatenate([a, b, a], axis=3)
    out = relay.Tuple([relay.abs(cat), relay.add(a, a)])
    return typed(relay.Function([x], out))


def ask_in_run(mod, anchor_op, question):
    """Runs `question(extract)` from the check of a one-operator entry."""
    answers = []

    def check(extract):
        answers.append(question(extract))
        return False

    run_check(mod, is_op(anchor_op)(wildcard()) | is_op(anchor_op)(wildcard(), wildcard()), check)
    return answers


def test_consumers_direct_and_through_tuples_in_post_order_each_once():
    answers = ask_in_run(network(), "nn.relu", lambda e: [label(c) for c in get_consumers_mc(e)])
    assert sorted(answers, key=len) == [["concatenate"], ["nn.relu", "concatenate", "add"]]


def test_result_is_a_new_list_of_relay_calls():
    def question(extract):
        first, second = get_consumers_mc(extract), get_consumers_mc(extract)
        return type(first), first is second, all(isinstance(c, relay.Call) for c in first)

    assert set(ask_in_run(network(), "nn.relu", question)) == {(list, False, True)}


@pytest.mark.parametrize(
    "value, error",
    [(None, TypeError), (3, TypeError), ("x", TypeError), (tvm.IRModule(), TypeError)],
)
def test_odd_arguments_raise_python_errors_in_a_run(value, error):
    def question(extract):
        with pytest.raises(error):
            get_consumers_mc(value)
        return True

    assert ask_in_run(network(), "abs", question) == [True]


def test_expression_outside_the_network_has_no_consumers():
    stranger = relay.nn.relu(relay.var("y", shape=(2,)))
    assert ask_in_run(network(), "abs", lambda e: get_consumers_mc(stranger)) == [[]]


def test_later_entries_see_composite_consumers_of_the_current_network():
    x = relay.var("x", shape=(1, 4, 4, 2))
    cat = relay.concatenate([relay.nn.relu(x), relay.abs(x)], axis=3)
    out = relay.nn.relu(relay.negative(cat))
    mod = typed(relay.Function([x], out))
    seen = []

    def check(extract):
        seen.append([label(c) for c in get_consumers_mc(extract)])
        return True

    partition(
        mod,
        [
            ("t.neg_relu", is_op("nn.relu")(is_op("negative")(wildcard()))),
            ("t.cat", is_op("concatenate")(is_tuple(None)), check),
        ],
    )
    assert seen == [["t.neg_relu"]]


def test_check_sees_the_network_as_the_entry_began():
    x = relay.var("x", shape=(4,))
    mod = typed(relay.Function([x], relay.abs(relay.nn.relu(relay.nn.relu(x)))))
    seen = []

    def check(extract):
        seen.append([label(c) for c in get_consumers_mc(extract)])
        return True

    # Matches of the same entry do not show each other as composites.
    partition(mod, [("t.relu", is_op("nn.relu")(wildcard()), check)])
    assert seen == [["nn.relu"], ["abs"]]


def test_the_index_is_built_once_per_entry_that_asks():
    def asking(extract):
        for _ in range(3):
            get_consumers_mc(extract)
        return True

    before = _native.indexes_built()
    partition(
        network(),
        [
            ("t.relu", is_op("nn.relu")(wildcard()), asking),  # two matches, six questions
            ("t.abs", is_op("abs")(wildcard())),
            ("t.add", is_op("add")(wildcard(), wildcard()), asking),
        ],
    )
    assert _native.indexes_built() - before == 2


def test_a_failing_check_leaves_no_network_behind():
    def check(extract):
        raise ValueError("check failed")

    with pytest.raises(ValueError, match="check failed"):
        run_check(network(), is_op("abs")(wildcard()), check)
    with pytest.raises(RuntimeError, match="partition run"):
        get_consumers_mc(relay.var("x"))


def test_networks_of_other_threads_are_invisible():
    outcome = []
    inside = threading.Event()
    done = threading.Event()

    def check(extract):
        inside.set()
        done.wait(30)
        return True

    worker = threading.Thread(target=run_check, args=(network(), is_op("abs")(wildcard()), check))
    worker.start()
    inside.wait(30)
    try:
        get_consumers_mc(relay.var("x"))
    except RuntimeError:
        outcome.append("refused")
    done.set()
    worker.join()
    assert outcome == ["refused"]


def test_ten_thousand_operator_chain():
    x = relay.var("x", shape=(1, 4))
    expr = x
    for i in range(10000):
        expr = relay.nn.relu(expr) if i % 2 else relay.abs(expr)
    mod = typed(relay.Function([x], expr))
    counts = []

    def check(extract):
        counts.append(len(get_consumers_mc(extract)))
        return len(counts) % 2 == 0

    out = partition(mod, [("t.relu", is_op("nn.relu")(wildcard()), check)])
    assert len(counts) == 5000 and counts.count(1) == 4999 and counts.count(0) == 1
    composites = []
    relay.analysis.post_order_visit(out["main"], lambda e: composites.append(isinstance(e, relay.Function)))
    assert composites.count(True) == 1 + 2500  # main and every accepted relu


# find_call_of_type


def grouped_conv(x, groups):
    w = relay.var("w", shape=(3, 3, 8 // groups, 8))
    return relay.nn.conv2d(
        x, w, channels=8, groups=groups, kernel_size=(3, 3), data_layout="NHWC", kernel_layout="HWIO"
    )


def composite_call(groups_list):
    """A call of a composite whose body holds one convolution per entry."""
    x = relay.var("x", shape=(1, 16, 16, 8))
    body = x
    for groups in groups_list:
        body = relay.nn.relu(grouped_conv(body, groups))
    params = relay.analysis.free_vars(body)
    func = relay.Function(params, body).with_attr("Composite", "t.convs")
    return relay.Call(func, params)


@pytest.mark.parametrize("groups_list", [[], [2], [1, 4], [4, 1, 2]])
def test_finds_convolutions_inside_a_composite_in_post_order(groups_list):
    found = find_call_of_type(composite_call(groups_list), "nn.conv2d")
    assert type(found) is list
    assert [int(c.attrs.get_int("groups")) for c in found] == groups_list


def test_finds_the_call_itself_but_not_its_arguments():
    x = relay.var("x", shape=(1, 16, 16, 8))
    conv = grouped_conv(relay.nn.relu(grouped_conv(x, 2)), 4)
    assert [c.attrs.get_int("groups") for c in find_call_of_type(conv, "nn.conv2d")] == [4]
    assert find_call_of_type(relay.nn.relu(conv), "nn.conv2d") == []


@pytest.mark.parametrize("expr", [relay.var("v"), relay.const(1.0), relay.Tuple([relay.var("v")])])
def test_non_calls_give_nothing(expr):
    assert find_call_of_type(expr, "nn.conv2d") == []


@pytest.mark.parametrize("expr, op_name", [(None, "nn.conv2d"), (7, "nn.conv2d"), (relay.var("v"), None)])
def test_find_refuses_odd_arguments_with_type_error(expr, op_name):
    with pytest.raises(TypeError):
        find_call_of_type(expr, op_name)


def test_find_in_a_deep_composite_body():
    x = relay.var("x", shape=(1, 4))
    body = x
    for _ in range(10000):
        body = relay.nn.relu(body)
    func = relay.Function([x], body).with_attr("Composite", "t.deep")
    assert len(find_call_of_type(relay.Call(func, [relay.var("y", shape=(1, 4))]), "nn.relu")) == 10000
