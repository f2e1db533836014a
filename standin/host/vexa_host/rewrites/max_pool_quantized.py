"""A float `nn.max_pool2d` between a per-tensor dequantize and quantize
(the TFLite importer's and FakeQuantizationToInteger's leftovers) would be
offloaded by the integer max pool entry as it is, a float operator.
Quantization with one scale is monotonic (non-decreasing), so the maximum
of quantized values is the quantized maximum: the pool moves after the
quantize and works on integers.  Where the dequantize and the quantize
have the same scale, zero point and type, the two cancel exactly (the
value (q - zp) * s / s rounds back to q - zp) and the pool reads the
integers directly.

The pool's own padding (the lowest float before, the lowest integer
after) is never the maximum as long as every window holds a value of
the input, which holds when each padding is smaller than the window."""

from tvm import relay
from tvm.relay.dataflow_pattern import DFPatternCallback, is_constant, is_op, wildcard

from vexa_host.rewrites.constants import same_scalars, scalar


def _windows_hold_input(attrs):
    pool = [int(size) for size in attrs.pool_size]
    padding = [int(pad) for pad in attrs.padding]
    if any(int(d) != 1 for d in attrs.dilation):
        return False
    return all(pad < pool[i % 2] for i, pad in enumerate(padding))


class MaxPoolAfterQuantize(DFPatternCallback):
    def __init__(self):
        super().__init__(require_type=True)
        self.data = wildcard()
        dequantized = is_op("qnn.dequantize")(self.data, is_constant(), is_constant())
        self.pattern = is_op("qnn.quantize")(is_op("nn.max_pool2d")(dequantized), is_constant(), is_constant())

    def callback(self, pre, post, node_map):
        # Types and attributes are read on the original chain (a rewritten
        # input is not typed yet).
        pool = pre.args[0]
        dequantized = pool.args[0]
        if any(scalar(arg) is None for arg in (*dequantized.args[1:], *post.args[1:])):
            return post
        if not _windows_hold_input(pool.attrs):
            return post
        data = node_map[self.data][0]
        same_quantization = (
            same_scalars(dequantized.args[1], post.args[1])
            and same_scalars(dequantized.args[2], post.args[2])
            and pre.checked_type.dtype == dequantized.args[0].checked_type.dtype
        )
        if not same_quantization:
            dequantized = relay.Call(dequantized.op, [data, *dequantized.args[1:]], dequantized.attrs)
            data = relay.Call(post.op, [dequantized, *post.args[1:]], post.attrs)
        return relay.Call(pool.op, [data], pool.attrs)
