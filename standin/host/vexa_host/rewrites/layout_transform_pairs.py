"""The NHWC conversion leaves operators it has no layout rule for in NCHW,
wrapped in a layout transform each way: NHWC to NCHW, dequantize, divide,
quantize, NCHW to NHWC (the division by 6 of a QDQ hard-swish, for
instance).  Where every operator between the two transforms works element
by element with per-tensor (single-valued) operands, the operators give
the same values in either layout and the two transforms cancel."""

from tvm import relay
from tvm.relay.dataflow_pattern import DFPatternCallback, is_op, wildcard

from vexa_host.rewrites.constants import scalar

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
        steps, node = 0, pre.args[0]
        while _elementwise_step(node):
            steps, node = steps + 1, node.args[0]
        if steps == 0 or not (isinstance(node, relay.Call) and getattr(node.op, "name", None) == "layout_transform"):
            return post
        if not _inverse(node, pre):
            return post
        # The same walk on the rewritten graph, whose nodes are rebuilt.
        chain, node = [], post.args[0]
        for _ in range(steps):
            chain.append(node)
            node = node.args[0]
        value = node.args[0]
        for step in reversed(chain):
            value = relay.Call(step.op, [value, *step.args[1:]], step.attrs)
        return value
