"""A call carrying attributes of another kind than its operator reads (or
none) would take the process down in TVM's type inference, which every pass
runs first: the package refuses such networks with TypeError instead."""

import pytest
import tvm
from conftest import requires_tvm
from tvm import relay

pytestmark = requires_tvm


def _network(attrs):
    x = relay.var("x", shape=(1, 8))
    odd = relay.Call(relay.op.get("reshape"), [relay.nn.relu(x)], attrs)
    return tvm.IRModule.from_expr(relay.Function([x], relay.nn.relu(odd)))


FOREIGN = {
    "another kind": lambda: tvm.ir.make_node("relay.attrs.CastAttrs", dtype="int8"),
    "none": lambda: None,
}


@pytest.mark.parametrize("attrs", FOREIGN)
def test_fusion_refuses_a_call_with_foreign_attributes(attrs):
    from vexatvm_internal import graphmeld

    good = relay.transform.InferType()(_network(tvm.ir.make_node("relay.attrs.ReshapeAttrs", newshape=[8, 1])))
    with pytest.raises(
        TypeError,
        match=r"mod_list\[1\]: a call of reshape carries .* reshape reads "
        r"relay.attrs.ReshapeAttrs",
    ):
        graphmeld.fuse_graphmeld([good, _network(FOREIGN[attrs]())], [{}, {}])


@pytest.mark.parametrize("attrs", FOREIGN)
def test_partitioning_refuses_a_call_with_foreign_attributes(attrs):
    from vexa_host.build_module import BuildConfig
    from vexa_host.flow import partition_for_vexa
    from vexa_host.partition import partition
    from vexatvm_internal import patterns

    mod = _network(FOREIGN[attrs]())
    with BuildConfig.for_arch("vexa-lite"):
        with pytest.raises(TypeError, match="cannot be type-checked: a call of reshape"):
            partition_for_vexa(mod, table="vexa_fp32")
        with pytest.raises(TypeError, match="cannot be type-checked"):
            partition(mod, patterns.pattern_table_vexa_f32())


def test_well_formed_networks_pass_the_attribute_check():
    from vexatvm_internal import graphmeld

    good = relay.transform.InferType()(_network(tvm.ir.make_node("relay.attrs.ReshapeAttrs", newshape=[8, 1])))
    fused, _ = graphmeld.fuse_graphmeld([good, good], [{}, {}])
    assert len(fused["main"].body.fields) == 2
