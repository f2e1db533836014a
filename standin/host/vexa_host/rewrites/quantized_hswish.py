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
the multiply's integers, see `division_between_quantizations`);
otherwise it stays outside, and a note says so.
"""

import numpy as np
from tvm import relay
from tvm.relay.dataflow_pattern import DFPatternCallback, is_constant, is_op, wildcard

from vexa_host.folding import fold_expression
from vexa_host.rewrites.constants import dtype_range, scalar

_EXACT_FLOAT_INTEGER = 2**24


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
    low, high = dtype_range(dtype)
    return relay.cast(relay.clip(requantized, low, high), dtype)


def _requantize(data, args, attrs=None, out_dtype="int32"):
    options = (
        {} if attrs is None else {"axis": attrs.axis, "rounding": attrs.rounding, "compute_dtype": attrs.compute_dtype}
    )
    return relay.qnn.op.requantize(data, *args, out_dtype=out_dtype, **options)


def _add_operands(add):
    """(tensor, its scale, its zero point) and the same of the constant, in
    either order of the add (its integers are symmetric in the two)."""
    lhs, rhs = (add.args[0], add.args[2], add.args[3]), (add.args[1], add.args[4], add.args[5])
    return (rhs, lhs) if isinstance(lhs[0], relay.Constant) else (lhs, rhs)


def _add_constant_term(constant, out_scale, out_zero):
    """requantize(k to the add's output scale) minus the output zero point,
    as TVM computes it, or None when it does not fold to one integer."""
    k, k_scale, k_zero = constant
    # As a vector of one (TVM's requantize of a scalar does not type-check
    # once lowered; qnn.add makes the same vector of its scalar operand).
    k = relay.reshape(k, (-1,))
    term = relay.subtract(_requantize(k, [k_scale, k_zero, out_scale, out_zero]), out_zero)
    value = scalar(fold_expression(term))
    return None if value is None else relay.const(value, "int32")


class ConvHardSwishToEntryForm(DFPatternCallback):
    def __init__(self):
        super().__init__(require_type=True)
        self.data = wildcard()
        self.conv = is_op("qnn.conv2d")(self.data, is_constant(), wildcard(), wildcard(), wildcard(), wildcard())
        self.bias = is_constant()
        biased = is_op("nn.bias_add")(self.conv, self.bias) | self.conv
        out = is_op("qnn.requantize")(biased, is_constant(), is_constant(), is_constant(), is_constant())
        added = is_op("qnn.add")(out, is_constant(), *[is_constant() for _ in range(6)]) | is_op("qnn.add")(
            is_constant(), out, *[is_constant() for _ in range(6)]
        )
        clipped = is_op("clip")(added) | added
        self.pattern = is_op("qnn.mul")(out, clipped, *[is_constant() for _ in range(6)])

    def callback(self, pre, post, node_map):
        out_pre, clipped_pre = pre.args[0], pre.args[1]
        add_pre = clipped_pre.args[0] if clipped_pre.op.name == "clip" else clipped_pre
        out_dtype, add_dtype = str(out_pre.attrs.out_dtype), add_pre.checked_type.dtype
        if out_dtype not in ("int8", "uint8") or add_dtype not in ("int8", "uint8"):
            return post
        tensor, constant = _add_operands(add_pre)
        out_scale, out_zero = add_pre.args[6], add_pre.args[7]
        if any(scalar(arg) is None for arg in (constant[0], *add_pre.args[2:])):
            return post
        constant_term = _add_constant_term(constant, out_scale, out_zero)
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

        shifted = relay.add(_requantize(conv_out, [*tensor[1:], out_scale, out_zero]), constant_term)
        added = _narrowed(shifted, add_dtype)
        low, high = dtype_range(add_dtype)
        if clipped_pre.op.name == "clip":
            low, high = clipped_pre.attrs.a_min, clipped_pre.attrs.a_max
        return relay.Call(pre.op, [conv_out, relay.clip(added, low, high), *pre.args[2:]], pre.attrs)
