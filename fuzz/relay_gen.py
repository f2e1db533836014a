"""Random Relay networks for fuzzing the pattern checks and the fusion.

`random_network(draw)` builds one network from the operators that the pattern
tables use, with random attributes, shapes, dtypes, constants and tuples,
including chains shaped like the ones the tables match (so that the checks get
past their first tests), calls with missing or extra arguments, attributes of
the wrong kind, and callees or arguments of the wrong kind (functions,
variables, tuples, lets).  About half of the networks are typed (InferType
succeeded), the others are left untyped.

`draw` is a source of choices: `Draw(random.Random(seed))` for seeded runs in
the tests, `Draw(atheris.FuzzedDataProvider(data))` under the fuzzer, which
then steers the choices by coverage.
"""

import numpy as np
import tvm
from tvm import relay

DTYPES = ("float32", "uint8", "int8", "int32", "float16", "int64", "bool")
CHANNELS = (1, 2, 3, 4, 8, 16, 32, 64, 128)
LAYOUTS = ("NHWC", "NCHW", "HWIO", "OIHW", "HWOI", "NC", "")

# Operators of the pattern tables, for raw calls with arbitrary arguments.
OPERATORS = (
    "qnn.quantize",
    "qnn.dequantize",
    "qnn.requantize",
    "qnn.conv2d",
    "qnn.add",
    "qnn.mul",
    "qnn.concatenate",
    "qnn.dense",
    "nn.conv2d",
    "nn.bias_add",
    "nn.pad",
    "nn.max_pool2d",
    "nn.avg_pool2d",
    "nn.adaptive_avg_pool2d",
    "nn.global_avg_pool2d",
    "nn.leaky_relu",
    "nn.relu",
    "nn.dense",
    "add",
    "multiply",
    "divide",
    "clip",
    "cast",
    "sigmoid",
    "mean",
    "concatenate",
    "image.resize2d",
    "expand_dims",
    "layout_transform",
    "reshape",
    "squeeze",
    "transpose",
    "maximum",
    "minimum",
)
# Attribute node types, attached at random to raw calls (often the wrong one).
ATTRS = (
    ("relay.attrs.Conv2DAttrs", {"groups": 1, "channels": 8, "data_layout": "NHWC", "kernel_layout": "HWIO"}),
    ("relay.attrs.ClipAttrs", {"a_min": 0.0, "a_max": 6.0}),
    ("relay.attrs.CastAttrs", {"dtype": "uint8"}),
    ("relay.attrs.Resize2DAttrs", {"method": "nearest_neighbor", "layout": "NHWC", "rounding_method": ""}),
    ("relay.attrs.AvgPool2DAttrs", {"pool_size": [2, 2], "layout": "NHWC"}),
    ("relay.attrs.BiasAddAttrs", {"axis": 3}),
    ("relay.attrs.LeakyReluAttrs", {"alpha": 0.1}),
    ("relay.attrs.ConcatenateAttrs", {"axis": 3}),
    ("relay.attrs.ReduceAttrs", {"axis": [1, 2], "keepdims": True}),
    ("DictAttrs", {}),
)


class Draw:
    """Uniform access to a random.Random or an atheris FuzzedDataProvider."""

    def __init__(self, source):
        self.source = source
        self.fuzzed = hasattr(source, "ConsumeIntInRange")

    def int(self, low, high):
        if self.fuzzed:
            return self.source.ConsumeIntInRange(low, high)
        return self.source.randint(low, high)

    def pick(self, items):
        return items[self.int(0, len(items) - 1)]

    def chance(self, probability):
        if self.fuzzed:
            return self.source.ConsumeProbability() < probability
        return self.source.random() < probability

    def real(self):
        if self.fuzzed:
            return self.source.ConsumeRegularFloat()
        return self.pick((0.0, -1.0, 0.05, 0.5, 3.0, 6.0, 255.0, 1e30, float("nan"), float("inf")))


