"""Small readers of Relay calls shared by the explanations and the views."""

import tvm
from tvm import relay


def op_name(call):
    """The operator name of a primitive call, None for anything else."""
    if isinstance(call, relay.Call) and isinstance(call.op, tvm.ir.Op):
        return call.op.name
    return None


def operands(node):
    """The expressions a node's value is computed from, for dataflow walks;
    of a let, the bound value only: its body is read once the variable is
    bound."""
    if isinstance(node, relay.Call):
        return list(node.args)
    if isinstance(node, relay.Tuple):
        return list(node.fields)
    if isinstance(node, relay.TupleGetItem):
        return [node.tuple_value]
    if isinstance(node, relay.Let):
        return [node.value]
    return []


def walk_to(call, anchor):
    """Follows first arguments from `call` to the call of operator `anchor`
    (the way the checks find their anchor); None when there is none."""
    while isinstance(call, relay.Call):
        if op_name(call) == anchor:
            return call
        if not call.args:
            return None
        call = call.args[0]
    return None


def shape_of(expr):
    try:
        return tuple(int(dim) for dim in expr.checked_type.shape)
    except (AttributeError, TypeError, ValueError, tvm.TVMError):
        return None


def dtype_of(expr):
    try:
        return str(expr.checked_type.dtype)
    except (AttributeError, tvm.TVMError):
        return None


def is_composite_call(expr):
    return isinstance(expr, relay.Call) and isinstance(expr.op, relay.Function)


def attr(call, name):
    value = call.attrs[name] if name in call.attrs.keys() else None
    if isinstance(value, tvm.ir.PrimExpr):
        return int(value) if isinstance(value, tvm.tir.IntImm) else float(value)
    return str(value) if isinstance(value, tvm.runtime.String) else value
