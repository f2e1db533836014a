"""Host-side canonicalisation of importer output before partitioning.

TVM's FakeQuantizationToInteger turns an ONNX QDQ convolution followed by a
ReLU into `qnn.requantize(maximum(conv, zp_in))`: the ReLU stays a
`maximum` on the int32 accumulator, in front of the requantize.  The
quantized tables expect the ReLU as a `clip` after the requantize (the form
of the TFLite and PyTorch importers).  Both are the same function:
requantize is monotonic and maps its input zero point to its output zero
point, so clamping below at `zp_in` before it equals clamping below at
`zp_out` after it (the upper end is the output type's own saturation).
`RequantizedReluToClip` rewrites the first form into the second, and only
when the maximum's bound is a scalar constant equal to the requantize's
scalar input zero point, the case where the two are exactly equal.

After the NHWC conversion with constants folded, a float32 bias reaches
its convolution as `add(x, constant of shape (1, 1, 1, C))`; the float32
bias entry expects the bias as a vector of C.  `BiasToVector` reshapes
such constants: broadcasting makes both adds equal.
"""
import numpy as np
from tvm import relay
from tvm.relay.dataflow_pattern import DFPatternCallback, is_constant, is_op, rewrite, wildcard


def _scalar(constant):
    value = constant.data.numpy()
    return value.item() if value.size == 1 else None


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
        bound = _scalar(node_map[self.bound][0])
        in_zp = _scalar(node_map[self.in_zp][0])
        out_zp = _scalar(node_map[self.out_zp][0])
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


class BiasToVector(DFPatternCallback):
    def __init__(self):
        super().__init__(require_type=True)
        self.data = wildcard()
        self.bias = is_constant()
        self.pattern = is_op("add")(self.data, self.bias)

    def callback(self, pre, post, node_map):
        bias = node_map[self.bias][0]
        data_shape = [int(dim) for dim in node_map[self.data][0].checked_type.shape]
        bias_shape = list(bias.data.shape)
        if len(data_shape) != 4 or len(bias_shape) != 4 or bias_shape[:3] != [1, 1, 1]:
            return post
        if bias_shape[3] != data_shape[3] or pre.checked_type.dtype != "float32":
            return post
        vector = relay.const(bias.data.numpy().reshape(bias_shape[3]))
        return relay.add(post.args[0], vector)


class ConvBiasAddToAdd(DFPatternCallback):
    """`nn.bias_add` of an NCHW quantized convolution as the add of the bias
    expanded to (C, 1, 1), which is what TVM's CanonicalizeOps makes of it;
    the NHWC conversion then gives the bias the layout transform that the
    quantized convolution entry expects.  Unlike CanonicalizeOps, the bias
    adds of other operators (a quantized dense) are left as they are, since
    their entries expect `nn.bias_add`."""

    def __init__(self):
        super().__init__(require_type=True)
        self.conv = is_op("qnn.conv2d")(wildcard(), wildcard(), wildcard(), wildcard(), wildcard(), wildcard())
        self.bias = wildcard()
        self.pattern = is_op("nn.bias_add")(self.conv, self.bias)

    def callback(self, pre, post, node_map):
        conv = node_map[self.conv][0]
        if conv.attrs.data_layout != "NCHW" or int(pre.attrs.axis) != 1:
            return post
        return relay.add(post.args[0], relay.expand_dims(post.args[1], axis=1, num_newaxis=2))


class QuantizedConvBiasToBiasAdd(DFPatternCallback):
    """A quantized NHWC convolution whose bias arrives, after the NHWC
    conversion with constants folded, as `add(conv, constant (1, 1, 1, C))`
    (ONNX QDQ models after FakeQuantizationToInteger): written as the
    `nn.bias_add` on axis 3 of the vector, the form of the TFLite importer
    that the quantized convolution entries expect."""

    def __init__(self):
        super().__init__(require_type=True)
        self.conv = is_op("qnn.conv2d")(wildcard(), wildcard(), wildcard(), wildcard(), wildcard(), wildcard())
        self.bias = is_constant()
        self.pattern = is_op("add")(self.conv, self.bias)

    def callback(self, pre, post, node_map):
        conv, bias = node_map[self.conv][0], node_map[self.bias][0]
        shape = list(bias.data.shape)
        if conv.attrs.data_layout != "NHWC" or len(shape) != 4 or shape[:3] != [1, 1, 1]:
            return post
        if shape[3] != int(conv.checked_type.shape[3]):
            return post
        vector = relay.const(bias.data.numpy().reshape(shape[3]))
        return relay.nn.bias_add(conv, vector, axis=3)


class DenseBiasAddBack(DFPatternCallback):
    """The NHWC conversion runs TVM's CanonicalizeOps, which turns every
    `nn.bias_add` into `add(x, expand_dims(bias, 0))`; the quantized dense
    entry expects the `nn.bias_add` of a (batch, units) dense.  Undone here
    for dense outputs, where the two are the same."""

    def __init__(self):
        super().__init__(require_type=True)
        self.dense = is_op("qnn.dense")(wildcard(), wildcard(), wildcard(), wildcard(), wildcard(), wildcard())
        self.bias = wildcard()
        self.expanded = is_op("expand_dims")(self.bias)
        self.pattern = is_op("add")(self.dense, self.expanded)

    def callback(self, pre, post, node_map):
        expanded = node_map[self.expanded][0]
        bias = node_map[self.bias][0]
        if int(expanded.attrs.axis) != 0 or int(expanded.attrs.num_newaxis) != 1:
            return post
        if len(bias.checked_type.shape) != 1 or len(pre.checked_type.shape) != 2:
            return post
        return relay.nn.bias_add(node_map[self.dense][0], bias, axis=1)


def _rewrite_all(mod, callback_type):
    mod = relay.transform.InferType()(mod)
    for global_var, function in mod.functions.items():
        if isinstance(function, relay.Function):
            mod[global_var] = rewrite(callback_type(), function, mod)
    return relay.transform.InferType()(mod)


def canonicalize_imported(mod):
    """Rewrites that apply to the imported network."""
    return _rewrite_all(mod, RequantizedReluToClip)


def canonicalize_conv_bias(mod):
    """Rewrite that applies before the NHWC conversion."""
    return _rewrite_all(mod, ConvBiasAddToAdd)


def canonicalize_nhwc(mod):
    """Rewrites that apply after the NHWC conversion."""
    for callback_type in (BiasToVector, QuantizedConvBiasToBiasAdd, DenseBiasAddBack):
        mod = _rewrite_all(mod, callback_type)
    return mod
