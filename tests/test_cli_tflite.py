"""The `vexatvm` command on a quantized TFLite model, written here with the
flatbuffer builders of the `tflite` package (no TensorFlow needed)."""

import importlib
import json

import numpy as np
import pytest
from conftest import requires_tvm
from test_cli import run

tflite = pytest.importorskip("tflite")
flatbuffers = pytest.importorskip("flatbuffers")
pytestmark = requires_tvm


def _module(name):
    # The package's attributes are the classes; the builder functions live
    # in the modules of the same names.
    return importlib.import_module(f"tflite.{name}")


Buffer, Conv2DOptions, Model, Operator, OperatorCode, Pool2DOptions, QuantizationParameters, SubGraph, Tensor = map(
    _module,
    [
        "Buffer",
        "Conv2DOptions",
        "Model",
        "Operator",
        "OperatorCode",
        "Pool2DOptions",
        "QuantizationParameters",
        "SubGraph",
        "Tensor",
    ],
)
from tflite.ActivationFunctionType import ActivationFunctionType  # noqa: E402
from tflite.BuiltinOperator import BuiltinOperator  # noqa: E402
from tflite.BuiltinOptions import BuiltinOptions  # noqa: E402
from tflite.Padding import Padding  # noqa: E402
from tflite.TensorType import TensorType  # noqa: E402


def _vector(builder, start, values, prepend):
    start(builder, len(values))
    for value in reversed(values):
        prepend(value)
    return builder.EndVector()


def _tensor(builder, name, shape, tensor_type, buffer, scale, zero_point):
    name = builder.CreateString(name)
    shape = builder.CreateNumpyVector(np.array(shape, dtype="int32"))
    scales = builder.CreateNumpyVector(np.array([scale], dtype="float32"))
    zeros = builder.CreateNumpyVector(np.array([zero_point], dtype="int64"))
    QuantizationParameters.Start(builder)
    QuantizationParameters.AddScale(builder, scales)
    QuantizationParameters.AddZeroPoint(builder, zeros)
    quantization = QuantizationParameters.End(builder)
    Tensor.Start(builder)
    Tensor.AddShape(builder, shape)
    Tensor.AddType(builder, tensor_type)
    Tensor.AddBuffer(builder, buffer)
    Tensor.AddName(builder, name)
    Tensor.AddQuantization(builder, quantization)
    return Tensor.End(builder)


def _operator(builder, opcode, inputs, outputs, options_type, options):
    inputs = builder.CreateNumpyVector(np.array(inputs, dtype="int32"))
    outputs = builder.CreateNumpyVector(np.array(outputs, dtype="int32"))
    Operator.Start(builder)
    Operator.AddOpcodeIndex(builder, opcode)
    Operator.AddInputs(builder, inputs)
    Operator.AddOutputs(builder, outputs)
    Operator.AddBuiltinOptionsType(builder, options_type)
    Operator.AddBuiltinOptions(builder, options)
    return Operator.End(builder)


