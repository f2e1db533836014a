"""The native layout and quantization forms give the module that TVM's
pattern rewriter gives with the reference callbacks (`layout_forms_reference`),
typed as type inference types it: on the built-in samples and on random
networks made of the forms, their near misses and operators that other
operators also use.  (The test networks of `tests/models` go through the
whole preparation against the reference in `test_quantized_preparation`.)"""

import sys

import numpy as np
import pytest
from conftest import ROOT, requires_tvm

pytestmark = requires_tvm

sys.path.insert(0, str(ROOT / "tools" / "vexatvm"))
import tvm  # noqa: E402
from layout_forms_reference import ORACLES  # noqa: E402
from tvm import relay  # noqa: E402
from tvm.relay.dataflow_pattern import rewrite  # noqa: E402

from vexa_host import _native  # noqa: E402
from vexa_host.canonicalize import integer_form  # noqa: E402
from vexa_host.flow import NHWC_LAYOUTS  # noqa: E402
from vexa_host.folding import fold_constants  # noqa: E402
from vexa_host.rewrites.native_forms import NativeForms  # noqa: E402
from vexatvm_cli.samples import SAMPLES  # noqa: E402

RULES = list(ORACLES)


def _infer(mod):
    return relay.transform.InferType()(mod)


def _reference(mod, names):
    for name in names:
        mod = _infer(mod)
        mod["main"] = rewrite(ORACLES[name](), mod["main"], mod)
    return _infer(mod)


def _types(function):
    types = []
    relay.analysis.post_order_visit(
        function, lambda node: types.append(node.checked_type) if not isinstance(node, tvm.ir.Op) else None
    )
    return types


def _assert_like_reference(mod, names):
    native = NativeForms(*names)(mod)
    expected = _reference(mod, names)
    assert tvm.ir.structural_equal(native["main"], expected["main"], map_free_vars=True)
    assert _native.fully_typed(native["main"])
    inferred = _types(_infer(native)["main"])
    assert all(tvm.ir.structural_equal(a, b) for a, b in zip(_types(native["main"]), inferred, strict=True))
    return native


def _nhwc(mod):
    """A network as the NHWC rewrites receive it."""
    mod = relay.transform.CanonicalizeOps()(integer_form(_infer(mod)))
    return fold_constants(relay.transform.ConvertLayout(NHWC_LAYOUTS)(_infer(mod)), fold_qnn=False)


@pytest.mark.parametrize("sample", sorted(SAMPLES))
def test_samples_take_the_reference_forms(sample):
    _assert_like_reference(_nhwc(SAMPLES[sample]().mod), RULES)


def test_an_unchanged_module_is_returned_as_it_is():
    mod = _nhwc(SAMPLES[sorted(SAMPLES)[0]]().mod)
    once = NativeForms(*RULES)(mod)
    assert NativeForms(*RULES)(once).same_as(once)


def _pool_between_quantizations():
    x = relay.var("x", shape=(1, 4, 4, 2), dtype="int8")
    pooled = relay.nn.max_pool2d(relay.qnn.op.dequantize(x, relay.const(0.1), relay.const(0)), (2, 2), layout="NHWC")
    return x, relay.qnn.op.quantize(pooled, relay.const(0.1), relay.const(0), out_dtype="int8")


def test_an_untyped_module_is_typed_first():
    x, body = _pool_between_quantizations()
    native = NativeForms("max_pool_after_quantize")(tvm.IRModule.from_expr(relay.Function([x], body)))
    assert _native.fully_typed(native["main"]) and native["main"].body.op.name == "nn.max_pool2d"


def test_functions_with_bindings_are_left_alone():
    # Let and if are no dataflow: the rules' grouping is not worked out for them.
    x, body = _pool_between_quantizations()
    bound = relay.var("pooled")
    mod = _infer(tvm.IRModule.from_expr(relay.Function([x], relay.Let(bound, body, bound))))
    assert NativeForms(*RULES)(mod).same_as(mod)


