"""Exact rewrites of quantized networks, one per module: each replaces a
form that the importers or TVM's passes leave by one that computes the
same integers and that the quantized tables' entries take."""
from tvm import relay
from tvm.relay.dataflow_pattern import rewrite


def rewrite_functions(mod, callback_type):
    """`callback_type`'s rewrite applied to every Relay function of the
    module, typed before and after."""
    mod = relay.transform.InferType()(mod)
    for global_var, function in mod.functions.items():
        if isinstance(function, relay.Function):
            mod[global_var] = rewrite(callback_type(), function, mod)
    return relay.transform.InferType()(mod)
