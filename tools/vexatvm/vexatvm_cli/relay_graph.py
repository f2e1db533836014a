"""The dataflow graph of a partitioned network as plain Python nodes, for
matching table patterns against it.

Like `network_view`, calls of functions other than composite functions (the
external functions of graph partitioning, local functions) are looked
through, so the graph is the one the table's entries saw; a tuple field
taken out of a tuple built in view is that field itself.  Unlike the view,
constants and tuples stay nodes, because patterns name them.  Relay is read
once per node; values that only some questions need (shapes, scalar
constants) are read on demand.
"""

from dataclasses import dataclass, field

import tvm
from tvm import relay

from vexatvm_cli.relay_reading import operands, shape_of


@dataclass(eq=False)
class GraphNode:
    index: int
    kind: str  # "op", "region", "var", "const", "tuple", "field" (of a tuple made elsewhere), "other"
    name: str  # operator, composite or variable name; a field's index
    expr: object  # the Relay node
    args: list = field(default_factory=list)  # producing GraphNodes
    consumers: list = field(default_factory=list)  # (consumer, argument position)
    _scalar: object = None

    def scalar(self):
        """(dtype, value) of a scalar constant, else None."""
        if self.kind != "const":
            return None
        if self._scalar is None:
            try:
                data = self.expr.data.numpy()
            except (tvm.TVMError, TypeError, ValueError):  # a dtype numpy cannot hold
                data = None
            self._scalar = (str(data.dtype), data.item()) if data is not None and data.ndim == 0 else ()
        return self._scalar or None

    def shape(self):
        return shape_of(self.expr)


def _composite(function):
    attrs = function.attrs
    if attrs is not None and "Composite" in attrs.keys():
        return str(attrs["Composite"])
    return None


class _Builder:
    def __init__(self, mod):
        self.mod = mod
        self.nodes = []

    def add(self, kind, name, expr, args=()):
        node = GraphNode(len(self.nodes), kind, name, expr, list(args))
        for position, arg in enumerate(node.args):
            arg.consumers.append((node, position))
        self.nodes.append(node)
        return node

    def visit(self, expr, env):
        # Keyed by object address: hashing a TVM object is a foreign call.
        memo = {}
        stack = [(expr, None)]
        while stack:
            node, children = stack.pop()
            key = _key(node)
            if key in memo:
                continue
            if children is None:
                children = operands(node)
                if children:
                    stack.append((node, children))
                    stack.extend((child, None) for child in reversed(children) if _key(child) not in memo)
                    continue
            memo[key] = self.produce(node, [memo[_key(child)] for child in children], env)
        return memo[_key(expr)]

    def node_of(self, value):
        """The GraphNode of a value, a tuple's made on its first use whole."""
        if isinstance(value, _Fields):
            if value.node is None:
                value.node = self.add("tuple", "tuple", value.expr, value.fields)
            return value.node
        return value

    def produce(self, node, inputs, env):
        """The value of `node` (a GraphNode, or _Fields of a tuple); `inputs`
        are those of its children."""
        if isinstance(node, relay.Var):
            if _key(node) not in env:
                env[_key(node)] = self.add("var", node.name_hint, node)
            return env[_key(node)]
        if isinstance(node, relay.Constant):
            return self.add("const", "const", node)
        if isinstance(node, relay.Tuple):
            return _Fields(node, inputs)
        if isinstance(node, relay.TupleGetItem):
            index = node.index
            if isinstance(inputs[0], _Fields):
                return inputs[0].fields[index]
            return self.add("field", str(index), node, [self.node_of(inputs[0])])
        if isinstance(node, relay.Let):
            env[_key(node.var)] = inputs[0]
            return self.visit(node.body, env)
        if not isinstance(node, relay.Call):
            return self.add("other", type(node).__name__, node)
        callee = node.op
        if isinstance(callee, relay.GlobalVar):
            callee = self.mod[callee]
        composite = _composite(callee) if isinstance(callee, relay.Function) else None
        if isinstance(callee, relay.Function) and composite is None:
            return self.visit(callee.body, {_key(param): arg for param, arg in zip(callee.params, inputs)})
        inputs = [self.node_of(value) for value in inputs]
        if isinstance(callee, tvm.ir.Op):
            return self.add("op", callee.name, node, inputs)
        if composite is not None:
            return self.add("region", composite, node, inputs)
        # A call of something else (a variable bound to a function) counts as
        # an operator call, as in the report.
        return self.add("op", type(callee).__name__, node, inputs)


class _Fields:
    """A tuple not yet used whole: a field taken out of it is that field
    itself, so that the tuples external functions return leave no node."""

    def __init__(self, expr, fields):
        self.expr = expr
        self.fields = fields
        self.node = None


def _key(node):
    return node.handle.value


def build(mod):
    """The nodes of the module's main function, producers before consumers."""
    builder = _Builder(mod)
    main = mod["main"]
    env = {_key(param): builder.add("var", param.name_hint, param) for param in main.params}
    builder.node_of(builder.visit(main.body, env))
    return builder.nodes
