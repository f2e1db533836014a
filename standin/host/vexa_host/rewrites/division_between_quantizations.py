"""The division by 6 that ends the hard-swish of a QDQ network stands
between two quantizations: quantize(dequantize(m) / 6).  Where the second
quantization is the first divided by 6 (to within what rounding hides),
it gives back m for every value of m and is dropped.  Otherwise no
composite covers it exactly: it stays outside, and `division_notes` says
so for the report."""

import numpy as np
from tvm import relay
from tvm.relay.dataflow_pattern import DFPatternCallback, is_constant, is_op, wildcard

from vexa_host.folding import fold_expression
from vexa_host.rewrites import functions_calling
from vexa_host.rewrites.constants import dtype_range, scalar


class DivisionBetweenQuantizations(DFPatternCallback):
    """quantize(dequantize(x) / d) that gives back x for every value of x's
    type is x: the two quantizations differ by the factor d (to within
    what rounding hides).  Decided by evaluating the three operators, as
    TVM computes them, on every value of the 8-bit type."""

    def __init__(self):
        super().__init__(require_type=True)
        self.data = wildcard()
        dequantized = is_op("qnn.dequantize")(self.data, is_constant(), is_constant())
        self.pattern = is_op("qnn.quantize")(is_op("divide")(dequantized, is_constant()), is_constant(), is_constant())
        self._gives_back = {}

    def callback(self, pre, post, node_map):
        divide = pre.args[0]
        dequantized = divide.args[0]
        dtype = pre.checked_type.dtype
        if dtype not in ("int8", "uint8") or dequantized.args[0].checked_type.dtype != dtype:
            return post
        if any(scalar(arg) is None for arg in (*dequantized.args[1:], divide.args[1], *pre.args[1:])):
            return post
        constants = (*dequantized.args[1:], divide.args[1], *pre.args[1:])
        # Each decision compiles the chain; the rewriter asks again on each
        # of its passes, about the same constants.
        key = (dtype, *((scalar(arg), arg.data.dtype) for arg in constants))
        if key not in self._gives_back:
            self._gives_back[key] = _gives_back_every_value(dtype, dequantized, divide, pre)
        return node_map[self.data][0] if self._gives_back[key] else post


def _gives_back_every_value(dtype, dequantized, divide, quantized):
    low, high = dtype_range(dtype)
    values = np.arange(low, high + 1).astype(dtype)
    # The quantizations' own axis does not apply to a vector of values;
    # with single-valued scales it does not matter.
    chain = relay.qnn.op.dequantize(relay.const(values), *dequantized.args[1:], axis=0)
    chain = relay.qnn.op.quantize(relay.divide(chain, divide.args[1]), *quantized.args[1:], axis=0, out_dtype=dtype)
    folded = fold_expression(chain)
    return isinstance(folded, relay.Constant) and np.array_equal(folded.data.numpy(), values)


def division_notes(mod):
    """One line for each division by a constant left between the
    quantization of a `qnn.mul` and the next quantization (the end of a
    QDQ hard-swish), which no composite covers exactly."""
    notes = []

    def visit(node):
        if not (isinstance(node, relay.Call) and getattr(node.op, "name", None) == "qnn.quantize"):
            return
        divide = node.args[0]
        if not (isinstance(divide, relay.Call) and getattr(divide.op, "name", None) == "divide"):
            return
        dequantized = divide.args[0]
        if not (isinstance(dequantized, relay.Call) and getattr(dequantized.op, "name", None) == "qnn.dequantize"):
            return
        source = dequantized.args[0]
        if not (isinstance(source, relay.Call) and getattr(source.op, "name", None) == "qnn.mul"):
            return
        divisor, scale, out_scale = scalar(divide.args[1]), scalar(dequantized.args[1]), scalar(node.args[1])
        if None in (divisor, scale, out_scale):
            return
        notes.append(
            f"hard-swish: the division by {divisor:g} after a qnn.mul stays outside (scale {scale:.6g} to "
            f"{out_scale:.6g}: no exact integer form, the integers would be rounded twice)"
        )

    for _, function in functions_calling(mod, ["qnn.quantize", "divide", "qnn.dequantize", "qnn.mul"]):
        relay.analysis.post_order_visit(function, visit)
    return notes
