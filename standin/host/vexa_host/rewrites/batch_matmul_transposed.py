"""TVM's FakeQuantizationToInteger rewrites `nn.batch_matmul` into
`qnn.batch_matmul` without its transpose flags, and the quantized batch
matmul always takes its second operand transposed: a batch matmul with
`transpose_b=False` (the ONNX importer's MatMul) comes out with operands
whose shapes no longer fit.  Writing the second operand transposed first
(`transpose(b, (0, 2, 1))` and `transpose_b=True`) is the same product,
and the transpose itself goes through FakeQuantizationToInteger as an
integer transpose."""

from tvm import relay
from tvm.relay.dataflow_pattern import DFPatternCallback, is_op, wildcard


class BatchMatmulTransposedB(DFPatternCallback):
    def __init__(self):
        super().__init__(require_type=True)
        self.pattern = is_op("nn.batch_matmul")(wildcard(), wildcard())

    def callback(self, pre, post, node_map):
        attrs = post.attrs
        if attrs.transpose_b or len(pre.args[1].checked_type.shape) != 3:
            return post
        a, b = post.args
        return relay.nn.batch_matmul(
            a, relay.transpose(b, (0, 2, 1)), out_dtype=attrs.out_dtype, transpose_a=attrs.transpose_a, transpose_b=True
        )
