"""Exact rewrites of quantized networks, one per module: each replaces a
form that the importers or TVM's passes leave by one that computes the
same integers and that the quantized tables' entries take."""
from tvm import relay
from tvm.relay.dataflow_pattern import rewrite

from vexa_host import _native


def rewrite_functions(mod, callback_type):
    """`callback_type`'s rewrite applied to every Relay function of the
    module; the module comes back typed.  A function that does not call
    every operator of the pattern cannot match and is not walked (the
    rewriter types the whole function before each of its passes)."""
    callback = callback_type()
    required = set(_native.required_operators(callback.pattern))
    functions = [(gvar, function) for gvar, function in mod.functions.items() if isinstance(function, relay.Function)]
    changed = False
    for global_var, function in functions:
        if required.issubset(_native.operator_names(function)):
            rewritten = rewrite(callback, function, mod)
            if not rewritten.same_as(function):
                mod[global_var] = rewritten
                changed = True
    if changed or not all(_native.fully_typed(function) for _, function in functions):
        return relay.transform.InferType()(mod)
    return mod
