"""The Python pattern rewrites that the native bias forms
(`vexa_host.bias_forms`) replaced, kept as the tests' reference: a native
rewrite must give what these give through TVM's pattern rewriter followed
by type inference."""

import numpy as np
import tvm
from tvm import relay
from tvm.relay.dataflow_pattern import DFPatternCallback, is_constant, is_op, rewrite, wildcard

from vexa_host.bias_forms import quantized_bias_adds


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


class ChannelBiasToBiasAdd(DFPatternCallback):
    """add(x, constant of shape (1, 1, 1, C)) with x of shape (N, H, W, C)
    becomes nn.bias_add(x, the constant as a vector of C, axis=3)."""

    def __init__(self):
        super().__init__(require_type=True)
        self.data = wildcard()
        self.bias = is_constant()
        self.pattern = is_op("add")(self.data, self.bias)  # the matcher also tries the operands swapped

    def callback(self, pre, post, node_map):
        # The matched data may already be a rewritten (untyped) node when adds
        # are chained, so types are read from the original operands.
        bias = node_map[self.bias][0]
        data_side = 0 if pre.args[1].same_as(bias) else 1
        shape, data = bias.data.shape, pre.args[data_side]
        if isinstance(data, relay.Constant) or len(shape) != 4 or tuple(shape[:3]) != (1, 1, 1):
            return post
        data_type = data.checked_type
        if not isinstance(data_type, relay.TensorType) or len(data_type.shape) != 4:
            return post
        channels = data_type.shape[3]
        if not isinstance(channels, tvm.tir.IntImm) or int(channels) != shape[3] or data_type.dtype != bias.data.dtype:
            return post
        vector = relay.const(np.reshape(bias.data.numpy(), (shape[3],)))
        return relay.nn.bias_add(post.args[data_side], vector, axis=3)


def rewritten(mod, *callback_types):
    """Each callback's rewrite over every Relay function, the module typed
    again after each, as the preparation ran them."""
    mod = relay.transform.InferType()(mod)
    for callback_type in callback_types:
        for global_var, function in list(mod.functions.items()):
            if isinstance(function, relay.Function):
                mod[global_var] = rewrite(callback_type(), function, mod)
        mod = relay.transform.InferType()(mod)
    return mod


# The callbacks each native step of the NHWC rewrites stands for, in order.
NATIVE_STEPS = {quantized_bias_adds: (QuantizedConvBiasToBiasAdd, DenseBiasAddBack)}
