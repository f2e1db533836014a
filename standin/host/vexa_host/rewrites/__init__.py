"""Exact rewrites of quantized networks, one per module: each replaces a
form that the importers or TVM's passes leave by one that computes the
same integers and that the quantized tables' entries take."""
from tvm import relay
from tvm.relay.dataflow_pattern import DFPatternCallback, rewrite

from vexa_host import _native
from vexa_host.folding import typed


class _Probe(DFPatternCallback):
    """Asks a callback about every match of its pattern in a typed function
    and keeps the function as it is: `changes` tells whether the callback
    would rewrite anything.  Without a change the matches of the real
    rewrite are these same nodes, so the probe's answer is the rewrite's,
    and it needs no type inference (the rewriter infers the whole function
    before each of its passes)."""

    def __init__(self, callback):
        super().__init__(require_type=False)
        self.pattern = callback.pattern
        self.decide = callback.callback
        self.changes = False

    def callback(self, pre, post, node_map):
        if not self.changes:
            self.changes = not self.decide(pre, post, node_map).same_as(post)
        return post


def _would_change(callback, function):
    probe = _Probe(callback)
    rewrite(probe, function)
    return probe.changes


def rewrite_functions(mod, callback_type):
    """`callback_type`'s rewrite applied to every Relay function of the
    module; the module comes back typed.  A function that does not call
    every operator of the pattern cannot match, and one where the callback
    declines every match is left as it is: neither is rewritten."""
    callback = callback_type()
    required = set(_native.required_operators(callback.pattern))
    mod = typed(mod)
    if callback.rewrite_once:
        # One pass over a typed function: its matches are typed already.
        callback.require_type = False
    functions = [(gvar, function) for gvar, function in mod.functions.items() if isinstance(function, relay.Function)]
    updates = []
    for global_var, function in functions:
        if required.issubset(_native.operator_names(function)) and _would_change(callback, function):
            rewritten = rewrite(callback, function, mod)
            if not rewritten.same_as(function):
                updates.append((global_var, rewritten))
    return typed(_native.module_with(mod, updates)) if updates else mod
