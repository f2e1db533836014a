"""Short text for patterns and for the network around an operator, such as
`qnn.mul(x, sigmoid(x))`: a wildcard used at several places is a letter
(the network node bound to it shows the same letter), any other wildcard
`_`; an optional operator `op?(...)`; alternatives `a | b`; a composite
region `[name](inputs)`.  The quantization parameters that follow the data
operands of quantized operators are left out, as is everything below a few
levels."""

import functools

import tvm

DEPTH = 2
LONGEST = 110
TUPLE_SHOWN = 4  # a network's tuple of more values is shown by its length
LETTERS = "xyzwvutsrqpo"


def _is_optional(alt):
    """p | op(p, ...), TVM's form of p.optional(op)."""
    option = alt.args[1]
    return option.kind == "call" and option.args is not None and any(arg is alt.args[0] for arg in option.args)


def _options(alt):
    options = []
    for option in alt.args:
        if option.kind == "alt" and not _is_optional(option):
            options.extend(_options(option))
        else:
            options.append(option)
    return options


def _callee_text(call):
    if call.accepts is None:
        return "_"
    return "|".join(sorted(call.accepts))


def shared_wildcards(calls):
    """Wildcards used as more than one operand of calls or tuples (of an
    entry's call patterns `calls`), mapped to letters; being an option of
    an alternative is no use of its own."""
    shared = []
    for call in calls:
        for arg in call.args or ():
            if arg.kind == "wildcard" and arg not in shared:
                uses = [parent for parent, _ in arg.parents if parent.kind != "alt"]
                if len(uses) > 1:
                    shared.append(arg)
    return {node: LETTERS[i % len(LETTERS)] for i, node in enumerate(shared)}


@functools.cache
def _data_count(name):
    """How many leading arguments of operator `name` are data, the rest
    being quantization parameters (scales, zero points), by the argument
    names of TVM's operator registry; None when all are data."""
    try:
        names = [argument.name for argument in tvm.ir.Op.get(name).arguments]
    except tvm.TVMError:
        return None
    for position, argument in enumerate(names):
        if "scale" in argument or "zero_point" in argument:
            return position
    return None


def _data_args(name, args):
    count = _data_count(name)
    return args if count is None else args[:count]


def pattern_text(pattern, letters, depth=DEPTH):
    text = _pattern(pattern, letters, depth)
    return text if len(text) <= LONGEST or depth == 0 else pattern_text(pattern, letters, depth - 1)


def _pattern(node, letters, depth):
    kind = node.kind
    if kind == "wildcard":
        return letters.get(node, "_")
    if kind == "constant":
        return "const"
    if kind == "scalar":
        return f"{node.value[1]:g}" if isinstance(node.value[1], float) else str(node.value[1])
    if kind == "alt":
        if _is_optional(node):
            return _call(node.args[1], letters, depth, "?")
        return " | ".join(_pattern(option, letters, depth) for option in _options(node))
    if kind == "tuple":
        if depth < 0 or node.args is None:
            return "(...)"
        return "(" + ", ".join(_pattern(field, letters, depth - 1) for field in node.args) + ")"
    if kind == "call":
        return _call(node, letters, depth)
    return node.name or kind


def _call(node, letters, depth, mark=""):
    callee = _callee_text(node) + mark
    if node.args is None:
        return f"{callee}(...)"
    args = (
        node.args if node.accepts is None or len(node.accepts) != 1 else _data_args(next(iter(node.accepts)), node.args)
    )
    if depth <= 0:
        return f"{callee}(...)" if args else f"{callee}()"
    return f"{callee}(" + ", ".join(_pattern(arg, letters, depth - 1) for arg in args) + ")"


def node_text(node, names, depth=DEPTH):
    """`names`: graph nodes bound to shared wildcards -> their letters."""
    text = _node(node, names, depth)
    return text if len(text) <= LONGEST or depth == 0 else node_text(node, names, depth - 1)


def _node(node, names, depth):
    if node in names:
        return names[node]
    if node.kind in ("op", "region"):
        callee = node.name if node.kind == "op" else f"[{node.name}]"
        args = _data_args(node.name, node.args)
        if node.kind == "region":
            args = [arg for arg in args if arg.kind != "const"]
        if depth <= 0:
            return f"{callee}(...)" if args else callee if node.kind == "region" else f"{callee}()"
        return f"{callee}(" + ", ".join(_node(arg, names, depth - 1) for arg in args) + ")"
    if node.kind == "const":
        scalar = node.scalar()
        if scalar is None:
            return "const"
        return f"{scalar[1]:g}" if isinstance(scalar[1], float) else str(scalar[1])
    if node.kind == "tuple":
        if len(node.args) > TUPLE_SHOWN:
            return f"({len(node.args)} values)"
        if depth <= 0:
            return "(...)"
        return "(" + ", ".join(_node(arg, names, depth - 1) for arg in node.args) + ")"
    if node.kind == "field":
        return f"{_node(node.args[0], names, depth)}[{node.name}]"
    return node.name
