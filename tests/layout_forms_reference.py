"""The layout and quantization rewrites of the NHWC preparation written as
TVM pattern callbacks, the reference that `vexa_host._native.rewrite_forms`
is compared with: run through TVM's `rewrite`, each gives the module the
native rule gives (`ORACLES` maps the rule names to them)."""

import tvm
from tvm import relay
from tvm.relay.dataflow_pattern import DFPatternCallback, is_constant, is_op, wildcard

from vexa_host.rewrites.constants import same_scalars, scalar


def _scalar(constant):
    value = constant.data.numpy()
    return value.item() if value.size == 1 else None


class ScalarQuantizeFolded(DFPatternCallback):
    def __init__(self):
        super().__init__(require_type=True)
        self.pattern = is_op("qnn.quantize")(is_constant(), is_constant(), is_constant())
        self._folded = {}

    def callback(self, pre, post, node_map):
        if any(scalar(arg) is None for arg in post.args):
            return post
        # Folding compiles the call; the rewriter asks again on each of its
        # passes, about the same constants.
        constants = tuple((scalar(arg), arg.data.dtype, tuple(arg.data.shape)) for arg in post.args)
        key = (constants, str(post.attrs.out_dtype), int(post.attrs.axis))
        if key not in self._folded:
            folded = relay.transform.FoldConstantExpr(post, tvm.IRModule(), fold_qnn=True)
            self._folded[key] = folded.data if isinstance(folded, relay.Constant) else None
        # A node of its own for each call, as folding each would give.
        data = self._folded[key]
        return post if data is None else relay.Constant(data)


_ELEMENTWISE = ("qnn.dequantize", "qnn.quantize", "divide", "multiply", "add", "subtract", "clip", "cast")


def _elementwise_step(node):
    """Whether `node` computes element by element from its first argument
    and single-valued constants."""
    if not isinstance(node, relay.Call) or not hasattr(node.op, "name") or node.op.name not in _ELEMENTWISE:
        return False
    return all(scalar(arg) is not None for arg in node.args[1:])


def _inverse(inner, outer):
    return str(inner.attrs.src_layout) == str(outer.attrs.dst_layout) and str(inner.attrs.dst_layout) == str(
        outer.attrs.src_layout
    )


class LayoutTransformPairCancelled(DFPatternCallback):
    def __init__(self):
        super().__init__(require_type=True)
        self.pattern = is_op("layout_transform")(wildcard())

    def callback(self, pre, post, node_map):
        # Walked on the rewritten graph: an inner transform that was already
        # cancelled leaves nothing to cancel with.
        chain, node = [], post.args[0]
        while _elementwise_step(node):
            chain.append(node)
            node = node.args[0]
        if not chain or not (isinstance(node, relay.Call) and getattr(node.op, "name", None) == "layout_transform"):
            return post
        if not _inverse(node, pre):
            return post
        value = node.args[0]
        for step in reversed(chain):
            value = relay.Call(step.op, [value, *step.args[1:]], step.attrs)
        return value


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


def _whole_factors(pre):
    layout = str(pre.attrs.layout)
    if sorted(layout) != sorted("NCHW"):
        return False
    in_shape = [int(d) for d in pre.args[0].checked_type.shape]
    out_shape = [int(d) for d in pre.checked_type.shape]
    axes = [layout.index("H"), layout.index("W")]
    return all(in_shape[a] > 0 and out_shape[a] % in_shape[a] == 0 for a in axes)


class NearestResizeHalfPixel(DFPatternCallback):
    def __init__(self):
        super().__init__(require_type=True)
        self.pattern = is_op("image.resize2d")(wildcard())

    def callback(self, pre, post, node_map):
        attrs = post.attrs
        if (
            attrs.method != "nearest_neighbor"
            or attrs.coordinate_transformation_mode != "asymmetric"
            or attrs.rounding_method != "floor"
            or not _whole_factors(pre)
        ):
            return post
        return relay.image.resize2d(
            post.args[0],
            size=attrs.size,
            roi=attrs.roi,
            layout=attrs.layout,
            method="nearest_neighbor",
            coordinate_transformation_mode="half_pixel",
            rounding_method="round_prefer_ceil",
            out_dtype=attrs.out_dtype,
        )


def _shape(expr):
    return [int(d) for d in expr.checked_type.shape]


