"""The renaming and input-merging passes of network fusion."""

import graphmeld_networks as nets
import graphmeld_reference as reference
import pytest
import tvm
from graphmeld_networks import SHAPE, quantize
from tvm import relay

from vexatvm_internal import graphmeld


def tensor(name, shape=SHAPE):
    return relay.var(name, shape=shape)


def conv(x, w):
    return relay.nn.conv2d(x, w, kernel_size=(3, 3), padding=(1, 1))


def main_of(mod):
    return mod["main"]


def same_result(ours, theirs):
    """Our module equals the reference's: structure, names and printed form."""
    assert tvm.ir.structural_equal(ours, theirs)
    assert ours.astext() == theirs.astext()


def test_module_namespace():
    names = [n for n in vars(graphmeld) if not n.startswith("__")]
    assert names == [
        "tvm", "transform", "analysis", "annotation", "Call", "Tuple", "Var", "var", "ExprMutator", "Function",
        "_VarNameSuffixAppender", "_InputMerger", "_update_params", "fuse_graphmeld",
    ]  # fmt: skip
    assert graphmeld.annotation is relay.annotation and graphmeld.ExprMutator is relay.ExprMutator
    assert graphmeld._VarNameSuffixAppender.__doc__ == "Update each var's name by appending a suffix."
    assert graphmeld._InputMerger.__doc__ == "Make multiple networks share a single input tensor."


def test_pass_objects_are_function_passes_with_readable_fields():
    renamer = graphmeld._VarNameSuffixAppender(suffix=3)
    merger = graphmeld._InputMerger(["w_1"])
    assert isinstance(renamer, tvm.relay.transform.FunctionPass)
    assert renamer.info.opt_level == 1 and renamer.info.name == "_VarNameSuffixAppender"
    assert renamer.suffix == 3
    assert (merger.param_names, merger.shared_input, merger.shared_quantized_input) == (["w_1"], None, None)
    assert merger._var_is_input("data_1") and not merger._var_is_input("w_1")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: graphmeld._VarNameSuffixAppender(), "missing 1 required positional argument: 'suffix'"),
        (lambda: graphmeld._VarNameSuffixAppender(1, 2), "takes 2 positional arguments but 3 were given"),
        (lambda: graphmeld._InputMerger(names=[]), "unexpected keyword argument 'names'"),
    ],
)
def test_pass_constructor_argument_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_renaming_keeps_types_and_replaces_each_variable_once():
    data, weight = tensor("data"), tensor("conv1_weight", (4, 4, 3, 3))
    y = conv(data, weight)
    body = relay.Tuple([y, relay.add(data, y), relay.multiply(data, data), relay.nn.relu(data)])  # data 5 times
    mod = nets.module([data, weight], body)
    renamed = main_of(graphmeld._VarNameSuffixAppender(2)(mod))
    assert [p.name_hint for p in renamed.params] == ["data_2", "conv1_weight_2"]
    assert tvm.ir.structural_equal(renamed.params[1].type_annotation, weight.type_annotation)
    new_data = renamed.params[0]
    calls = []
    relay.analysis.post_order_visit(renamed.body, lambda n: isinstance(n, relay.Call) and calls.append(n))
    data_uses = [a for c in calls for a in c.args if isinstance(a, relay.Var) and a.name_hint == "data_2"]
    assert len(data_uses) == 5 and all(u.same_as(new_data) for u in data_uses)
    same_result(graphmeld._VarNameSuffixAppender(2)(mod), reference.VarNameSuffixAppender(2)(mod))
    assert main_of(mod).params[0].name_hint == "data"  # the module passed in is unchanged


@pytest.mark.parametrize("name, suffix, expected", [("data", "a", "data_a"), ("", 1, "_1"), ("x", 10, "x_10")])
def test_renaming_suffix_text(name, suffix, expected):
    x = relay.var(name, shape=(2,))
    renamed = main_of(graphmeld._VarNameSuffixAppender(suffix)(nets.module([x], relay.nn.relu(x))))
    assert renamed.params[0].name_hint == expected


def test_renaming_reaches_let_bound_and_inner_function_variables():
    x, t, y = tensor("x"), tensor("t"), tensor("y")
    inner = relay.Function([y], relay.nn.relu(y))
    body = relay.Let(t, relay.nn.relu(x), relay.add(relay.Call(inner, [t]), t))
    mod = nets.module([x], body)
    renamed = graphmeld._VarNameSuffixAppender(7)(mod)
    text = renamed.astext()
    assert "%t_7" in text and "%y_7" in text and "%x_7" in text and "%t " not in text
    same_result(renamed, reference.VarNameSuffixAppender(7)(mod))


