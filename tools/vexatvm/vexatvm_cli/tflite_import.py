"""TVM's TFLite importer, extended from outside for models from today's
TensorFlow converter, and made to name the operator it fails on.

Since 2024 the converter quantizes fully connected layers per channel: one
weight scale per output unit.  TVM's `convert_fully_connected` reads that
scale as a scalar and stops.  `qnn.dense` itself takes a vector of kernel
scales, and a requantize on the output axis takes the vector of
accumulator scales, so the layer imports as it is, with nothing rounded
differently from a per-tensor layer.
"""

from tvm import relay
from tvm.relay.frontend import tflite as tflite_frontend
from tvm.relay.frontend.common import to_int_list

from vexatvm_cli.errors import OperatorImportError, failure_reason


def _vector_scale(tensor):
    """The per-channel scale of a quantized tensor as a float array, or None
    for a per-tensor one."""
    if tensor.qnn_params is None:
        return None
    scale = tensor.qnn_params["scale"].data.numpy()
    return scale.astype("float64") if scale.size > 1 else None


def _scalar(constant):
    return constant.data.numpy().item()


class MendedOperatorConverter(tflite_frontend.OperatorConverter):
    def __init__(self, model, subgraph, exp_tab):
        super().__init__(model, subgraph, exp_tab)
        self.convert_map = {name: self._naming(name, convert) for name, convert in self.convert_map.items()}

    def _naming(self, name, convert):
        def named(op):
            try:
                return convert(op)
            except OperatorImportError:
                raise
            except Exception as error:
                outputs = [tensor.tensor.Name().decode() for tensor in self.get_output_tensors(op)]
                where = f" (output {outputs[0]})" if outputs else ""
                raise OperatorImportError(f"operator {name}{where}: {failure_reason(error)}") from error

        return named

    def convert_fully_connected(self, op):
        weight = self.get_input_tensors(op)[1]
        if _vector_scale(weight) is None:
            return super().convert_fully_connected(op)
        return self._per_channel_fully_connected(op)

    def _per_channel_fully_connected(self, op):
        from tflite.FullyConnectedOptions import FullyConnectedOptions

        tensors = self.get_input_tensors(op)
        data_tensor, weight_tensor = tensors[0], tensors[1]
        output_tensor = self.get_output_tensors(op)[0]
        out_dtype = self.get_tensor_type_str(output_tensor.tensor.Type())
        options = FullyConnectedOptions()
        options.Init(op.BuiltinOptions().Bytes, op.BuiltinOptions().Pos)

        units, depth = to_int_list(self.get_tensor_shape(weight_tensor))
        kernel_scales = _vector_scale(weight_tensor)
        if kernel_scales.size != units:
            raise ValueError(f"{kernel_scales.size} weight scales for {units} units")
        data_params, out_params = data_tensor.qnn_params, output_tensor.qnn_params
        # Computed as TVM computes the per-tensor accumulator scale: in double,
        # then stored as float32.
        accumulator_scales = (_scalar(data_params["scale"]) * kernel_scales).astype("float32")

        data = relay.reshape(self.get_tensor_expr(data_tensor), (-1, depth))
        out = relay.qnn.op.dense(
            data,
            self.get_tensor_expr(weight_tensor),
            input_zero_point=data_params["zero_point"],
            kernel_zero_point=weight_tensor.qnn_params["zero_point"],
            input_scale=data_params["scale"],
            kernel_scale=relay.const(kernel_scales.astype("float32")),
            units=units,
            out_dtype="int64" if out_dtype == "int16" else "int32",
        )
        if len(tensors) == 3 and tensors[2].tensor_idx != -1:
            out = relay.nn.bias_add(out, self.get_tensor_expr(tensors[2]))
        out = relay.qnn.op.requantize(
            out,
            input_scale=relay.const(accumulator_scales),
            input_zero_point=relay.const(0, "int32"),
            output_scale=out_params["scale"],
            output_zero_point=out_params["zero_point"],
            axis=1,
            out_dtype=out_dtype,
        )
        out = self.convert_qnn_fused_activation_function(
            out,
            options.FusedActivationFunction(),
            scale=_scalar(out_params["scale"]),
            zero_point=_scalar(out_params["zero_point"]),
            dtype=out_dtype,
        )
        if options.KeepNumDims():
            data_shape = to_int_list(self.get_tensor_shape(data_tensor))
            out = relay.reshape(out, (*data_shape[:-1], units))
        return out


def from_tflite(model, shape_dict, dtype_dict):
    return relay.frontend.from_tflite(
        model, shape_dict=shape_dict, dtype_dict=dtype_dict, op_converter=MendedOperatorConverter
    )
