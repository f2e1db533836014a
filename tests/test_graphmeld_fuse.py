"""Fusing networks with fuse_graphmeld."""

import random
import subprocess
import sys

import graphmeld_networks as nets
import graphmeld_reference as reference
import numpy as np
import pytest
import tvm
from conftest import ROOT
from graphmeld_networks import SHAPE, quantize
from tvm import relay
from tvm.relay import testing

from vexa_host import annotation_standin
from vexatvm_internal import graphmeld


@pytest.fixture(autouse=True)
def tuple_annotation(monkeypatch):
    """The host's tuple annotation, stood in for during each test."""
    monkeypatch.setattr(relay.annotation, "tuple_graphmeld", annotation_standin.tuple_graphmeld, raising=False)


def conv_network(quantized=False):
    data = relay.var("data", shape=SHAPE)
    w = relay.var("w", shape=(4, 4, 3, 3))
    x = relay.cast(quantize(data, 0.5), "float32") if quantized else data
    return nets.module([data, w], relay.nn.conv2d(x, w, kernel_size=(3, 3), padding=(1, 1)))


def param_names(mod):
    return [p.name_hint for p in mod["main"].params]


def assert_same_as_reference(mod_list, params_list, share_input):
    ours, ours_params = graphmeld.fuse_graphmeld(mod_list, params_list, share_input)
    theirs, theirs_params = reference.fuse(mod_list, params_list, share_input)
    assert tvm.ir.structural_equal(ours, theirs)
    assert ours.astext() == theirs.astext()
    assert list(ours_params) == list(theirs_params)
    assert all(ours_params[k] is theirs_params[k] for k in ours_params)
    return ours, ours_params


def test_two_networks_side_by_side():
    w1, w2 = np.ones((4, 4, 3, 3), "float32"), np.zeros((4, 4, 3, 3), "float32")
    mod, params = graphmeld.fuse_graphmeld([conv_network(), conv_network()], [{"w": w1}, {"w": w2}])
    assert param_names(mod) == ["data_1", "w_1", "data_2", "w_2"]
    assert list(params) == ["w_1", "w_2"] and params["w_1"] is w1 and params["w_2"] is w2
    fields = mod["main"].body.fields
    assert [f.args[1].name_hint for f in fields] == ["w_1", "w_2"]


@pytest.mark.parametrize("quantized", [False, True])
def test_shared_input(quantized):
    mods = [conv_network(quantized), conv_network(quantized), conv_network(quantized)]
    mod, _ = assert_same_as_reference(mods, [{"w": 1}, {"w": 2}, {"w": 3}], True)
    assert param_names(mod) == ["data_1", "w_1", "w_2", "w_3"]
    firsts = [f.args[0].args[0] if quantized else f.args[0] for f in mod["main"].body.fields]
    assert all(first.same_as(firsts[0]) for first in firsts)


@pytest.mark.parametrize("share_input", [0, "", None, False])
def test_false_share_input_values_do_not_share(share_input):
    mod, _ = graphmeld.fuse_graphmeld([conv_network(), conv_network()], [{"w": 1}, {"w": 2}], share_input)
    assert param_names(mod) == ["data_1", "w_1", "data_2", "w_2"]


def test_one_network_and_none():
    mod, params = graphmeld.fuse_graphmeld(mod_list=[conv_network()], params_list=[{"w": 1}], share_input=1)
    assert param_names(mod) == ["data_1", "w_1"] and len(mod["main"].body.fields) == 1
    mod, params = graphmeld.fuse_graphmeld([], [])
    assert params == {} and len(mod["main"].body.fields) == 0


def test_keys_are_suffixed_even_when_no_variable_has_that_name():
    mod, params = graphmeld.fuse_graphmeld([conv_network(), conv_network()], [{"other": 1}, {}], share_input=True)
    assert list(params) == ["other_1"]
    # "w_1" and "w_2" are not parameter names, so both weights count as inputs: neither is a first
    # argument, so they stay; data_2 is redirected to data_1.
    assert param_names(mod) == ["data_1", "w_1", "w_2"]


def test_tuple_annotation_is_looked_up_when_fusing(monkeypatch):
    seen = []

    def marker(tup):
        seen.append([f.args[1].name_hint for f in tup.fields])
        return relay.Tuple(list(tup.fields)[::-1])

    monkeypatch.setattr(relay.annotation, "tuple_graphmeld", marker)
    mod, _ = graphmeld.fuse_graphmeld([conv_network(), conv_network()], [{"w": 1}, {"w": 2}])
    assert seen == [["w_1", "w_2"]] and param_names(mod) == ["data_2", "w_2", "data_1", "w_1"]


