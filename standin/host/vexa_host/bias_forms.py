"""The bias forms of the preparation and the requantized ReLU, rewritten on
TVM's own objects by the native module (`_native`), typed as type inference
would type them: a step here never makes the module be inferred again,
whose cost grows faster than a deep network.

- `expand_bias_adds`: TVM's CanonicalizeOps (every `nn.bias_add` as an add
  of the bias expanded to the data's rank), which the NHWC layout
  conversion needs to move a bias with its data.
- `requantized_relu_clips`: the ReLU that FakeQuantizationToInteger leaves
  as `maximum(x, zp_in)` before a requantize becomes the clip after it that
  the quantized tables expect.  Both are the same function: requantize is
  monotonic and maps its input zero point to its output zero point, so
  clamping below at `zp_in` before it equals clamping below at `zp_out`
  after it (the upper end is the output type's own saturation).  Only
  where that holds exactly: bound and zero points constants of one value
  each (per-channel zero points of one value included), the bound the
  input zero point, an integer output.
- `quantized_bias_adds`: after the NHWC preparation with constants folded,
  the bias of an NHWC quantized convolution arrives as `add(conv, constant
  of shape (C,) or (1, 1, 1, C))` (TFLite networks; ONNX QDQ networks after
  FakeQuantizationToInteger) and a dense bias as `add(dense,
  expand_dims(bias, 0))` or a constant of shape (1, units): both become the
  `nn.bias_add` of the TFLite importer that the quantized entries expect.
  Biases that are still computed (the quantized biases of PyTorch
  networks) are left alone.
- `channel_bias_adds`: float32 networks converted to NHWC carry a bias as an
  add of a (1, 1, 1, C) constant; the float32 bias entry takes only
  `nn.bias_add(data, vector of C, axis=3)`.
"""

from tvm.relay import transform

from vexa_host import _native
from vexa_host.folding import typed


def _rewritten(mod, rewrite, calls_needed):
    """`rewrite` (function -> function, None when it cannot) over the
    module's functions whose operators satisfy `calls_needed`; None when a
    rewrite could not."""
    mod = typed(mod)
    updates = []
    for global_var, function in _native.optimizable_functions(mod):
        if calls_needed(set(_native.operator_names(function))):
            result = rewrite(function)
            if result is None:
                return None
            if not result.same_as(function):
                updates.append((global_var, result))
    return _native.module_with(mod, updates) if updates else mod


def expand_bias_adds(mod):
    """`transform.CanonicalizeOps()(mod)`, typed."""
    result = _rewritten(mod, _native.expand_bias_adds, lambda ops: "nn.bias_add" in ops)
    return result if result is not None else typed(transform.CanonicalizeOps()(mod))


def requantized_relu_clips(mod):
    return _rewritten(mod, _native.requantized_relu_clips, lambda ops: {"maximum", "qnn.requantize"} <= ops)


def quantized_bias_adds(mod):
    return _rewritten(
        mod, _native.quantized_bias_adds, lambda ops: "add" in ops and bool({"qnn.conv2d", "qnn.dense"} & ops)
    )


def channel_bias_adds(mod):
    return _rewritten(mod, _native.channel_bias_adds, lambda ops: "add" in ops)