def quantized_tflite_model():
    """uint8 NHWC input, CONV_2D with fused RELU6, MAX_POOL_2D."""
    rng = np.random.default_rng(5)
    builder = flatbuffers.Builder(4096)
    payloads = [
        b"",
        rng.integers(0, 255, size=(8, 3, 3, 4)).astype("uint8").tobytes(),
        rng.integers(-500, 500, size=(8,)).astype("int32").tobytes(),
    ]
    buffers = []
    for payload in payloads:
        data = builder.CreateNumpyVector(np.frombuffer(payload, dtype="uint8")) if payload else None
        Buffer.Start(builder)
        if data is not None:
            Buffer.AddData(builder, data)
        buffers.append(Buffer.End(builder))
    tensors = [
        _tensor(builder, "input", [1, 8, 8, 4], TensorType.UINT8, 0, 0.02, 128),
        _tensor(builder, "weights", [8, 3, 3, 4], TensorType.UINT8, 1, 0.01, 120),
        _tensor(builder, "bias", [8], TensorType.INT32, 2, 0.0002, 0),
        _tensor(builder, "conv", [1, 8, 8, 8], TensorType.UINT8, 0, 0.05, 0),
        _tensor(builder, "pool", [1, 4, 4, 8], TensorType.UINT8, 0, 0.05, 0),
    ]
    Conv2DOptions.Start(builder)
    Conv2DOptions.AddPadding(builder, Padding.SAME)
    Conv2DOptions.AddStrideW(builder, 1)
    Conv2DOptions.AddStrideH(builder, 1)
    Conv2DOptions.AddDilationWFactor(builder, 1)
    Conv2DOptions.AddDilationHFactor(builder, 1)
    Conv2DOptions.AddFusedActivationFunction(builder, ActivationFunctionType.RELU6)
    conv_options = Conv2DOptions.End(builder)
    Pool2DOptions.Start(builder)
    Pool2DOptions.AddPadding(builder, Padding.VALID)
    Pool2DOptions.AddStrideW(builder, 2)
    Pool2DOptions.AddStrideH(builder, 2)
    Pool2DOptions.AddFilterWidth(builder, 2)
    Pool2DOptions.AddFilterHeight(builder, 2)
    pool_options = Pool2DOptions.End(builder)
    operators = [
        _operator(builder, 0, [0, 1, 2], [3], BuiltinOptions.Conv2DOptions, conv_options),
        _operator(builder, 1, [3], [4], BuiltinOptions.Pool2DOptions, pool_options),
    ]
    codes = []
    for code in (BuiltinOperator.CONV_2D, BuiltinOperator.MAX_POOL_2D):
        OperatorCode.Start(builder)
        OperatorCode.AddDeprecatedBuiltinCode(builder, code)
        OperatorCode.AddBuiltinCode(builder, code)
        OperatorCode.AddVersion(builder, 1)
        codes.append(OperatorCode.End(builder))
    tensor_vector = _vector(builder, SubGraph.StartTensorsVector, tensors, builder.PrependUOffsetTRelative)
    operator_vector = _vector(builder, SubGraph.StartOperatorsVector, operators, builder.PrependUOffsetTRelative)
    inputs = builder.CreateNumpyVector(np.array([0], dtype="int32"))
    outputs = builder.CreateNumpyVector(np.array([4], dtype="int32"))
    SubGraph.Start(builder)
    SubGraph.AddTensors(builder, tensor_vector)
    SubGraph.AddInputs(builder, inputs)
    SubGraph.AddOutputs(builder, outputs)
    SubGraph.AddOperators(builder, operator_vector)
    subgraph = SubGraph.End(builder)
    subgraphs = _vector(builder, Model.StartSubgraphsVector, [subgraph], builder.PrependUOffsetTRelative)
    code_vector = _vector(builder, Model.StartOperatorCodesVector, codes, builder.PrependUOffsetTRelative)
    buffer_vector = _vector(builder, Model.StartBuffersVector, buffers, builder.PrependUOffsetTRelative)
    Model.Start(builder)
    Model.AddVersion(builder, 3)
    Model.AddOperatorCodes(builder, code_vector)
    Model.AddSubgraphs(builder, subgraphs)
    Model.AddBuffers(builder, buffer_vector)
    builder.Finish(Model.End(builder), file_identifier=b"TFL3")
    return bytes(builder.Output())


def test_quantized_tflite_model(tmp_path):
    path = tmp_path / "conv_pool.tflite"
    path.write_bytes(quantized_tflite_model())
    result = run("partition", path, "--json", "--quiet")
    assert result.returncode == 0, result.stderr
    (report,) = json.loads(result.stdout)["reports"]
    assert report["source"] == "tflite" and report["table"] == "vexa"
    formed = {name: count for name, count in report["composites"].items() if count}
    assert formed == {"vexa.qnn_tflite_qconv": 1, "vexa.maxpool2d": 1}
    assert report["coverage"] == 1.0
