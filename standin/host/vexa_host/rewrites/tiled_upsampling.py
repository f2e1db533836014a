"""TensorFlow's converter writes Keras' nearest `UpSampling2D` as
repetitions: along the height, expand_dims, tile and reshape, then the
same along the width.  Repeating every pixel s times down and t times
across is the nearest-neighbour resize by those whole factors; it is
written as the resize (half-pixel coordinates rounded half up, the form
the integer nearest resize entry accepts), which reads exactly the same
pixels (see `nearest_resize`)."""

from tvm import relay
from tvm.relay.dataflow_pattern import DFPatternCallback, is_op, wildcard


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