def _constant(draw, dtype=None, shape=None):
    dtype = dtype or draw.pick(DTYPES)
    if shape is None:
        shape = draw.pick(((), (1,), (4,), (8,), (1, 1, 1, 8), (3, 3, 4, 8), (1, 4, 4, 4), (2, 0)))
    values = np.arange(int(np.prod(shape)), dtype="int64").reshape(shape) % 7 - 3
    if draw.chance(0.2):
        return relay.const(draw.real(), "float32") if draw.chance(0.5) else relay.const(draw.int(-300, 300))
    return relay.const(values.astype(dtype))


def _tensor_var(draw, name, typed=False):
    if not typed and draw.chance(0.1):
        return relay.var(name)  # untyped
    shape = draw.pick(((1, 8, 8, 4), (1, 4, 8, 8), (1, 8, 8, 8), (1, 16), (1, 8, 8, 64), (8,), ()))
    return relay.var(name, shape=shape, dtype=draw.pick(DTYPES[:4]))


def _quantize(x, dtype="uint8"):
    return relay.qnn.op.quantize(x, relay.const(0.05), relay.const(0), out_dtype=dtype)


def _dequantize(x):
    return relay.qnn.op.dequantize(x, relay.const(0.05), relay.const(0))


def _requantize(x, dtype="uint8"):
    q = (relay.const(0.05), relay.const(0))
    return relay.qnn.op.requantize(x, *q, *q, out_dtype=dtype)


def _qparams(count):
    return [relay.const(0.05), relay.const(0)] * count


def _channels(draw, x, layout):
    """The channel count of `x` in `layout` when its type is known (usually a
    consistent choice), else a random one."""
    try:
        shape = x.checked_type.shape
        if len(shape) == 4 and draw.chance(0.9):
            return int(shape[3] if layout == "NHWC" else shape[1])
    except (ValueError, AttributeError, TypeError, tvm.TVMError):
        pass
    return draw.pick(CHANNELS)


def _conv_attrs(draw, x):
    layout = draw.pick(("NHWC", "NHWC", "NCHW"))
    ich = _channels(draw, x, layout)
    och = draw.pick(CHANNELS)
    groups = draw.pick((1, 1, 2, 4, ich, ich, 3, 0))
    if groups == ich and draw.chance(0.7):
        och = ich  # depthwise
    kernel = draw.pick((1, 3))
    return ich, och, groups, layout, kernel