class _Network:
    """A random chain of NHWC quantized blocks, each a form or a near miss;
    some inner nodes also feed the output, where the rewriter leaves their
    match alone."""

    def __init__(self, rng):
        self.rng = rng
        self.dtype = str(rng.choice(["uint8", "int8"]))
        self.shape = [1, int(rng.integers(2, 5)), int(rng.integers(2, 5)), int(rng.integers(2, 6))]
        self.inputs = [relay.var("x", shape=self.shape, dtype=self.dtype)]
        self.value = self.inputs[0]
        self.outputs = []

    def maybe_output(self, node):
        if self.rng.random() < 0.15:
            self.outputs.append(node)
        return node

    def scalar(self, low=0.01, high=0.1):
        return relay.const(float(self.rng.uniform(low, high)))

    def zero(self):
        low, high = (0, 255) if self.dtype == "uint8" else (-128, 127)
        return relay.const(int(self.rng.integers(low, high + 1) // 4))

    def channel_scales(self, channels):
        return relay.const(self.rng.uniform(0.01, 0.1, size=channels).astype("float32"))

    def dequantized(self, data, axis=3, channels=None):
        per_channel = channels is not None and self.rng.random() < 0.2
        scale = self.channel_scales(channels) if per_channel else self.scalar()
        return self.maybe_output(
            relay.qnn.op.dequantize(data, scale, relay.const(0) if per_channel else self.zero(), axis=axis)
        )

    def quantized(self, data, dtype=None):
        return relay.qnn.op.quantize(data, self.scalar(), self.zero(), out_dtype=dtype or self.dtype)

    def transform(self, data, src, dst):
        return self.maybe_output(relay.layout_transform(data, src, dst))

    def elementwise_pair(self):
        inner = self.transform(self.value, "NHWC", "NCHW")
        value = self.dequantized(inner, axis=1, channels=self.shape[3])
        for _ in range(int(self.rng.integers(0, 3))):
            operand = (
                relay.const(float(self.rng.uniform(1, 6)))
                if self.rng.random() < 0.9
                else relay.const(self.rng.uniform(1, 6, size=(self.shape[3], 1, 1)).astype("float32"))
            )
            value = self.maybe_output(
                getattr(relay, str(self.rng.choice(["divide", "multiply", "add"])))(value, operand)
            )
        value = self.quantized(value)
        outer = ("NCHW", "NHWC") if self.rng.random() < 0.85 else ("NCHW", "NWHC")
        if outer[1] == "NWHC":
            self.shape = [self.shape[0], self.shape[2], self.shape[1], self.shape[3]]
        return self.transform(value, *outer)

    def transformed_resize(self):
        factor = int(self.rng.integers(1, 3))
        value = self.transform(self.dequantized(self.value), "NHWC", "NCHW")
        value = relay.image.resize2d(
            value,
            (self.shape[1] * factor, self.shape[2] * factor),
            method="nearest_neighbor",
            coordinate_transformation_mode="asymmetric",
            rounding_method="floor",
        )
        self.shape = [1, self.shape[1] * factor, self.shape[2] * factor, self.shape[3]]
        return self.quantized(self.transform(value, "NCHW", "NHWC"))

    def padded_input(self):
        value = relay.layout_transform(self.value, "NHWC", "NCHW")
        widths = [[0, 0], [0, 0], [int(self.rng.integers(0, 2)), 1], [1, int(self.rng.integers(0, 3))]]
        mode = "constant" if self.rng.random() < 0.8 else "edge"
        value = self.maybe_output(relay.nn.pad(value, widths, relay.const(0, self.dtype), pad_mode=mode))
        self.shape = [1, self.shape[1] + sum(widths[2]), self.shape[2] + sum(widths[3]), self.shape[3]]
        return self.transform(value, "NCHW", "NHWC")

    def float_pool(self):
        size = int(self.rng.integers(1, 3))
        padding = int(self.rng.integers(0, 3))
        pooled = relay.nn.max_pool2d(
            self.dequantized(self.value), (size, size), padding=(padding, padding), layout="NHWC"
        )
        self.shape = [1, self.shape[1] + 2 * padding - size + 1, self.shape[2] + 2 * padding - size + 1, self.shape[3]]
        self.maybe_output(pooled)
        if self.rng.random() < 0.4:  # the same quantization on both sides
            dequantize = pooled.args[0]
            return relay.qnn.op.quantize(pooled, dequantize.args[1], dequantize.args[2], out_dtype=self.dtype)
        return self.quantized(pooled)

    def resize(self):
        down, across = int(self.rng.integers(1, 3)), int(self.rng.integers(1, 4))
        size = (self.shape[1] * down + int(self.rng.random() < 0.2), self.shape[2] * across)
        mode, rounding = ("asymmetric", "floor") if self.rng.random() < 0.7 else ("align_corners", "round")
        self.shape = [1, size[0], size[1], self.shape[3]]
        return relay.image.resize2d(
            self.value,
            size,
            layout="NHWC",
            method="nearest_neighbor",
            coordinate_transformation_mode=mode,
            rounding_method=rounding,
        )

    def repeat(self, value, axis, factor):
        expanded = self.maybe_output(relay.expand_dims(value, axis=axis + 1))
        reps = [1] * 5
        reps[axis + 1] = factor
        self.shape[axis] *= factor
        return relay.reshape(self.maybe_output(relay.tile(expanded, reps)), list(self.shape))

    def tiled(self):
        rows = self.repeat(self.value, 1, int(self.rng.integers(1, 3)))
        return self.repeat(self.maybe_output(rows), int(self.rng.choice([2, 2, 2, 3])), int(self.rng.integers(1, 3)))

    def concatenated(self):
        other = relay.var(
            f"y{len(self.inputs)}", shape=[1, self.shape[3], self.shape[1], self.shape[2]], dtype=self.dtype
        )
        self.inputs.append(other)
        mine = self.transform(self.value, "NHWC", "NCHW")
        other_field = (
            other
            if self.rng.random() < 0.2
            else relay.layout_transform(relay.layout_transform(other, "NCHW", "NHWC"), "NHWC", "NCHW")
        )
        fields = [mine, other_field] if self.rng.random() < 0.5 else [other_field, mine]
        joined = relay.qnn.op.concatenate(
            fields,
            [self.scalar(), self.scalar()],
            [self.zero(), self.zero()],
            self.scalar(),
            self.zero(),
            axis=int(self.rng.choice([1, -3])),
        )
        self.shape = [1, self.shape[1], self.shape[2], 2 * self.shape[3]]
        return self.transform(self.maybe_output(joined), "NCHW", "NHWC")

    def scalar_quantized_add(self):
        three = self.quantized(relay.const(float(self.rng.uniform(-4, 4))))
        constants = [self.scalar(), self.zero(), self.scalar(), self.zero(), self.scalar(), self.zero()]
        return relay.qnn.op.add(self.value, three, *constants)

    BLOCKS = (
        elementwise_pair,
        transformed_resize,
        padded_input,
        float_pool,
        resize,
        tiled,
        concatenated,
        scalar_quantized_add,
    )

    def build(self, blocks):
        for _ in range(blocks):
            self.value = self.rng.choice(self.BLOCKS)(self)
        body = relay.Tuple([self.value, *self.outputs]) if self.outputs else self.value
        return _infer(tvm.IRModule.from_expr(relay.Function(self.inputs, body)))


@pytest.mark.parametrize("seed", range(8))
def test_random_networks_take_the_reference_forms(seed):
    rng = np.random.default_rng(seed)
    for _ in range(25):
        mod = _Network(rng).build(int(rng.integers(1, 6)))
        _assert_like_reference(mod, RULES)
        _assert_like_reference(mod, [str(rng.choice(RULES))])
