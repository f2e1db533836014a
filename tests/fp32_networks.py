"""Float32 networks for the float32 table's flow tests and benchmark, and a
census of what partitioning made of them.

`tflite_style(blocks)` builds an NHWC float32 network in the form TFLite's
importer gives (convolutions with HWIO weights, bias adds on axis 3, ReLU6 as a
clip), with every chain the float32 table knows: padded max pools, residual
adds, hard swish in both forms, SiLU, leaky ReLU, resizes, concatenations and
a global average pool, followed by a classifier head that stays on the host.
"""

import collections

import numpy as np
import tvm
from tvm import relay

F32 = "float32"


class _Builder:
    def __init__(self, seed):
        self.rng = np.random.default_rng(seed)
        self.params = {}

    def const(self, shape):
        return relay.const(self.rng.uniform(-0.1, 0.1, shape).astype(F32))

    def conv(self, x, cin, cout, kernel=3, stride=1, depthwise=False):
        groups = cin if depthwise else 1
        weight = self.const((kernel, kernel, cin // groups, cout))
        pad = kernel // 2
        y = relay.nn.conv2d(
            x,
            weight,
            strides=(stride, stride),
            padding=(pad, pad),
            groups=groups,
            channels=cout,
            kernel_size=(kernel, kernel),
            data_layout="NHWC",
            kernel_layout="HWIO",
        )
        return relay.nn.bias_add(y, self.const((cout,)), axis=3)

    @staticmethod
    def activation(x, kind):
        if kind == "relu":
            return relay.nn.relu(x)
        if kind == "relu6":
            return relay.clip(x, 0.0, 6.0)
        if kind == "leaky":
            return relay.nn.leaky_relu(x, 0.1)
        if kind == "silu":
            return relay.multiply(x, relay.sigmoid(x))
        if kind == "hswish":
            return relay.multiply(
                x, relay.divide(relay.clip(relay.add(x, relay.const(3.0)), 0.0, 6.0), relay.const(6.0))
            )
        if kind == "hswish_onnx":
            hard_sigmoid = relay.clip(relay.add(relay.const(0.5), relay.multiply(x, relay.const(1.0 / 6.0))), 0.0, 1.0)
            return relay.multiply(x, hard_sigmoid)
        raise ValueError(kind)


ACTIVATIONS = ("relu", "relu6", "leaky", "silu", "hswish", "hswish_onnx")


def tflite_style(blocks=8, size=16, channels=16, seed=0, activations=ACTIVATIONS, head=True):
    """(mod, params) of an NHWC float32 network of `blocks` residual blocks,
    whose first convolutions cycle through `activations`; with `head`, a
    dense classifier (left to the host) follows the global pooling."""
    b = _Builder(seed)
    data = relay.var("input", shape=(1, size, size, 3), dtype=F32)
    x = b.activation(b.conv(data, 3, channels), "relu6")
    padded = relay.nn.pad(x, ((0, 0), (1, 1), (1, 1), (0, 0)), pad_value=relay.const(0.0))
    x = relay.nn.max_pool2d(padded, (3, 3), (1, 1), layout="NHWC")
    for i in range(blocks):
        act = activations[i % len(activations)]
        y = b.activation(b.conv(x, channels, channels), act)
        y = b.activation(b.conv(y, channels, channels, depthwise=True), "relu")
        y = b.conv(y, channels, channels, kernel=1)
        x = relay.add(x, y)
        if i % 4 == 3:
            # A branch pair joined by a concatenation and narrowed again.
            left = b.activation(b.conv(x, channels, channels // 2, kernel=1), "relu")
            small = relay.nn.max_pool2d(x, (2, 2), (2, 2), layout="NHWC")
            right = relay.image.resize2d(
                b.activation(b.conv(small, channels, channels // 2, kernel=1), "relu"),
                (size, size),
                layout="NHWC",
                method="nearest_neighbor",
                rounding_method="",
            )
            x = b.activation(b.conv(relay.concatenate([left, right], axis=3), channels, channels, kernel=1), "relu")
    out = pooled = relay.nn.global_avg_pool2d(x, layout="NHWC")
    if head:
        logits = relay.nn.dense(relay.reshape(pooled, (1, channels)), b.const((10, channels)))
        out = relay.nn.softmax(logits)
    mod = tvm.IRModule.from_expr(relay.Function(relay.analysis.free_vars(out), out))
    return relay.transform.InferType()(mod), b.params


def count_calls(mod):
    """Number of operator calls in all functions of a module."""
    counts = census(mod)
    return sum(counts["outside"].values()) + counts["inside"]


def _calls(body):
    """The calls of a function body, without entering nested functions."""
    calls, stack, seen = [], [body], set()
    while stack:
        node = stack.pop()
        if node in seen:
            continue
        seen.add(node)
        if isinstance(node, relay.Call):
            calls.append(node)
            stack.extend(node.args)
        elif isinstance(node, relay.Tuple):
            stack.extend(node.fields)
        elif isinstance(node, relay.TupleGetItem):
            stack.append(node.tuple_value)
    return calls


def census(mod):
    """What partitioning made of a module: the number of operator calls
    inside composite functions, the operator names of the calls outside
    them (Counter), and the composites formed (Counter of names)."""
    inside = 0
    outside = collections.Counter()
    composites = collections.Counter()
    functions = [mod[gvar] for gvar in mod.get_global_vars()]
    while functions:
        func = functions.pop()
        is_composite = func.attrs is not None and "Composite" in func.attrs
        for call in _calls(func.body):
            if isinstance(call.op, relay.Function):
                functions.append(call.op)
                if call.op.attrs is not None and "Composite" in call.op.attrs:
                    composites[str(call.op.attrs["Composite"])] += 1
            elif isinstance(call.op, tvm.ir.Op):
                if is_composite:
                    inside += 1
                else:
                    outside[call.op.name] += 1
    return {"inside": inside, "outside": outside, "composites": composites}