def _qnn_conv_chain(draw, x):
    """pad? qnn.conv2d (bias)? requantize clip? cast?: the quantized conv chain."""
    ich, och, groups, layout, kernel = _conv_attrs(draw, x)
    if draw.chance(0.5):
        width = ((0, 0), (1, 1), (1, 1), (0, 0)) if layout == "NHWC" else ((0, 0), (0, 0), (1, 1), (1, 1))
        x = relay.nn.pad(x, width, pad_value=draw.pick((0, 1)))
    per_group = max(ich // max(groups, 1), 1)
    wshape = (kernel, kernel, per_group, och) if layout == "NHWC" else (och, per_group, kernel, kernel)
    weight = _quantize(relay.var("w", shape=wshape), "int8") if draw.chance(0.6) else _constant(draw, "int8", wshape)
    x = relay.qnn.op.conv2d(
        x,
        weight,
        relay.const(0),
        relay.const(0),
        relay.const(0.05),
        relay.const(0.05),
        kernel_size=(kernel, kernel),
        channels=och,
        groups=groups,
        data_layout=layout,
        kernel_layout="HWIO" if layout == "NHWC" else "OIHW",
        out_dtype="int32",
    )
    if draw.chance(0.7):
        x = relay.nn.bias_add(x, _quantize(relay.var("b", shape=(och,)), "int32"), axis=draw.pick((3, 1, -1)))
    x = _requantize(x, draw.pick(("int32", "uint8")))
    if draw.chance(0.7):
        x = relay.clip(x, draw.pick((0, -128)), draw.pick((255, 127, 6)))
    if draw.chance(0.7):
        x = relay.cast(x, draw.pick(("uint8", "int8")))
    return x


def _fp32_conv_chain(draw, x):
    ich, och, groups, layout, kernel = _conv_attrs(draw, x)
    per_group = max(ich // max(groups, 1), 1)
    wshape = (kernel, kernel, per_group, och) if layout == "NHWC" else (och, per_group, kernel, kernel)
    weight = _constant(draw, "float32", wshape) if draw.chance(0.8) else relay.var("w", shape=wshape)
    x = relay.nn.conv2d(
        x,
        weight,
        kernel_size=(kernel, kernel),
        channels=och,
        groups=groups,
        data_layout=layout,
        kernel_layout="HWIO" if layout == "NHWC" else "OIHW",
        dilation=draw.pick(((1, 1), (2, 2))),
        strides=draw.pick(((1, 1), (2, 2))),
    )
    if draw.chance(0.6):
        x = relay.nn.bias_add(x, _constant(draw, "float32", (och,)), axis=draw.pick((3, 1)))
    return x


def _pool(draw, x):
    size = draw.pick(((2, 2), (3, 3), (1, 1), (16, 16), (64, 64)))
    layout = draw.pick(("NHWC", "NCHW"))
    kind = draw.int(0, 4)
    if kind == 0:
        return relay.nn.max_pool2d(x, size, size, layout=layout)
    if kind == 1:
        return relay.nn.avg_pool2d(
            x, size, size, padding=draw.pick(((0, 0), (1, 1))), layout=layout, count_include_pad=draw.chance(0.5)
        )
    if kind == 2:
        pooled = relay.nn.avg_pool2d(relay.cast(x, "int32"), size, size, layout=layout)
        return relay.cast(pooled, "uint8")
    if kind == 3:
        return relay.cast(relay.nn.adaptive_avg_pool2d(relay.cast(x, "int32"), (1, 1), layout=layout), "uint8")
    return relay.nn.global_avg_pool2d(x, layout=layout)


def _resize(draw, x):
    method = draw.pick(("nearest_neighbor", "linear", "cubic"))
    rounding = draw.pick(("", "round", "floor", "round_prefer_ceil"))
    size = draw.pick(((16, 16), (8, 8), (1, 1), (17, 3)))
    out = relay.image.resize2d(x, size, layout=draw.pick(("NHWC", "NCHW")), method=method, rounding_method=rounding)
    if draw.chance(0.3):
        out = _quantize(relay.image.resize2d(_dequantize(x), size, layout="NHWC", method=method))
    return out


def _concat(draw, pool):
    fields = [_requantize(draw.pick(pool)) if draw.chance(0.5) else draw.pick(pool) for _ in range(draw.int(1, 5))]
    if draw.chance(0.5):
        n = len(fields)
        return relay.qnn.op.concatenate(
            fields,
            [relay.const(0.05)] * n,
            [relay.const(0)] * n,
            relay.const(0.05),
            relay.const(0),
            axis=draw.pick((3, 1, -1)),
        )
    return relay.concatenate(fields, axis=draw.pick((3, 1, -1, 0)))


def _elementwise(draw, pool):
    a, b = draw.pick(pool), draw.pick(pool)
    kind = draw.int(0, 9)
    if kind == 0:
        return relay.qnn.op.add(a, b, *_qparams(3))
    if kind == 1:
        return relay.qnn.op.mul(a, b, *_qparams(3))
    if kind == 2:
        return relay.add(a, b if draw.chance(0.5) else _constant(draw))
    if kind == 3:
        return relay.multiply(a, b)
    if kind == 4:
        return relay.clip(a, draw.real(), draw.real())
    if kind == 5:
        return relay.nn.relu(a)
    if kind == 6:
        return relay.nn.leaky_relu(a, draw.real())
    if kind == 7:
        return relay.sigmoid(a)
    if kind == 8:
        return relay.mean(relay.cast(a, "int32"), axis=[1, 2], keepdims=draw.chance(0.5))
    return relay.divide(relay.multiply(a, relay.clip(relay.add(a, relay.const(3.0)), 0, 6)), relay.const(6.0))


def _raw_call(draw, pool):
    """A call built without the operator's own helper: any argument count,
    attributes of any kind (or none), arguments of any kind."""
    op = relay.op.get(draw.pick(OPERATORS))
    args = [draw.pick(pool) for _ in range(draw.int(0, 7))]
    attrs = None
    if draw.chance(0.6):
        type_key, fields = draw.pick(ATTRS)
        attrs = tvm.ir.make_node(type_key, **fields) if type_key != "DictAttrs" else tvm.ir.make_node("DictAttrs")
    return relay.Call(op, args, attrs)


def _odd_node(draw, pool):
    """Expressions of kinds the checks rarely expect."""
    kind = draw.int(0, 6)
    x = draw.pick(pool)
    if kind == 0:
        return relay.Tuple([draw.pick(pool) for _ in range(draw.int(0, 3))])
    if kind == 1:
        return relay.TupleGetItem(relay.Tuple([x, draw.pick(pool)]), draw.int(0, 2))
    if kind == 2:
        param = relay.var("f", shape=(1, 8, 8, 4))
        func = relay.Function([param], relay.nn.relu(param))
        if draw.chance(0.5):
            func = func.with_attr("Composite", draw.pick(("vexa.qnn_conv", "vexa_fp32.conv2d", "other")))
        return relay.Call(func, [x] if draw.chance(0.8) else [])
    if kind == 3:
        return relay.Call(relay.var("callee"), [x])  # a call of a variable
    if kind == 4:
        bound = relay.var("t")
        return relay.Let(bound, x, relay.nn.relu(bound))
    if kind == 5:
        return relay.If(relay.const(True), x, draw.pick(pool))
    return _constant(draw)


def _typed(node):
    """Whether `node` type-checks (its type is then recorded on it)."""
    try:
        relay.transform.InferTypeLocal(node)
        return True
    except tvm.TVMError:
        return False


def random_expr(draw, max_nodes=24, typed=False):
    """The body of a random network (free variables are its inputs).  With
    `typed`, every node that does not type-check is dropped again, and calls
    of the wrong shape are left out.  Untyped networks may hold raw calls
    with attributes of another operator's kind, on which TVM's type
    relations of several operators (reshape, expand_dims, ...) die: code that
    hands such a network to a pass must refuse it first."""
    pool = [_tensor_var(draw, "data", typed)]
    for index in range(draw.int(0, 2)):
        pool.append(_tensor_var(draw, f"in{index}", typed))
    if typed:
        pool = [x for x in pool if _typed(x)]
    for _ in range(draw.int(1, max_nodes)):
        kind = draw.int(0, 9 if typed else 11)
        x = draw.pick(pool)
        try:
            if kind <= 1:
                node = _qnn_conv_chain(draw, x)
            elif kind == 2:
                node = _fp32_conv_chain(draw, x)
            elif kind == 3:
                node = _pool(draw, x)
            elif kind == 4:
                node = _resize(draw, x)
            elif kind == 5:
                node = _concat(draw, pool)
            elif kind <= 7:
                node = _elementwise(draw, pool)
            elif kind == 8:
                node = _quantize(x, draw.pick(("uint8", "int8", "int32")))
            elif kind == 9:
                node = _dequantize(x) if draw.chance(0.5) else _requantize(x)
            elif kind == 10:
                node = _raw_call(draw, pool)
            else:
                node = _odd_node(draw, pool)
        except (tvm.TVMError, ValueError, TypeError, AttributeError, IndexError):
            continue  # the operator's own helper refused these attributes
        if not typed or _typed(node):
            pool.append(node)
    if draw.chance(0.2):
        return relay.Tuple(pool[-draw.int(1, 3) :])
    return pool[-1]


def random_network(draw, max_nodes=24):
    """(module, typed): a module whose "main" computes a random expression;
    typed is True when it went through type inference."""
    typed = draw.chance(0.6)
    body = random_expr(draw, max_nodes, typed)
    mod = tvm.IRModule.from_expr(relay.Function(relay.analysis.free_vars(body), body))
    if typed:
        try:
            return relay.transform.InferType()(mod), True
        except tvm.TVMError:
            pass
    return mod, False


def quiet_type_errors():
    """Stops TVM from printing every type error it raises (the generator
    provokes many)."""
    tvm.ir.diagnostics.override_renderer(lambda context: None)


def post_order(expr):
    """Every node of `expr` (functions' bodies included), children first."""
    nodes = []
    relay.analysis.post_order_visit(expr, nodes.append)
    return nodes