def test_renaming_every_function_of_the_module_keeps_global_references_and_spans():
    mod = relay.fromtext(
        """
        #[version = "0.0.5"]
        def @helper(%a: Tensor[(2), float32]) -> Tensor[(2), float32] { nn.relu(%a) }
        def @main(%x: Tensor[(2), float32]) -> Tensor[(2), float32] { @helper(%x) }
        """
    )
    renamed = graphmeld._VarNameSuffixAppender(1)(mod)
    assert renamed["helper"].params[0].name_hint == "a_1"
    assert renamed["main"].body.op.name_hint == "helper"
    assert renamed["main"].body.span.line == 4  # a rebuilt call keeps its span
    same_result(renamed, reference.VarNameSuffixAppender(1)(mod))


def two_networks(first, second):
    """One function over the bodies of two networks (as fusion builds it)."""
    body = relay.Tuple([first, second])
    return nets.module(relay.analysis.free_vars(body), body)


def test_raw_inputs_share_the_first_networks_input():
    d1, d2, w1, w2 = tensor("data_1"), tensor("data_2"), tensor("w_1", (4, 4, 3, 3)), tensor("w_2", (4, 4, 3, 3))
    mod = two_networks(conv(d1, w1), conv(d2, w2))
    merger = graphmeld._InputMerger(["w_1", "w_2"])
    merged = main_of(merger(mod))
    assert [p.name_hint for p in merged.params] == ["data_1", "w_1", "w_2"]
    assert all(field.args[0].same_as(merged.params[0]) for field in merged.body.fields)
    assert merger.shared_input.name_hint == "data_1" and merger.shared_quantized_input is None


def test_quantized_inputs_share_the_first_quantize_call():
    d1, d2 = tensor("data_1"), tensor("data_2")
    q1, q2 = quantize(d1, 0.5), quantize(d2, 0.25)
    mod = two_networks(relay.nn.relu(relay.cast(q1, "int32")), relay.nn.relu(relay.cast(q2, "int32")))
    merger = graphmeld._InputMerger([])
    merged = main_of(merger(mod))
    assert [p.name_hint for p in merged.params] == ["data_1"]
    shared = [field.args[0].args[0] for field in merged.body.fields]
    assert shared[0].same_as(shared[1]) and merger.shared_quantized_input.args[0].name_hint == "data_1"
    assert float(shared[0].args[1].data.numpy()) == 0.5 and shared[0].args[0].same_as(merged.params[0])
    assert merger.shared_input is None  # the quantize call itself is never visited
    same_result(graphmeld._InputMerger([])(mod), reference.InputMerger([])(mod))


def test_raw_and_quantized_inputs_pick_separate_shared_nodes():
    d1, d2 = tensor("data_1"), tensor("data_2")
    mod = two_networks(relay.cast(quantize(d1, 0.5), "int32"), relay.nn.relu(d2))
    merger = graphmeld._InputMerger([])
    merged = main_of(merger(mod))
    assert [p.name_hint for p in merged.params] == ["data_1", "data_2"]
    assert merger.shared_quantized_input.args[0].name_hint == "data_1" and merger.shared_input.name_hint == "data_2"


def test_later_arguments_are_neither_replaced_nor_visited():
    w1, d1, d2, d3 = tensor("w_1"), tensor("data_1"), tensor("data_2"), tensor("data_3")
    # add(w_1, data_2): the input is only a second operand; add(data_1, relu(data_3)): redirected,
    # and relu(data_3) below it is kept as it stands.
    mod = two_networks(relay.add(w1, d2), relay.add(d1, relay.nn.relu(d3)))
    merged = main_of(graphmeld._InputMerger(["w_1"])(mod))
    assert [p.name_hint for p in merged.params] == ["w_1", "data_2", "data_1", "data_3"]
    assert merged.body.fields[0].args[1].same_as(merged.params[1])
    same_result(graphmeld._InputMerger(["w_1"])(mod), reference.InputMerger(["w_1"])(mod))