def test_arguments_are_left_unchanged():
    mods, params_list = [conv_network(), conv_network()], [{"w": 1}, {"w": 2}]
    texts = [m.astext() for m in mods]
    mod_list, copies = list(mods), [dict(p) for p in params_list]
    graphmeld.fuse_graphmeld(mod_list, params_list, True)
    assert [m.astext() for m in mods] == texts and mod_list == mods and params_list == copies


def test_length_mismatch_fails_before_any_pass(monkeypatch):
    calls = []
    monkeypatch.setattr(graphmeld, "_VarNameSuffixAppender", lambda suffix: calls.append(suffix))
    with pytest.raises(AssertionError) as info:
        graphmeld.fuse_graphmeld([conv_network(), conv_network()], [{}, {}, {}])
    assert info.value.args == () and calls == []


def test_without_assertions_a_short_params_list_fails_at_the_missing_position():
    code = """
import sys; sys.path[:0] = ["tests", "standin/host"]
import vexa_host; vexa_host.install()
from tvm import relay
import graphmeld_networks as nets
from vexatvm_internal import graphmeld
done = []
graphmeld._update_params = lambda params, suffix: done.append(suffix) or {}
try:
    graphmeld.fuse_graphmeld([nets.chain(1)] * 3, [{}, {}])
except IndexError:
    print("IndexError after", done)
mod, _ = graphmeld.fuse_graphmeld([nets.chain(1)], [{}, {}])
print(len(mod["main"].body.fields))
"""
    result = subprocess.run([sys.executable, "-O", "-c", code], cwd=ROOT, capture_output=True, text=True, timeout=120)
    assert result.stdout.split("\n")[:2] == ["IndexError after [1, 2]", "1"], result.stderr


@pytest.mark.parametrize(
    "mod_list, params_list, error",
    [
        ([relay.const(1)], [{}], tvm.TVMError),  # not a module: the pass machinery refuses it
        ([tvm.IRModule()], [{}], ValueError),  # no "main" function
        ([conv_network()], [{1: 2}], TypeError),  # a key that is not text
        ([conv_network()], [[("w", 1)]], AttributeError),  # no items()
        ([conv_network()], [None], AttributeError),
        (None, [], TypeError),
        ([conv_network()], 5, TypeError),
    ],
)
def test_odd_arguments_raise(mod_list, params_list, error):
    with pytest.raises(error):
        graphmeld.fuse_graphmeld(mod_list, params_list)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "missing 2 required positional arguments: 'mod_list' and 'params_list'"),
        (([], [], False, 1), {}, "takes 3 positional arguments but 4 were given"),
        (([], []), {"share": True}, "unexpected keyword argument 'share'"),
        (([],), {"mod_list": []}, "multiple values for argument 'mod_list'"),
    ],
)
def test_bad_calls(args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        graphmeld.fuse_graphmeld(*args, **kwargs)


def test_update_params():
    value = object()
    assert graphmeld._update_params({"a": value, "b_2": 1}, 3) == {"a_3": value, "b_2_3": 1}
    assert graphmeld._update_params({}, object()) == {}
    with pytest.raises(ValueError, match="not enough values to unpack"):
        graphmeld._update_params(type("P", (), {"items": lambda self: [("a",)]})(), 1)


@pytest.mark.parametrize("share_input", [False, True])
def test_testing_models_fused(share_input):
    models = [
        testing.mlp.get_workload(batch_size=1, image_shape=(3, 224, 224)),
        testing.mobilenet.get_workload(batch_size=1),
        testing.resnet.get_workload(batch_size=1, num_layers=18),
    ]
    mods, params_list = [m for m, _ in models], [p for _, p in models]
    mod, params = assert_same_as_reference(mods, params_list, share_input)
    assert len(params) == sum(len(p) for p in params_list)
    expected = ["data_1"] if share_input else ["data_1", "data_2", "data_3"]
    assert [p.name_hint for p in mod["main"].params if p.name_hint not in params] == expected
    relay.transform.InferType()(mod)


@pytest.mark.parametrize("seed", range(40))
def test_random_networks_match_the_reference(seed):
    rng = random.Random(seed)
    networks = [nets.random_network(rng, rng.randint(1, 30)) for _ in range(rng.randint(1, 4))]
    mods, params_list = [m for m, _ in networks], [p for _, p in networks]
    assert_same_as_reference(mods, params_list, rng.random() < 0.6)


def test_ten_thousand_operator_networks():
    mod, _ = graphmeld.fuse_graphmeld([nets.chain(10000), nets.chain(10000)], [{}, {}], share_input=True)
    assert param_names(mod) == ["data_1"]
