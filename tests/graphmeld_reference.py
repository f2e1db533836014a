"""Reference rendition of the fusion passes on TVM's Python ExprMutator.

It is the plain Python form of what `vexatvm_internal.graphmeld` does, used by
the tests (differential comparison) and by the benchmark (speed baseline).  It
recurses about three Python frames per operator, so it only handles networks
of a few thousand operators.  The quantize test compares the operator's name
("qnn.quantize"), as the module does.
"""

import tvm
from tvm import relay
from tvm.ir import Op
from tvm.relay import analysis, transform
from tvm.relay.expr import Call, Tuple, Var, var
from tvm.relay.expr_functor import ExprMutator
from tvm.relay.function import Function


@transform.function_pass(opt_level=1)
class VarNameSuffixAppender:
    """Update each var's name by appending a suffix."""

    def __init__(self, suffix):
        self.suffix = suffix

    def transform_function(self, func, mod, ctx):
        obj = self

        class Mutator(ExprMutator):
            def visit_var(self, v):
                new_name = v.name_hint + "_" + str(obj.suffix)
                type_annotation = v.type_annotation if hasattr(v, "type_annotation") else None
                shape = v.shape if hasattr(v, "shape") else None
                dtype = v.dtype if hasattr(v, "dtype") else None
                return var(new_name, type_annotation, shape, dtype)

        return Mutator().visit(func)


@transform.function_pass(opt_level=1)
class InputMerger:
    """Make multiple networks share a single input tensor."""

    def __init__(self, param_names):
        self.param_names = param_names
        self.shared_input = None
        self.shared_quantized_input = None

    def _var_is_input(self, var_name):
        return var_name not in self.param_names

    def transform_function(self, func, mod, ctx):
        obj = self
        # Only the function's free variables are inputs, not let-bound ones
        # or parameters of inner functions.
        free = set(func.params) | set(analysis.free_vars(func))

        def is_input(v):
            return isinstance(v, Var) and v in free and obj._var_is_input(v.name_hint)

        class Mutator(ExprMutator):
            def visit_call(self, call):
                arg = call.args[0]
                if is_input(arg):
                    if obj.shared_input is None:
                        obj.shared_input = arg
                    return Call(call.op, [obj.shared_input] + list(call.args[1:]), call.attrs, call.type_args)
                if (
                    isinstance(arg, Call)
                    and isinstance(arg.op, Op)
                    and arg.op.name == "qnn.quantize"
                    and is_input(arg.args[0])
                ):
                    if obj.shared_quantized_input is None:
                        obj.shared_quantized_input = arg
                    new_args = [obj.shared_quantized_input] + list(call.args[1:])
                    return Call(call.op, new_args, call.attrs, call.type_args)
                return super().visit_call(call)

        new_func = Mutator().visit(func)
        return Function(analysis.free_vars(new_func.body), new_func.body)


def update_params(params, suffix):
    new_params = {}
    for key, value in params.items():
        new_params[key + "_" + str(suffix)] = value
    return new_params


def fuse(mod_list, params_list, share_input=False):
    """Fusing multiple networks."""
    num_networks = len(mod_list)
    assert num_networks == len(params_list)
    exprs = []
    fused_params = {}
    for i in range(num_networks):
        mod = VarNameSuffixAppender(i + 1)(mod_list[i])
        exprs.append(mod["main"].body)
        fused_params.update(update_params(params_list[i], i + 1))
    fused_expr = relay.annotation.tuple_graphmeld(Tuple(exprs))
    fused_mod = tvm.IRModule.from_expr(fused_expr)
    if share_input:
        fused_mod = InputMerger(list(fused_params.keys()))(fused_mod)
    return fused_mod, fused_params