def _repeats(expand, tile, reshape, axis):
    """The repetition factor of one expand_dims / tile / reshape step along
    `axis` of an NHWC tensor, or None when the step is something else."""
    if int(expand.attrs.axis) != axis + 1 or int(expand.attrs.num_newaxis) != 1:
        return None
    reps = [int(r) for r in tile.attrs.reps]
    if len(reps) != 5 or any(r != 1 for i, r in enumerate(reps) if i != axis + 1):
        return None
    before, after = _shape(expand.args[0]), _shape(reshape)
    factor = reps[axis + 1]
    expected = list(before)
    expected[axis] *= factor
    return factor if after == expected else None


class TiledUpsamplingToResize(DFPatternCallback):
    def __init__(self):
        super().__init__(require_type=True)
        self.data = wildcard()
        rows = is_op("reshape")(is_op("tile")(is_op("expand_dims")(self.data)))
        self.pattern = is_op("reshape")(is_op("tile")(is_op("expand_dims")(rows)))

    def callback(self, pre, post, node_map):
        # Types and attributes are read on the original chain: a rewritten
        # input (an upsampling of an upsampling) is not typed yet.
        tile_w = pre.args[0]
        expand_w = tile_w.args[0]
        rows = expand_w.args[0]
        tile_h = rows.args[0]
        expand_h = tile_h.args[0]
        if len(_shape(expand_h.args[0])) != 4:
            return post
        down = _repeats(expand_h, tile_h, rows, 1)
        across = _repeats(expand_w, tile_w, pre, 2)
        if down is None or across is None:
            return post
        _, height, width, _ = _shape(pre)
        return relay.image.resize2d(
            node_map[self.data][0],
            size=(height, width),
            layout="NHWC",
            method="nearest_neighbor",
            coordinate_transformation_mode="half_pixel",
            rounding_method="round_prefer_ceil",
        )


def _permutation(transform):
    src, dst = str(transform.attrs.src_layout), str(transform.attrs.dst_layout)
    if len(set(src)) != len(src) or sorted(src) != sorted(dst) or not src.isupper():
        return None  # only plain permutations of the axes (no split channels)
    return src, dst


class ConcatenateInsideLayoutTransforms(DFPatternCallback):
    def __init__(self):
        super().__init__(require_type=True)
        self.joined = is_op("qnn.concatenate")(wildcard(), wildcard(), wildcard(), wildcard(), wildcard())
        self.pattern = is_op("layout_transform")(self.joined)

    def callback(self, pre, post, node_map):
        concat = pre.args[0]
        fields = concat.args[0]
        if not isinstance(fields, relay.Tuple):
            return post
        outer = _permutation(pre)
        if outer is None:
            return post
        inner_layout, outer_layout = outer
        joined = node_map[self.joined][0]
        # The rewritten fields: one that was rewritten is no transform any more.
        for field in joined.args[0].fields:
            if not (isinstance(field, relay.Call) and getattr(field.op, "name", None) == "layout_transform"):
                return post
            if _permutation(field) != (outer_layout, inner_layout):
                return post
        axis = int(concat.attrs.axis)
        rank = len(inner_layout)
        axis = outer_layout.index(inner_layout[axis % rank])
        scales, zero_points = joined.args[1], joined.args[2]
        if not (isinstance(scales, relay.Tuple) and isinstance(zero_points, relay.Tuple)):
            return post
        inputs = [field.args[0] for field in joined.args[0].fields]
        return relay.qnn.op.concatenate(inputs, scales.fields, zero_points.fields, joined.args[3], joined.args[4], axis)


ORACLES = {
    "scalar_quantize_folded": ScalarQuantizeFolded,
    "layout_transform_pair_cancelled": LayoutTransformPairCancelled,
    "layout_transform_outside_quantization": LayoutTransformOutsideQuantization,
    "pad_inside_layout_transform": PadInsideLayoutTransform,
    "max_pool_after_quantize": MaxPoolAfterQuantize,
    "nearest_resize_half_pixel": NearestResizeHalfPixel,
    "tiled_upsampling_to_resize": TiledUpsamplingToResize,
    "concatenate_inside_layout_transforms": ConcatenateInsideLayoutTransforms,
}


def reference_callbacks(rewrite):
    """The callback classes that do what a step of the NHWC rewrites does:
    the oracles of a native step's rules, or the (Python) step itself."""
    names = getattr(rewrite, "names", None)
    return [ORACLES[name] for name in names] if names is not None else [rewrite]
