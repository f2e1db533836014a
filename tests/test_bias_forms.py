"""The native bias forms give what TVM's CanonicalizeOps and the reference
pattern rewrites give, with every node typed as type inference types it:
on every rank and axis of a bias_add, the samples, and a few hundred random
networks holding the forms and their near misses; rewritten networks
compute the same outputs."""

import numpy as np
import pytest
from conftest import ROOT, requires_tvm

pytestmark = requires_tvm

import sys  # noqa: E402

sys.path.insert(0, str(ROOT / "tools" / "vexatvm"))
import bias_forms_networks as networks  # noqa: E402
import bias_forms_reference as reference  # noqa: E402
import tvm  # noqa: E402
from relay_run import HOST_TARGET  # noqa: E402
from tvm import relay  # noqa: E402

from vexa_host import _native, bias_forms  # noqa: E402
from vexa_host.canonicalize import integer_form  # noqa: E402
from vexa_host.flow import NHWC_LAYOUTS  # noqa: E402
from vexa_host.folding import fold_constants  # noqa: E402
from vexatvm_cli.samples import SAMPLES  # noqa: E402


def _checked_types(mod):
    types = []
    relay.analysis.post_order_visit(
        mod["main"], lambda node: None if isinstance(node, tvm.ir.Op) else types.append(node.checked_type)
    )
    return types


def assert_typed_as_inferred(native, expected):
    assert tvm.ir.structural_equal(native["main"], expected["main"], map_free_vars=True)
    assert _native.fully_typed(native["main"])
    assert tvm.ir.structural_equal(_checked_types(native), _checked_types(relay.transform.InferType()(native)))


@pytest.mark.parametrize("rank, axis", [(rank, axis) for rank in range(1, 6) for axis in range(-rank, rank)])
def test_bias_adds_expand_as_canonicalize_ops(rank, axis):
    shape = (2, 3, 4, 5, 6)[:rank]
    x = relay.var("x", shape=shape)
    bias = relay.var("b", shape=(shape[axis],))
    biased = relay.nn.bias_add(x, bias, axis=axis)
    # The bias shared by two bias_adds, one of them nested in another's data.
    body = relay.nn.bias_add(relay.nn.relu(biased), bias, axis=axis)
    mod = networks.typed(relay.Function([x, bias], body))
    expected = relay.transform.InferType()(relay.transform.CanonicalizeOps()(mod))
    assert_typed_as_inferred(bias_forms.expand_bias_adds(mod), expected)


def test_functions_without_bias_adds_stay_the_same_objects():
    x = relay.var("x", shape=(1, 4))
    mod = networks.typed(relay.Function([x], relay.add(x, relay.const(1.0))))
    for step in (bias_forms.expand_bias_adds, bias_forms.quantized_bias_adds, bias_forms.channel_bias_adds):
        assert step(mod).same_as(mod)


# (forms in a network, the native step, the reference callbacks it stands for)
STEPS = [
    (
        (networks.conv_bias, networks.dense_bias),
        bias_forms.quantized_bias_adds,
        (reference.QuantizedConvBiasToBiasAdd, reference.DenseBiasAddBack),
    ),
    ((networks.requantized_relu,), bias_forms.requantized_relu_clips, (reference.RequantizedReluToClip,)),
    ((networks.channel_bias,), bias_forms.channel_bias_adds, (reference.ChannelBiasToBiasAdd,)),
]


def _random_case(seed):
    """(network or None when its choices do not type, native step, reference callbacks)"""
    forms, step, callbacks = STEPS[seed % len(STEPS)]
    return networks.network(seed, forms), step, callbacks


def test_native_forms_equal_the_reference_on_random_networks():
    rewritten = 0
    for seed in range(300):
        mod, step, callbacks = _random_case(seed)
        if mod is not None:
            native = step(mod)
            assert_typed_as_inferred(native, reference.rewritten(mod, *callbacks))
            rewritten += not native.same_as(mod)
    assert rewritten > 100  # the networks do hold the forms


@pytest.mark.parametrize("name", sorted(SAMPLES))
def test_native_forms_equal_the_reference_on_samples(name):
    mod = relay.transform.InferType()(SAMPLES[name]().mod)
    expected = reference.rewritten(mod, reference.RequantizedReluToClip)
    mod = bias_forms.requantized_relu_clips(integer_form(mod))
    assert tvm.ir.structural_equal(mod["main"], expected["main"], map_free_vars=True)
    expanded = bias_forms.expand_bias_adds(mod)
    assert_typed_as_inferred(expanded, relay.transform.InferType()(relay.transform.CanonicalizeOps()(mod)))
    nhwc = fold_constants(relay.transform.ConvertLayout(NHWC_LAYOUTS)(expanded), fold_qnn=False)
    for step, callbacks in [
        (bias_forms.quantized_bias_adds, (reference.QuantizedConvBiasToBiasAdd, reference.DenseBiasAddBack)),
        (bias_forms.channel_bias_adds, (reference.ChannelBiasToBiasAdd,)),
    ]:
        assert_typed_as_inferred(step(nhwc), reference.rewritten(nhwc, *callbacks))


def _outputs(mod, inputs):
    with tvm.transform.PassContext(opt_level=3):
        result = relay.create_executor("graph", mod=mod, target=HOST_TARGET).evaluate()(*inputs)
    return [field.numpy() for field in result]


def test_rewritten_networks_compute_the_same():
    compared = {step: 0 for _, step, _ in STEPS}
    for seed in range(60):
        mod, step, _ = _random_case(seed)
        rewritten = step(mod) if mod is not None and compared[step] < 3 else mod
        if rewritten is not None and not rewritten.same_as(mod):
            rng = np.random.default_rng(seed)
            params = [param.checked_type for param in mod["main"].params]
            inputs = [rng.integers(-50, 50, size=[int(d) for d in t.shape]).astype(t.dtype) for t in params]
            for before, after in zip(_outputs(mod, inputs), _outputs(rewritten, inputs)):
                np.testing.assert_array_equal(after, before)
            compared[step] += 1
    assert all(count == 3 for count in compared.values())


def test_dense_bias_of_one_value_broadcast_stays_an_add():
    # nn.bias_add of a one-value vector over several units does not type:
    # the reference's rewrite made a network that fails type inference.
    x = relay.var("x", shape=(2, 6), dtype="int8")
    bias = relay.var("b", shape=(1,), dtype="int32")
    zero, half = relay.const(0), relay.const(0.5)
    dense = relay.qnn.op.dense(x, relay.const(np.ones((5, 6), "int8")), zero, zero, half, half, units=5)
    mod = networks.typed(relay.Function([x, bias], relay.add(dense, relay.expand_dims(bias, axis=0))))
    with pytest.raises(tvm.TVMError):
        reference.rewritten(mod, reference.DenseBiasAddBack)
    assert bias_forms.quantized_bias_adds(mod).same_as(mod)
