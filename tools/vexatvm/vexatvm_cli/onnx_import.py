"""TVM's ONNX importer, driven so that a failure names the node it failed
on (the importer converts node after node through its `GraphProto`; the
subclass here adds the node's type and name to an error), and mended for
the MatMul of QDQ models.

The importer writes a MatMul of a 3-D tensor by a 2-D matrix as a batch
matmul of the two as they are, which type-checks only when the matrix is
a constant it can reshape itself: in a QDQ model it is the dequantize of
a constant, and the import fails.  The matrix is given its batch axis of
1 first (the same product), so the importer takes its general path.
"""

from tvm import relay
from tvm.relay.frontend import onnx as onnx_frontend
from tvm.relay.frontend.common import infer_shape

from vexatvm_cli.errors import OperatorImportError, failure_reason


def _matmul_operands(inputs):
    a, b = inputs[0], inputs[1]
    if isinstance(b, relay.Constant) or len(infer_shape(a)) != 3 or len(infer_shape(b)) != 2:
        return inputs
    inputs[1] = relay.expand_dims(b, axis=0)
    return inputs


class NamingGraphProto(onnx_frontend.GraphProto):
    def _convert_operator(self, op_name, inputs, attrs, opset):
        try:
            if op_name == "MatMul":
                inputs = _matmul_operands(inputs)
            return super()._convert_operator(op_name, inputs, attrs, opset)
        except OperatorImportError:
            raise
        except Exception as error:
            name = attrs.get("tvm_custom", {}).get("name")
            where = f" {name!r}" if name else ""
            raise OperatorImportError(f"operator {op_name}{where}: {failure_reason(error)}") from error


def _opset(model):
    for opset in model.opset_import:
        if opset.domain in ("", "ai.onnx"):
            return opset.version
    return 1


def from_onnx(model, shapes):
    """The model as a Relay module with its weights as constants."""
    graph = NamingGraphProto(shapes, "float32", freeze_params=True, op_type_dict={})
    with graph:
        mod, params = graph.from_onnx(model.graph, _opset(model))
    try:
        return relay.transform.DynamicToStatic()(mod), params
    except Exception as error:
        raise OperatorImportError(f"TVM's DynamicToStatic after the conversion: {failure_reason(error)}") from error
