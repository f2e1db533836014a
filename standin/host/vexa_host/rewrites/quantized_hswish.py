"""The hard-swish of a QDQ network after FakeQuantizationToInteger:

    c = requantize(conv)                      (the convolution's output)
    a = clip(qnn.add(c, 3))                   (relu6(c + 3))
    m = qnn.mul(c, a)
    h = quantize(dequantize(m) / 6)

The entry "vexa.qnn_conv_hswish_requant" takes the convolution in the
form of the other importers (quantized weight and bias, requantize to
int32, clip, cast) and the addition of 3 as an integer add of the
requantized input.  Both are the same integers:

- a requantize to int8 or uint8 is the requantize to int32 clipped to the
  type's range and cast; a constant weight or bias W is quantize(W, 1, 0),
  exactly, for |W| < 2**24;
- `qnn.add(c, k)` computes requantize(c to the output scale) plus
  requantize(k to the output scale) minus the output zero point, clipped
  and cast: the second and third terms are one integer K, folded here by
  TVM itself.

So the convolution, the add, the clip and the multiply become the entry's
chain.  The division by 6 is a float operation between the multiply's
quantization and the next one: it has an exact integer form only when
the two quantizations differ by the factor (the division then gives back
the multiply's integers, see `DivisionBetweenQuantizations`);
otherwise it stays outside, and `division_notes` says so.
"""
import numpy as np
import tvm
from tvm import relay
from tvm.relay.dataflow_pattern import DFPatternCallback, is_constant, is_op, wildcard

from vexa_host.rewrites.constants import scalar

_EXACT_FLOAT_INTEGER = 2**24


def _dtype_range(dtype):
    info = np.iinfo(dtype)
    return int(info.min), int(info.max)


def _quantized_constant(constant):
    """The integer constant as quantize(float constant, 1, 0), or None when a
    value is too large to be held exactly as a float32."""
    values = constant.data.numpy()
    if np.abs(values.astype("int64")).max(initial=0) >= _EXACT_FLOAT_INTEGER:
        return None
    return relay.qnn.op.quantize(
        relay.const(values.astype("float32")), relay.const(1.0), relay.const(0), out_dtype=str(values.dtype)
    )


def _narrowed(requantized, dtype):
    low, high = _dtype_range(dtype)
    return relay.cast(relay.clip(requantized, low, high), dtype)


def _requantize(data, args, attrs=None, out_dtype="int32"):
    options = {} if attrs is None else {"axis": attrs.axis, "rounding": attrs.rounding, "compute_dtype": attrs.compute_dtype}
    return relay.qnn.op.requantize(data, *args, out_dtype=out_dtype, **options)


def _add_constant_term(add):
    """requantize(k to the add's output scale) minus the output zero point,
    as TVM computes it, or None when it does not fold to one integer."""
    k, _, _, k_scale, k_zero, out_scale, out_zero = add.args[1:]
    # As a vector of one (TVM's requantize of a scalar does not type-check
    # once lowered; qnn.add makes the same vector of its scalar operand).
    k = relay.reshape(k, (-1,))
    term = relay.subtract(_requantize(k, [k_scale, k_zero, out_scale, out_zero]), out_zero)
    value = scalar(relay.transform.FoldConstantExpr(term, tvm.IRModule(), fold_qnn=True))
    return None if value is None else relay.const(value, "int32")


class ConvHardSwishToEntryForm(DFPatternCallback):
    def __init__(self):
        super().__init__(require_type=True)
        self.data = wildcard()
        self.conv = is_op("qnn.conv2d")(self.data, is_constant(), wildcard(), wildcard(), wildcard(), wildcard())
        self.bias = is_constant()
        biased = is_op("nn.bias_add")(self.conv, self.bias) | self.conv
        out = is_op("qnn.requantize")(biased, is_constant(), is_constant(), is_constant(), is_constant())
        added = is_op("qnn.add")(out, is_constant(), *[is_constant() for _ in range(6)])
        clipped = is_op("clip")(added) | added
        self.pattern = is_op("qnn.mul")(out, clipped, *[is_constant() for _ in range(6)])

    def callback(self, pre, post, node_map):
        out_pre, clipped_pre = pre.args[0], pre.args[1]
        add_pre = clipped_pre.args[0] if clipped_pre.op.name == "clip" else clipped_pre
        out_dtype, add_dtype = str(out_pre.attrs.out_dtype), add_pre.checked_type.dtype
        if out_dtype not in ("int8", "uint8") or add_dtype not in ("int8", "uint8"):
            return post
        if any(scalar(arg) is None for arg in add_pre.args[1:]):
            return post
        constant_term = _add_constant_term(add_pre)
        biased_pre = out_pre.args[0]
        has_bias = biased_pre.op.name == "nn.bias_add"
        conv_pre = biased_pre.args[0] if has_bias else biased_pre
        weight = _quantized_constant(conv_pre.args[1])
        if constant_term is None or weight is None:
            return post

        conv = relay.Call(conv_pre.op, [node_map[self.data][0], weight, *conv_pre.args[2:]], conv_pre.attrs)
        if has_bias:
            bias = _quantized_constant(node_map[self.bias][0])
            if bias is None:
                return post
            conv = relay.nn.bias_add(conv, bias, axis=biased_pre.attrs.axis)
        conv_out = _narrowed(_requantize(conv, out_pre.args[1:], out_pre.attrs), out_dtype)

        lhs_scale, lhs_zero, out_scale, out_zero = add_pre.args[2], add_pre.args[3], add_pre.args[6], add_pre.args[7]
        shifted = relay.add(_requantize(conv_out, [lhs_scale, lhs_zero, out_scale, out_zero]), constant_term)
        added = _narrowed(shifted, add_dtype)
        low, high = _dtype_range(add_dtype)
        if clipped_pre.op.name == "clip":
            low, high = clipped_pre.attrs.a_min, clipped_pre.attrs.a_max
        return relay.Call(pre.op, [conv_out, relay.clip(added, low, high), *pre.args[2:]], pre.attrs)


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

    def callback(self, pre, post, node_map):
        divide = pre.args[0]
        dequantized = divide.args[0]
        dtype = pre.checked_type.dtype
        if dtype not in ("int8", "uint8") or dequantized.args[0].checked_type.dtype != dtype:
            return post
        if any(scalar(arg) is None for arg in (*dequantized.args[1:], divide.args[1], *pre.args[1:])):
            return post
        low, high = _dtype_range(dtype)
        values = np.arange(low, high + 1).astype(dtype)
        # The quantizations' own axis does not apply to a vector of values;
        # with single-valued scales it does not matter.
        chain = relay.qnn.op.dequantize(relay.const(values), *dequantized.args[1:], axis=0)
        chain = relay.qnn.op.quantize(relay.divide(chain, divide.args[1]), *pre.args[1:], axis=0, out_dtype=dtype)
        folded = relay.transform.FoldConstantExpr(chain, tvm.IRModule(), fold_qnn=True)
        if not isinstance(folded, relay.Constant) or not np.array_equal(folded.data.numpy(), values):
            return post
        return node_map[self.data][0]


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

    for function in mod.functions.values():
        if isinstance(function, relay.Function):
            relay.analysis.post_order_visit(function, visit)
    return notes
