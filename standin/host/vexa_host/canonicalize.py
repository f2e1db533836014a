"""Host-side canonicalisation of importer output before partitioning.

ONNX models in QuantizeLinear / DequantizeLinear form (a float convolution
or dense reading a dequantized tensor, `is_qdq_form`) first go through TVM's
FakeQuantizationToInteger, which turns such regions into integer operators.

The ReLU that FakeQuantizationToInteger leaves on the int32 accumulator
becomes the clip after the requantize that the quantized tables expect
(`vexa_host.bias_forms.requantized_relu_clips`).

After the host's NHWC preparation, constants are folded (quantize calls
excepted, which the quantized weight patterns expect) and more forms are
brought to what the entries expect: the bias forms natively
(`vexa_host.bias_forms`), two forms here, the others in
`vexa_host.rewrites`, one module each; each says which.  What the
preparation leaves outside on purpose goes with the prepared module as
notes (`preparation_notes`).
"""

import tvm
from tvm import relay
from tvm.relay.dataflow_pattern import DFPatternCallback, is_constant, is_op, wildcard

from vexa_host import _native
from vexa_host.bias_forms import quantized_bias_adds, requantized_relu_clips
from vexa_host.folding import fold_constants, typed
from vexa_host.rewrites import functions_calling, rewrite_functions
from vexa_host.rewrites.batch_matmul_transposed import BatchMatmulTransposedB
from vexa_host.rewrites.concatenate_layout import ConcatenateInsideLayoutTransforms
from vexa_host.rewrites.division_between_quantizations import DivisionBetweenQuantizations, division_notes
from vexa_host.rewrites.layout_transform_pairs import LayoutTransformPairCancelled
from vexa_host.rewrites.max_pool_quantized import MaxPoolAfterQuantize
from vexa_host.rewrites.nearest_resize import NearestResizeHalfPixel
from vexa_host.rewrites.quantized_hswish import ConvHardSwishToEntryForm
from vexa_host.rewrites.scalar_quantize import ScalarQuantizeFolded
from vexa_host.rewrites.tiled_upsampling import TiledUpsamplingToResize


def _scalar(constant):
    value = constant.data.numpy()
    return value.item() if value.size == 1 else None


class LayoutTransformOutsideQuantization(DFPatternCallback):
    """The NHWC conversion of a float operator between a dequantize and a
    quantize (a resize, in PyTorch networks) leaves the layout transforms
    inside: dequantize, layout_transform, operator, layout_transform,
    quantize.  The entries expect the dequantize and quantize right at the
    operator.  With per-tensor scale and zero point, quantization commutes
    with a layout transform, so the transforms are moved outside."""

    def __init__(self):
        super().__init__(require_type=True)
        self.inner = wildcard()
        dequantized = is_op("layout_transform")(is_op("qnn.dequantize")(self.inner, is_constant(), is_constant()))
        quantized = is_op("qnn.quantize")(is_op("layout_transform")(self.inner), is_constant(), is_constant())
        self.pattern = dequantized | quantized

    def callback(self, pre, post, node_map):
        if pre.op.name == "layout_transform":
            transform, quantization = post, post.args[0]
        else:
            transform, quantization = post.args[0], post
        scale, zero_point = quantization.args[1], quantization.args[2]
        if any(_scalar(constant) is None for constant in (scale, zero_point)):
            return post
        data = node_map[self.inner][0]
        moved = relay.Call(transform.op, [data], transform.attrs)
        if pre.op.name == "layout_transform":
            return relay.Call(quantization.op, [moved, scale, zero_point], quantization.attrs)
        requantized = relay.Call(quantization.op, [data, scale, zero_point], quantization.attrs)
        return relay.Call(transform.op, [requantized], transform.attrs)


class PadInsideLayoutTransform(DFPatternCallback):
    """Where the NHWC conversion meets a padded NCHW input (the first
    convolution of a PyTorch network), it puts the layout transform between
    the pad and the convolution, and the pad falls out of the convolution
    entry, which takes an optional pad right at the convolution.  A pad
    commutes with a layout transform once its widths follow the axes, so
    the transform goes first."""

    def __init__(self):
        super().__init__(require_type=True)
        self.data = wildcard()
        self.pad = is_op("nn.pad")(self.data, wildcard())
        self.pattern = is_op("layout_transform")(self.pad)

    def callback(self, pre, post, node_map):
        pad = node_map[self.pad][0]
        src, dst = str(pre.attrs.src_layout), str(pre.attrs.dst_layout)
        if sorted(src) != sorted(dst) or len(set(src)) != len(src) or not src.isupper():
            return post  # only plain permutations of the axes (no split channels)
        if str(pad.attrs.pad_mode) != "constant":
            return post
        widths = {axis: [int(w) for w in width] for axis, width in zip(src, pad.attrs.pad_width)}
        moved = relay.Call(pre.op, [node_map[self.data][0]], pre.attrs)
        return relay.nn.pad(moved, [widths[axis] for axis in dst], pad.args[1], pad_mode="constant")


def canonicalize_imported(mod):
    """Rewrites that apply to the imported network."""
    return requantized_relu_clips(mod)


# In this order: the scalar quantize calls go first (the hard-swish form
# reads its 3 as a constant), layout transform pairs cancel before the
# transforms are moved outside quantization and before a division between
# quantizations is looked at, a concatenation's input transforms are looked
# at once nothing stands between them and the concatenation, and the
# hard-swish comes last: it reads the convolution's bias in the bias_add
# form written here.
_NHWC_REWRITES = (
    ScalarQuantizeFolded,
    quantized_bias_adds,
    LayoutTransformPairCancelled,
    LayoutTransformOutsideQuantization,
    PadInsideLayoutTransform,
    MaxPoolAfterQuantize,
    NearestResizeHalfPixel,
    TiledUpsamplingToResize,
    DivisionBetweenQuantizations,
    ConcatenateInsideLayoutTransforms,
    ConvHardSwishToEntryForm,
)

# The module attribute under which the prepared network carries its notes:
# what the preparation left outside the composites on purpose, one line each.
NOTES_ATTR = "vexa.preparation_notes"


def canonicalize_nhwc(mod):
    """Rewrites that apply after the host's NHWC preparation; the notes on
    what stays outside go with the module (`preparation_notes`)."""
    mod = fold_constants(mod, fold_qnn=False)
    for step in _NHWC_REWRITES:
        # A callback class goes through the pattern rewriter; anything else
        # is a step of its own.
        mod = rewrite_functions(mod, step) if isinstance(step, type) else step(mod)
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
