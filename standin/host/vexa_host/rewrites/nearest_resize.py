"""A nearest-neighbour resize by whole factors reads the same input
pixels with `asymmetric` coordinates rounded down (ONNX and PyTorch
upsampling) as with `half_pixel` coordinates rounded half up, the form
the integer nearest resize entry accepts: output index o = k * s + r
(0 <= r < s) maps to k in the first form and to k + (r + 0.5) / s - 0.5
in the second, which lies strictly between k - 0.5 and k + 0.5."""

from tvm import relay
from tvm.relay.dataflow_pattern import DFPatternCallback, is_op, wildcard


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
