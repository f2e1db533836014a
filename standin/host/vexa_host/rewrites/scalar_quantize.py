"""Constant folding leaves every `qnn.quantize` alone, since the quantized
weight entries expect their weights as quantize calls of constants.  A
quantize of a scalar constant (the 3 of a hard-swish, for instance) is no
weight: it is replaced by the integer TVM computes for it, folded by
TVM's own constant folding so that the value is the one the call gives."""

import tvm
from tvm import relay
from tvm.relay.dataflow_pattern import DFPatternCallback, is_constant, is_op

from vexa_host.rewrites.constants import scalar


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
