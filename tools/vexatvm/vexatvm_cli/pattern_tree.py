"""A table entry's dataflow pattern read once into plain Python nodes, so
that it can be matched and printed without a foreign call per step.

The tree is read from the pattern objects the table function returned,
never from a description of the tables kept here, so what the command says
about an entry cannot drift from what the entry matches.  A pattern object
used at several places (a shared wildcard, the operand of an optional
operator) stays one node.
"""

from dataclasses import dataclass, field

import tvm
from tvm import relay
from tvm.relay import dataflow_pattern as dp


@dataclass(eq=False)
class PatternNode:
    kind: str  # "call", "alt", "wildcard", "constant", "scalar", "op", "tuple", "getitem", "other"
    name: str = ""  # operator name of an "op"; pattern class of an "other"
    callee: "PatternNode | None" = None  # of a "call"
    args: list | None = None  # call arguments or tuple fields (None: any), alternatives, getitem's tuple
    value: object = None  # a "scalar": (dtype, value)
    index: int = -1  # a "getitem": the field, -1 for any
    parents: list = field(default_factory=list)  # (containing node, argument position)
    accepts: object = None  # of a "call": operator names its callee accepts, None for any

    def operators(self):
        """Operator names a callee pattern accepts; None for any callee."""
        if self.kind == "op":
            return {self.name}
        if self.kind == "alt":
            names = set()
            for option in self.args:
                accepted = option.operators()
                if accepted is None:
                    return None
                names |= accepted
            return names
        if self.kind == "wildcard":
            return None
        return set()


@dataclass
class EntryPattern:
    name: str  # composite name
    root: PatternNode
    has_check: bool
    calls: list  # every call node of the pattern

    def calls_of(self, op):
        return [call for call in self.calls if accepts(call, op)]


def accepts(call, op):
    """Whether a call pattern's callee accepts the operator `op`."""
    return call.accepts is None or op in call.accepts


def _scalar(constant):
    data = constant.data.numpy()
    if data.ndim != 0:
        return None
    return (str(data.dtype), data.item())


def _children(pattern):
    """(kind, fields read, children in order) of one pattern object."""
    if isinstance(pattern, dp.CallPattern):
        args = pattern.args
        return "call", {}, [pattern.op] + (list(args) if args is not None else [])
    if isinstance(pattern, dp.AltPattern):
        return "alt", {}, [pattern.left, pattern.right]
    if isinstance(pattern, dp.WildcardPattern):
        return "wildcard", {}, []
    if isinstance(pattern, dp.ConstantPattern):
        return "constant", {}, []
    if isinstance(pattern, dp.TuplePattern):
        fields = pattern.fields  # None: a tuple of any length
        return "tuple", {}, list(fields) if fields is not None else []
    if isinstance(pattern, dp.TupleGetItemPattern):
        return "getitem", {"index": int(pattern.index)}, [pattern.tuple]
    if isinstance(pattern, (dp.TypePattern, dp.DataTypePattern, dp.ShapePattern, dp.AttrPattern)):
        # Constraints on types and attributes are the checks' business in
        # these tables; the structure under them is what matters here.
        return "constraint", {}, [pattern.pattern]
    if isinstance(pattern, dp.ExprPattern):
        expr = pattern.expr
        if isinstance(expr, tvm.ir.Op):
            return "op", {"name": expr.name}, []
        if isinstance(expr, relay.Constant):
            value = _scalar(expr)
            if value is not None:
                return "scalar", {"value": value}, []
        return "other", {"name": type(expr).__name__}, []
    return "other", {"name": type(pattern).__name__}, []


def read_pattern(pattern):
    """The PatternNode tree of a DFPattern (iterative: deep patterns exist)."""
    nodes = {}
    order = []
    stack = [(pattern, False)]
    pending = {}
    while stack:
        current, expanded = stack.pop()
        key = current.handle.value
        if key in nodes:
            continue
        if not expanded:
            kind, fields, children = _children(current)
            pending[key] = (kind, fields, children)
            stack.append((current, True))
            stack.extend((child, False) for child in reversed(children) if child.handle.value not in nodes)
            continue
        kind, fields, children = pending.pop(key)
        kids = [nodes[child.handle.value] for child in children]
        if kind == "constraint":
            nodes[key] = kids[0]
            continue
        node = PatternNode(kind, **fields)
        if kind == "call":
            node.callee, node.args = kids[0], (kids[1:] if current.args is not None else None)
        elif kind == "tuple":
            node.args = kids if current.fields is not None else None
        elif kind in ("alt", "getitem"):
            node.args = kids
        nodes[key] = node
        order.append(node)
    for node in order:
        for position, child in enumerate(node.args or ()):
            child.parents.append((node, position))
        if node.kind == "call":
            node.accepts = node.callee.operators()
    return nodes[pattern.handle.value], order


def read_entry(entry):
    root, order = read_pattern(entry[1])
    return EntryPattern(entry[0], root, len(entry) > 2, [node for node in order if node.kind == "call"])


def read_table(table):
    return [read_entry(entry) for entry in table]
