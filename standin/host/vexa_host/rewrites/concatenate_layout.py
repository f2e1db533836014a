"""The NHWC conversion has no layout rule for `qnn.concatenate`: it joins
NHWC tensors by transforming each to NCHW, concatenating on the channels
and transforming the result back.  A concatenation commutes with a
permutation of the axes, so the NHWC tensors are joined directly on the
axis the channels have there, and the concatenation entry sees its
inputs."""

from tvm import relay
from tvm.relay.dataflow_pattern import DFPatternCallback, is_op, wildcard


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
        for field in fields.fields:
            if not (isinstance(field, relay.Call) and getattr(field.op, "name", None) == "layout_transform"):
                return post
            if _permutation(field) != (outer_layout, inner_layout):
                return post
        axis = int(concat.attrs.axis)
        rank = len(inner_layout)
        axis = outer_layout.index(inner_layout[axis % rank])
        # The rewritten graph's own fields (an input may itself have been
        # rewritten), each without its transform.
        joined = node_map[self.joined][0]
        scales, zero_points = joined.args[1], joined.args[2]
        if not (isinstance(scales, relay.Tuple) and isinstance(zero_points, relay.Tuple)):
            return post
        inputs = [field.args[0] for field in joined.args[0].fields]
        return relay.qnn.op.concatenate(inputs, scales.fields, zero_points.fields, joined.args[3], joined.args[4], axis)
