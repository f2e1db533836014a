"""Stand-in for the host compiler's Relay traversal services.

`get_consumers_mc(expr)` answers for the network that the partition driver
(`vexa_host.partition.partition`) is rewriting at that moment: the network as
it stood when the current table entry began, with the regions of earlier
entries already merged into composite calls.  A check predicate receives the
root node of its match in exactly that network.

Both services work on TVM's C++ objects (see `vexa_host._native`): no walk
recurses, so networks of any depth work, and the consumer index is built once
per table entry, on the first question of that entry, not once per question.
"""

from vexa_host import _native


def get_consumers_mc(expr):
    """The calls that consume `expr` in the network being partitioned.

    A consumer is a call that takes `expr` as an argument, directly or as a
    field of a tuple that the call takes as an argument (the inputs of a
    concatenation, for instance).  A call of a composite function formed by an
    earlier table entry is a consumer like any other call; the calls inside a
    composite function's body are not part of the network's dataflow and are
    never reported.

    Returns a new list (so it can be traversed any number of times) of the
    consumer calls in graph post-order (a stable order: the same network
    always gives the same list), each call once even when it takes `expr`
    several times.  The list is empty when nothing consumes `expr`, which is
    also the answer for an expression that is not part of the network.

    Raises RuntimeError outside a partition run (there is no network to
    answer for) and TypeError when `expr` is not a Relay expression.
    """
    return _native.consumers(expr)


def find_call_of_type(expr, op_name):
    """The calls of the operator `op_name` found from `expr`, as a list.

    The search covers `expr` itself (a list of that one call when it calls
    `op_name`) and, when `expr` calls a function (a composite region formed by
    the partitioner), every call of `op_name` in that function's body, in
    graph post-order.  It does not follow the arguments of `expr` and does not
    enter functions nested in that body.  Anything that is not a call (a
    variable, a constant, a tuple) gives an empty list.

    Works with or without a partition run.  Raises TypeError when `expr` is
    not a Relay expression or `op_name` is not text.
    """
    return _native.find_calls(expr, op_name)
