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

    def callback(self, pre, post, node_map):
        if any(scalar(arg) is None for arg in post.args):
            return post
        folded = relay.transform.FoldConstantExpr(post, tvm.IRModule(), fold_qnn=True)
        return folded if isinstance(folded, relay.Constant) else post
