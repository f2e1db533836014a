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


def functions_calling(mod, operators):
    """The (global, function) pairs of the module's Relay functions that
    call every operator of `operators`: no other can hold a form made of
    them, and a walk in Python costs tens of microseconds a node."""
    required = set(operators)
    return [
        (global_var, function)
        for global_var, function in mod.functions.items()
        if isinstance(function, relay.Function) and required.issubset(_native.operator_names(function))
    ]


def rewrite_functions(mod, callback_type):
    """`callback_type`'s rewrite applied to every Relay function of the
    module; the module comes back typed.  A function that does not call
    every operator of the pattern cannot match, and one where the callback
    declines every match is left as it is: neither is rewritten."""
    callback = callback_type()
    mod = typed(mod)
    if callback.rewrite_once:
        # One pass over a typed function: its matches are typed already.
        callback.require_type = False
    updates = []
    for global_var, function in functions_calling(mod, _native.required_operators(callback.pattern)):
        if _would_change(callback, function):
            rewritten = rewrite(callback, function, mod)
            if not rewritten.same_as(function):
                updates.append((global_var, rewritten))
    return typed(_native.module_with(mod, updates)) if updates else mod
