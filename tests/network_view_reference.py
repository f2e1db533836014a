"""The flat view of a partitioned network read from Python, node by node,
by the rules that `vexatvm_cli.network_view` describes: the reference for
its native reading."""

import tvm
from tvm import relay

from vexatvm_cli.network_view import Unit
from vexatvm_cli.relay_reading import op_name, operands


class _TupleValue:
    """The producers of each field of a tuple value, kept apart so that a
    field taken out of it (a tuple returned by an external function, for
    instance) leads back to its own producers only."""

    def __init__(self, fields):
        self.fields = fields


def _flat(value):
    if isinstance(value, _TupleValue):
        return [i for field_ in value.fields for i in _flat(field_)]
    return value


def _region_ops(function):
    ops = []

    def visit(node):
        name = op_name(node)
        if name is not None:
            ops.append(name)

    relay.analysis.post_order_visit(function.body, visit)
    return ops


class _Flattener:
    def __init__(self, mod):
        self.mod = mod
        self.units = []
        self.offload = ""  # the external function being read

    def _add(self, kind, name, inputs, ops=None):
        unit = Unit(len(self.units), kind, name, ops or [], sorted(set(inputs), key=inputs.index), self.offload)
        self.units.append(unit)
        return [unit.index]

    def _inline(self, function, arg_producers):
        env = {param: producers for param, producers in zip(function.params, arg_producers)}
        return self.visit(function.body, env, {})

    def visit(self, expr, env, memo):
        """The units that produce `expr`'s value: a list of unit indices, or
        a _TupleValue of such lists."""
        # Iterative post-order over the dataflow graph: deep networks would
        # exhaust Python's recursion limit.
        stack = [(expr, False)]
        while stack:
            node, expanded = stack.pop()
            if node in memo:
                continue
            children = operands(node)
            if not expanded and children:
                stack.append((node, True))
                stack.extend((child, False) for child in reversed(children) if child not in memo)
                continue
            memo[node] = self._produce(node, env, memo)
        return memo[expr]

    def _produce(self, node, env, memo):
        if isinstance(node, relay.Var):
            if node in env:
                return env[node]
            env[node] = self._add("input", node.name_hint, [])
            return env[node]
        if isinstance(node, relay.Tuple):
            return _TupleValue([memo[field_] for field_ in node.fields])
        if isinstance(node, relay.TupleGetItem):
            value = memo[node.tuple_value]
            return value.fields[node.index] if isinstance(value, _TupleValue) else value
        if isinstance(node, relay.Let):
            env[node.var] = memo[node.value]
            return self.visit(node.body, env, memo)
        if not isinstance(node, relay.Call):
            return []  # constants, operators, global variables as values
        args = [memo[arg] for arg in node.args]
        flat_args = [i for value in args for i in _flat(value)]
        callee = node.op
        if isinstance(callee, tvm.ir.Op):
            return self._add("op", callee.name, flat_args)
        name = callee.name_hint if isinstance(callee, relay.GlobalVar) else ""
        if isinstance(callee, relay.GlobalVar):
            callee = self.mod[callee]
        if isinstance(callee, relay.Function):
            keys = callee.attrs.keys() if callee.attrs else ()
            if "Composite" in keys:
                return self._add("region", str(callee.attrs["Composite"]), flat_args, _region_ops(callee))
            outer = self.offload
            self.offload = outer or (name if "Compiler" in keys else "")
            try:
                return self._inline(callee, args)
            finally:
                self.offload = outer
        return self._add("op", type(callee).__name__, flat_args)


def flatten(mod):
    """The units of the module's main function, producers before consumers."""
    flattener = _Flattener(mod)
    main = mod["main"]
    env = {}
    for param in main.params:
        env[param] = flattener._add("input", param.name_hint, [])
    flattener.visit(main.body, env, {})
    return flattener.units
