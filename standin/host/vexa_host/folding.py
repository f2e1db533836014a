"""Constant folding for the preparation, with FoldConstant's result.

TVM's FoldConstant compiles every constant call it folds with LLVM, a few
tenths of a second each, most of a small model's preparation.  The calls
the preparation folds are mostly data movement and casts of weights and
biases (layout transforms, transposes, reshapes, expand_dims, squeezes,
casts, quantize) and the element-wise arithmetic of batch norms; the native
folder (`_native.fold_constants`) computes those on the constant data with
TVM's own numerics.  The constant subgraphs holding any other operator go
to FoldConstant, in a module of their own.
"""

import tvm
from tvm import relay
from tvm.relay import transform

from vexa_host import _native


def _fold_function(function, fold_qnn):
    folded = _native.fold_constants(function, fold_qnn)
    if folded is None:
        return None
    function, left = folded
    if left:
        rest = transform.FoldConstant(fold_qnn=fold_qnn)(tvm.IRModule.from_expr(relay.Tuple(left)))
        function = _native.replace_nodes(function, left, list(rest["main"].body.fields))
    return function


def typed(mod):
    """The module with every function typed."""
    # Type inference of a whole module grows faster than the module on deep
    # networks, and dominates a large network's preparation: it runs only
    # where something is untyped.
    if all(_native.fully_typed(function) for _, function in _native.optimizable_functions(mod)):
        return mod
    return transform.InferType()(mod)


def fold_constants(mod, fold_qnn=True):
    """`transform.FoldConstant(fold_qnn)(mod)`, typed."""
    mod = typed(mod)
    functions = _native.optimizable_functions(mod)
    updates = []
    for global_var, function in functions:
        folded = _fold_function(function, fold_qnn)
        if folded is None:
            return transform.InferType()(transform.FoldConstant(fold_qnn=fold_qnn)(mod))
        if not folded.same_as(function):
            updates.append((global_var, folded))
    return typed(_native.module_with(mod, updates))


def fold_expression(expr, fold_qnn=True):
    """`relay.transform.FoldConstantExpr(expr, tvm.IRModule(), fold_qnn)`
    for an expression without free variables (the exact decisions of the
    rewrites evaluate their operators on constants this way)."""
    function = transform.InferType()(tvm.IRModule.from_expr(expr))["main"]
    folded = _native.fold_constants(function, fold_qnn)
    if folded is not None and not folded[1]:
        return folded[0].body
    # Not a pass: the preparation's progress shows no folding step for it.
    return transform.FoldConstantExpr(expr, tvm.IRModule(), fold_qnn=fold_qnn)
