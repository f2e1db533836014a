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
(`vexa_host.bias_forms`), the layout and quantization forms in the native
module (`vexa_host.rewrites.native_forms`), the others in
`vexa_host.rewrites`, one module each; each says which.  What the
preparation leaves outside on purpose goes with the prepared module as
notes (`preparation_notes`).
"""

import tvm
from tvm import relay

from vexa_host import _native
from vexa_host.bias_forms import quantized_bias_adds, requantized_relu_clips
from vexa_host.folding import fold_constants, typed
from vexa_host.rewrites import functions_calling, rewrite_functions
from vexa_host.rewrites.batch_matmul_transposed import BatchMatmulTransposedB
from vexa_host.rewrites.division_between_quantizations import DivisionBetweenQuantizations, division_notes
from vexa_host.rewrites.native_forms import (
    CONCATENATE_INSIDE_LAYOUT_TRANSFORMS,
    LAYOUT_FORMS,
    SCALAR_QUANTIZE_FOLDED,
)
from vexa_host.rewrites.quantized_hswish import ConvHardSwishToEntryForm


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
    SCALAR_QUANTIZE_FOLDED,
    quantized_bias_adds,
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