def test_call_without_arguments_fails_with_index_error_unless_not_visited():
    d1 = tensor("data_1")
    empty = relay.Call(relay.op.get("zeros_like"), [])
    with pytest.raises(IndexError, match="Index out of range"):
        graphmeld._InputMerger(["data_1"])._inst.transform_function(
            relay.Function([d1], relay.add(d1, empty)), None, None
        )
    # Below a redirected call the argumentless call is never visited.
    func = relay.Function([d1], relay.Tuple([relay.add(d1, relay.nn.relu(d1)), relay.add(d1, empty)]))
    assert graphmeld._InputMerger([])._inst.transform_function(func, None, None) is not None


def test_merger_keeps_its_shared_node_across_modules():
    merger = graphmeld._InputMerger([])
    d1 = tensor("data_1")
    merger(nets.module([d1], relay.nn.relu(d1)))
    d9 = tensor("data_9")
    first = merger.shared_input
    merged = main_of(merger(nets.module([d9], relay.nn.relu(d9))))
    assert [p.name_hint for p in merged.params] == ["data_1"] and merger.shared_input.same_as(first)


def test_shapes_that_differ_are_refused_before_anything_is_returned():
    d1, d2, w2 = tensor("data_1"), tensor("data_2", (1, 2)), tensor("w_2", (1, 2))
    merger = graphmeld._InputMerger(["w_2"])
    with pytest.raises(TypeError, match=r"data_2 of network 2 \(mod_list\[1\]\), Tensor\[\(1, 2\), float32\]"):
        merger(two_networks(relay.nn.relu(d1), relay.add(d2, w2)))


def test_rebuilt_function_drops_attributes_and_result_type():
    x = tensor("w_1")
    func = relay.Function([x], relay.nn.relu(x), ret_type=relay.TensorType(SHAPE)).with_attr("Custom", 1)
    merged = graphmeld._InputMerger(["w_1"])._inst.transform_function(func, None, None)
    assert merged.ret_type is None and not merged.attrs
    assert tvm.ir.structural_equal(merged.body, func.body) and merged.body.same_as(func.body)


@pytest.mark.parametrize(
    "value, error",
    [(None, Exception), (3, Exception), ([1], TypeError), (tvm.IRModule(), Exception), (relay.const(1), None)],
)
def test_odd_functions_fail_as_the_python_mutator_does(value, error):
    renamer, merger = graphmeld._VarNameSuffixAppender(1)._inst, graphmeld._InputMerger([])._inst
    for make_pass in (renamer, merger):
        if error is None and make_pass is renamer:
            assert make_pass.transform_function(value, None, None).same_as(value)
            continue
        with pytest.raises(error or AttributeError) as info:
            make_pass.transform_function(value, None, None)
        assert type(info.value) is not SystemError


def test_odd_merger_state_raises_python_errors():
    d1 = tensor("data_1")
    mod = nets.module([d1], relay.nn.relu(d1))
    with pytest.raises(TypeError, match="not iterable"):
        graphmeld._InputMerger(5)(mod)
    merger = graphmeld._InputMerger([])
    merger._inst.shared_input = "not an expression"
    with pytest.raises(TypeError, match="shared_input"):
        merger(mod)


class Names:
    """A container answering `in` through Python code."""

    def __init__(self, names):
        self.names, self.asked = names, []

    def __contains__(self, name):
        self.asked.append(name)
        return name in self.names


def test_param_names_of_any_container():
    d1, w1 = tensor("data_1"), tensor("w_1")
    mod = nets.module([d1, w1], relay.Tuple([relay.add(w1, d1), relay.nn.relu(d1)]))
    names = Names({"w_1"})
    merged = main_of(graphmeld._InputMerger(names)(mod))
    assert names.asked == ["w_1", "data_1"]
    assert [p.name_hint for p in merged.params] == ["w_1", "data_1"]


@pytest.mark.parametrize("make", [lambda: graphmeld._VarNameSuffixAppender(1), lambda: graphmeld._InputMerger([])])
def test_ten_thousand_operator_chain(make):
    result = make()(nets.chain(10000))
    assert len(result["main"].params) == 1


def test_ten_thousand_nested_lets():
    x = tensor("x")
    bound = [tensor(f"t{i}") for i in range(10000)]
    body = bound[-1]
    for i in reversed(range(len(bound))):
        body = relay.Let(bound[i], relay.nn.relu(bound[i - 1] if i else x), body)
    renamed = graphmeld._VarNameSuffixAppender(1)._inst.transform_function(relay.Function([x], body), None, None)
    assert renamed.body.var.name_hint == "t0_1"
    merged = graphmeld._InputMerger(["x_1"])._inst.transform_function(renamed, None, None)
    assert [p.name_hint for p in merged.params] == ["x_1"]
