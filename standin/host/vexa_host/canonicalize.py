"""Host-side canonicalisation of importer output before partitioning.

ONNX models in QuantizeLinear / DequantizeLinear form (a float convolution
or dense reading a dequantized tensor, `is_qdq_form`) first go through TVM's
FakeQuantizationToInteger, which turns such regions into integer operators.

TVM's FakeQuantizationToInteger turns an ONNX QDQ convolution followed by a
ReLU into `qnn.requantize(maximum(conv, zp_in))`: the ReLU stays a
`maximum` on the int32 accumulator, in front of the requantize.  The
quantized tables expect the ReLU as a `clip` after the requantize (the form
of the TFLite and PyTorch importers).  Both are the same function:
requantize is monotonic and maps its input zero point to its output zero
point, so clamping below at `zp_in` before it equals clamping below at
`zp_out` after it (the upper end is the output type's own saturation).
`RequantizedReluToClip` rewrites the first form into the second, and only
when the maximum's bound and the requantize's zero points are constants
with one value each (per-channel zero points of one value included) and
the bound equals the input zero point: the case where the two are exactly
equal.

After the host's NHWC preparation, constants are folded (quantize calls
excepted, which the quantized weight patterns expect) and more forms are
brought to what the entries expect: two here, the layout and quantization
forms in the native module (`vexa_host.rewrites.native_forms`), the others
in `vexa_host.rewrites`, one module each; each says which.  What the
preparation leaves outside on purpose goes with the prepared module as
notes (`preparation_notes`).
"""

import numpy as np
import tvm
from tvm import relay
from tvm.relay.dataflow_pattern import DFPatternCallback, is_constant, is_op, wildcard

from vexa_host import _native
from vexa_host.folding import fold_constants, typed
from vexa_host.rewrites import functions_calling, rewrite_functions
from vexa_host.rewrites.batch_matmul_transposed import BatchMatmulTransposedB
from vexa_host.rewrites.division_between_quantizations import DivisionBetweenQuantizations, division_notes
from vexa_host.rewrites.native_forms import (
    CONCATENATE_INSIDE_LAYOUT_TRANSFORMS,
    LAYOUT_FORMS,
    SCALAR_QUANTIZE_FOLDED,
    NativeForms,
)
from vexa_host.rewrites.quantized_hswish import ConvHardSwishToEntryForm


def _uniform(constant):
    """The one value of a constant all of whose elements are equal (a
    per-channel zero point of zeros, for instance), or None."""
    values = constant.data.numpy()
    if values.size == 0 or not (values == values.flat[0]).all():
        return None
    return values.flat[0].item()


class RequantizedReluToClip(DFPatternCallback):
    def __init__(self):
        super().__init__(require_type=True)
        self.data = wildcard()
        self.bound = is_constant()
        self.in_zp = is_constant()
        self.out_zp = is_constant()
        self.pattern = is_op("qnn.requantize")(
            is_op("maximum")(self.data, self.bound), wildcard(), self.in_zp, wildcard(), self.out_zp
        )

    def callback(self, pre, post, node_map):
        bound = _uniform(node_map[self.bound][0])
        in_zp = _uniform(node_map[self.in_zp][0])
        out_zp = _uniform(node_map[self.out_zp][0])
        if bound is None or in_zp is None or out_zp is None or bound != in_zp:
            return post
        out_dtype = pre.checked_type.dtype
        if not out_dtype.startswith(("int", "uint")):
            return post
        a_max = int(np.iinfo(out_dtype).max)
        if out_zp > a_max:
            return post
        requantized = relay.Call(post.op, [node_map[self.data][0], *post.args[1:]], post.attrs)
        return relay.clip(requantized, a_min=float(out_zp), a_max=float(a_max))


def _channel_vector(bias, channels):
    """A constant bias of shape (C,) or (1, 1, 1, C) as a vector of C, or None."""
    if not isinstance(bias, relay.Constant):
        return None
    shape = list(bias.data.shape)
    if shape not in ([channels], [1, 1, 1, channels]):
        return None
    return relay.const(bias.data.numpy().reshape(channels))


class QuantizedConvBiasToBiasAdd(DFPatternCallback):
    """A quantized NHWC convolution whose bias arrives, after the NHWC
    preparation (which turns bias adds into broadcast adds) with constants
    folded, as `add(conv, constant of shape (C,) or (1, 1, 1, C))` (TFLite
    networks; ONNX QDQ networks after FakeQuantizationToInteger): written as
    the `nn.bias_add` on axis 3 of the vector, the form of the TFLite
    importer that the quantized convolution entries expect.  Biases that
    are still computed (the quantized biases of PyTorch networks) are left
    alone.  A bias_add is no add: one pass finds every match."""

    def __init__(self):
        super().__init__(require_type=True, rewrite_once=True)
        self.conv = is_op("qnn.conv2d")(wildcard(), wildcard(), wildcard(), wildcard(), wildcard(), wildcard())
        self.bias = is_constant()
        self.pattern = is_op("add")(self.conv, self.bias)

    def callback(self, pre, post, node_map):
        conv = node_map[self.conv][0]
        if conv.attrs.data_layout != "NHWC":
            return post
        vector = _channel_vector(node_map[self.bias][0], int(conv.checked_type.shape[3]))
        if vector is None:
            return post
        return relay.nn.bias_add(conv, vector, axis=3)


