"""A flat view of a partitioned network: its units in data-flow order.

A unit is a network input, a composite region (a call of a function with
the "Composite" attribute) or a primitive operator call outside any
composite.  Calls of other functions (the external functions that graph
partitioning makes, local functions) are looked through: their bodies are
read with their parameters bound to the caller's arguments, so a network
reads the same before and after partitioning.  Constants are left out.
"""

from dataclasses import dataclass, field

import tvm
from tvm import relay

from vexatvm_cli.relay_reading import op_name, operands


@dataclass
class Unit:
    index: int
    kind: str  # "input", "region" or "op"
    name: str  # input name, composite name or operator name
    ops: list = field(default_factory=list)  # operators inside a region, data-flow order
    inputs: list = field(default_factory=list)  # indices of producing units
    offload: str = ""  # the external function (offloaded region) the unit belongs to, if any


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
