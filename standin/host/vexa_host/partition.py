"""The host compiler's partition driver (stand-in).

`partition(mod_or_func, table)` forms the composite regions of a pattern
table exactly as TVM's `relay.transform.MergeComposite(table)` does, and
tells the traversal services (`vexa_host.relay_traversal`) which network is
being rewritten, so that a check can ask for the consumers of its match.
"""

import tvm
from tvm import relay

from vexa_host import _native
from vexa_host.deep_stack import on_big_stack


def _always(extract):
    return True


def _entries(table):
    """(name, pattern, check) for every entry of `table`, in order."""
    entries = []
    for position, entry in enumerate(table):
        if not isinstance(entry, (tuple, list)) or len(entry) not in (2, 3):
            raise ValueError(
                f"pattern table entry {position} must be (name, pattern) or (name, pattern, check), got {entry!r}"
            )
        name, pattern = entry[0], entry[1]
        check = entry[2] if len(entry) == 3 else _always
        if not isinstance(name, str):
            raise TypeError(
                f"pattern table entry {position}: the composite name must be str, got {type(name).__name__}"
            )
        if not isinstance(pattern, relay.dataflow_pattern.DFPattern):
            raise TypeError(f"pattern table entry {position} ({name}): expected a dataflow pattern, got {pattern!r}")
        if not callable(check):
            raise TypeError(f"pattern table entry {position} ({name}): the check must be callable, got {check!r}")
        entries.append((name, pattern, check))
    return entries


class _Network:
    """The network of one table entry, entered for the consumer questions."""

    def __init__(self, network):
        self.network = network

    def __enter__(self):
        _native.enter_network(self.network)
        return self.network

    def __exit__(self, *exc_info):
        _native.leave_network()
        return False


def _partitioned(expr, name, pattern, check):
    """`pattern.partition(expr, {"Composite": name}, check)`, with the
    composite calls formed by earlier entries hidden from TVM's partitioner
    (`_native.HiddenComposites`: its indexing grows faster than a network
    holding composite functions); the check gets the network's own nodes."""
    hiding = _native.HiddenComposites(expr)
    if hiding.active:
        partitioned = pattern.partition(
            hiding.hidden, {"Composite": name}, lambda extract: check(hiding.original(extract))
        )
        restored = hiding.restored(partitioned)
        if restored is not None:
            return restored
    return pattern.partition(expr, {"Composite": name}, check)


def _merge(expr, entries, mod):
    """The entries of a table applied to one function (or expression).

    After each entry the network must be typed again for the next entry's
    checks.  When the entry's input was fully typed, the only untyped nodes
    of its output are the composite calls it formed (the partitioner's
    copies keep their types), and those are typed in one walk; otherwise the
    whole network goes through type inference, as MergeComposite does.  Both
    give the same types, and the walk keeps the typing linear in the size
    of the network.  An entry is skipped when every way its pattern can
    match (each side of its alternatives) calls an operator that the network
    no longer calls outside the composites formed so far: it cannot match.
    """
    typed = _native.fully_typed(expr)
    # The operators that a pattern can still match: those called outside
    # the composite functions formed so far.
    present = set(_native.operator_names(expr))
    for name, pattern, check in entries:
        if not _native.may_match(pattern, present):
            continue  # cannot match: partitioning would return the network unchanged
        with _Network(expr):
            partitioned = _partitioned(expr, name, pattern, check)
        if not partitioned.same_as(expr):
            present = set(_native.operator_names(partitioned))
        if typed and (partitioned.same_as(expr) or _native.type_formed_composites(partitioned)):
            expr = partitioned
        else:
            expr = _native.infer_type_with_module(partitioned, mod)
            typed = _native.fully_typed(expr)
    if entries and not typed:
        # Every entry was skipped: the result is typed all the same, as
        # when the entries had run.
        expr = _native.infer_type_with_module(expr, mod)
    return expr


@on_big_stack("mod_or_func")
def partition(mod_or_func, table):
    """Forms the composite regions of `table` in a module or function.

    `table` is a pattern table: a sequence of (name, pattern) or (name,
    pattern, check) entries (tuples or lists), in priority order.  Each entry in turn
    partitions the network with its pattern, marking every formed function
    with the attribute "Composite" = name and keeping a match only when its
    check returns true; the network is typed again after every entry.  A region
    claimed by an earlier entry is not available to a later one, which sees
    it as a call of a composite function.  These are the semantics of TVM's
    `relay.transform.MergeComposite(table)`, and the result is the same.

    While an entry runs, `get_consumers_mc` answers for the network as it
    stood when that entry began, which is the network whose nodes the entry's
    check receives.

    `mod_or_func` is an IRModule (every Relay function that a function pass
    would rewrite is partitioned, in the module's order, and a new module is
    returned) or a Relay function or expression (the partitioned one is
    returned).  Its types must be inferred when a check reads them.  Errors
    raised by a check propagate unchanged.
    """
    entries = _entries(table)
    if isinstance(mod_or_func, (tvm.IRModule, relay.Expr)):
        # Checks read types, and type inference would take the process down
        # on such calls: refused before any entry runs.
        _native.refuse_foreign_attrs(mod_or_func)
    if isinstance(mod_or_func, tvm.IRModule):
        mod = mod_or_func
        updates = [(gvar, _merge(func, entries, mod)) for gvar, func in _native.optimizable_functions(mod)]
        return _native.module_with(mod, updates)
    if isinstance(mod_or_func, relay.Expr):
        return _merge(mod_or_func, entries, tvm.IRModule())
    raise TypeError(f"partition expects an IRModule or a Relay expression, got {type(mod_or_func).__name__}")