class DenseBiasAddBack(DFPatternCallback):
    """The NHWC preparation turns every `nn.bias_add` into a broadcast add:
    `add(x, expand_dims(bias, 0))`, or a constant of shape (1, units) once
    folded.  The quantized dense entry expects the `nn.bias_add` of a
    (batch, units) dense.  Undone here for dense outputs, where the two are
    the same.  A bias_add is no add: one pass finds every match."""

    def __init__(self):
        super().__init__(require_type=True, rewrite_once=True)
        self.dense = is_op("qnn.dense")(wildcard(), wildcard(), wildcard(), wildcard(), wildcard(), wildcard())
        self.bias = wildcard()
        self.expanded = is_op("expand_dims")(self.bias)
        self.folded = is_constant()
        self.pattern = is_op("add")(self.dense, self.expanded | self.folded)

    def callback(self, pre, post, node_map):
        if len(pre.checked_type.shape) != 2:
            return post
        units = int(pre.checked_type.shape[1])
        if self.folded in node_map:
            constant = node_map[self.folded][0]
            if list(constant.data.shape) != [1, units]:
                return post
            bias = relay.const(constant.data.numpy().reshape(units))
        else:
            expanded, bias = node_map[self.expanded][0], node_map[self.bias][0]
            if int(expanded.attrs.axis) != 0 or int(expanded.attrs.num_newaxis) != 1:
                return post
            if len(bias.checked_type.shape) != 1:
                return post
        return relay.nn.bias_add(node_map[self.dense][0], bias, axis=1)


def canonicalize_imported(mod):
    """Rewrites that apply to the imported network."""
    return rewrite_functions(mod, RequantizedReluToClip)


# In this order: the scalar quantize calls go first (the hard-swish form
# reads its 3 as a constant), layout transform pairs cancel before the
# transforms are moved outside quantization and before a division between
# quantizations is looked at, a concatenation's input transforms are looked
# at once nothing stands between them and the concatenation, and the
# hard-swish comes last: it reads the convolution's bias in the bias_add
# form written here.
_NHWC_REWRITES = (
    SCALAR_QUANTIZE_FOLDED,
    QuantizedConvBiasToBiasAdd,
    DenseBiasAddBack,
    LAYOUT_FORMS,
    DivisionBetweenQuantizations,
    CONCATENATE_INSIDE_LAYOUT_TRANSFORMS,
    ConvHardSwishToEntryForm,
)

# The module attribute under which the prepared network carries its notes:
# what the preparation left outside the composites on purpose, one line each.
NOTES_ATTR = "vexa.preparation_notes"


def canonicalize_nhwc(mod):
    """Rewrites that apply after the host's NHWC preparation; the notes on
    what stays outside go with the module (`preparation_notes`)."""
    mod = fold_constants(mod, fold_qnn=False)
    for rewrite in _NHWC_REWRITES:
        mod = rewrite(mod) if isinstance(rewrite, NativeForms) else rewrite_functions(mod, rewrite)
    notes = division_notes(mod)
    return mod.with_attr(NOTES_ATTR, notes) if notes else mod


def preparation_notes(mod):
    """The notes the preparation attached to a module, as a list of text."""
    notes = mod.attrs[NOTES_ATTR] if mod.attrs is not None and NOTES_ATTR in mod.attrs else []
    return [str(note) for note in notes]


# Float operators that, fed by a dequantize, mark the QuantizeLinear /
# DequantizeLinear form in which ONNX stores quantized networks.
# (Element-wise float operators between a dequantize and a quantize are
# also how the TFLite importer writes hard-swish or SiLU; they do not count.)
_QDQ_COMPUTE_OPS = ("nn.conv2d", "nn.conv2d_transpose", "nn.dense", "nn.matmul", "nn.batch_matmul")


def _is_op_call(node, name=None):
    return isinstance(node, relay.Call) and isinstance(node.op, tvm.ir.Op) and (name is None or node.op.name == name)


def is_qdq_form(mod):
    """Whether a float compute operator of the module reads a dequantized tensor."""
    found = []

    def visit(node):
        if _is_op_call(node) and node.op.name in _QDQ_COMPUTE_OPS:
            found.extend(arg for arg in node.args if _is_op_call(arg, "qnn.dequantize"))

    for _, function in functions_calling(mod, ["qnn.dequantize"]):
        if set(_QDQ_COMPUTE_OPS) & set(_native.operator_names(function)):
            relay.analysis.post_order_visit(function, visit)
    return bool(found)


def integer_form(mod):
    """The module with QDQ regions turned into integer operators, and the
    requantized ReLU canonicalised (see the module docstring)."""
    mod = typed(mod)
    if is_qdq_form(mod):
        mod = rewrite_functions(mod, BatchMatmulTransposedB)
        mod = relay.transform.FakeQuantizationToInteger()(mod)
    return canonicalize_imported(mod)
