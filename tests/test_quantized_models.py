"""Quantized models as TensorFlow's converter and onnxruntime's quantizer
write them (tests/models, made by tests/models/make_models.py): each
imports, computes what TensorFlow's interpreter computes, and partitions
through the `vexatvm` command at the coverage the tables reach on it."""

import io
import json
import sys

import numpy as np
import pytest
from conftest import ROOT, requires_tvm

pytestmark = requires_tvm

sys.path.insert(0, str(ROOT / "tools" / "vexatvm"))
sys.path.insert(0, str(ROOT / "tests" / "models"))
import tvm  # noqa: E402
from make_models import REFERENCES, reference_input  # noqa: E402
from tvm import relay  # noqa: E402

from vexatvm_cli.importers import read_model, to_relay  # noqa: E402
from vexatvm_cli.main import main  # noqa: E402

MODELS = ROOT / "tests" / "models"

# Coverage each model reaches (a fall below means a rewrite or an import
# stopped doing its part), and composites the rewrites make reachable.
EXPECTED = {
    "keras_blocks.tflite": (0.65, {}),
    "keras_segmentation.tflite": (1.0, {"vexa.upsampling_nearest": 1, "vexa.upsampling": 1}),
    "keras_mobilenet_v2.tflite": (0.97, {}),
    "keras_mobilenet_v3.tflite": (0.91, {"vexa.tflite_hswish": 9}),
    "keras_resnet.tflite": (0.95, {}),
    "keras_efficientnet.tflite": (0.84, {"vexa.tflite_silu": 15}),
    "keras_densenet.tflite": (0.91, {}),
    "keras_inception.tflite": (0.84, {}),
    "qdq_cnn.onnx": (0.65, {}),
    "qdq_mobilenet_v3.onnx": (0.83, {"vexa.qnn_conv_hswish_requant": 3, "vexa.upsampling_nearest": 1}),
    "qdq_text_recognition.onnx": (0.42, {}),
}

# Comparing with TensorFlow's interpreter compiles the whole network: done
# on the models whose last layers would show a fault of the fully
# connected import (the others end in a softmax that hides it).
INTERPRETER_CHECKED = ["keras_blocks", "keras_inception", "keras_resnet"]


def _partition(*args):
    out = io.StringIO()
    status = main(["partition", "--quiet", "--json", *map(str, args)], out=out)
    return status, out.getvalue()


def test_every_model_file_is_tested():
    files = {path.name for path in MODELS.iterdir() if path.suffix in (".tflite", ".onnx")}
    assert files == set(EXPECTED)


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_model_partitions_at_its_coverage(name):
    status, out = _partition(MODELS / name)
    assert status == 0
    (report,) = json.loads(out)["reports"]
    coverage, composites = EXPECTED[name]
    assert report["coverage"] >= coverage - 0.005
    assert {name: report["composites"][name] for name in composites} == composites


@pytest.mark.parametrize("name", INTERPRETER_CHECKED)
def test_tflite_import_computes_what_the_interpreter_computes(name):
    network = to_relay(read_model(MODELS / f"{name}.tflite"))
    mod = relay.transform.InferType()(network.mod)
    given = mod["main"].params[0].checked_type
    data = reference_input([int(d) for d in given.shape], given.dtype)
    with tvm.transform.PassContext(opt_level=3):
        executor = relay.create_executor(
            "graph", mod=mod, target="llvm -mtriple=x86_64-linux-gnu", params=network.params
        )
        result = executor.evaluate()(data).numpy().astype(int)
    expected = np.load(MODELS / REFERENCES)[name].astype(int)
    # TVM's requantize rounds a little differently from TensorFlow's kernels;
    # the difference stays within a few steps at the end of a deep network
    # (a fully connected layer with its scales on the wrong axis is off by tens).
    difference = np.abs(result - expected)
    assert difference.max() <= 8 and difference.mean() <= 3


@pytest.mark.parametrize(
    "op, inputs, shapes, out_shape, named",
    [
        ("Det", ["x"], [[2, 3, 3]], [2], "The following operators are not supported for frontend ONNX: Det"),
        ("Resize", ["x", "", "s"], [[1, 3, 4, 4]], [1, 3, 8, 8], "operator Resize 'failing': Value bogus"),
        ("Conv", ["x", "w"], [[1, 3, 8, 8], [4, 3, 3]], [1, 4, 6, 6], "TVM's DynamicToStatic after the conversion: "),
    ],
)
def test_failing_operator_is_named_in_one_line(tmp_path, capsys, op, inputs, shapes, out_shape, named):
    onnx = pytest.importorskip("onnx")
    from onnx import TensorProto, helper, numpy_helper

    scales = [numpy_helper.from_array(np.array([1, 1, 2, 2], "float32"), "s")] if "s" in inputs else []
    graph = helper.make_graph(
        [helper.make_node(op, inputs, ["y"], name="failing", **({"mode": "bogus"} if op == "Resize" else {}))],
        "g",
        [helper.make_tensor_value_info(name, TensorProto.FLOAT, shape) for name, shape in zip(inputs, shapes)],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, out_shape)],
        initializer=scales,
    )
    path = tmp_path / "failing.onnx"
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)]), path)
    status, _ = _partition(path)
    error = capsys.readouterr().err.strip()
    assert status == 2 and "\n" not in error and "InternalError: InternalError" not in error
    assert error.startswith(f"vexatvm: error: {path}: cannot import the ONNX model: {named}")
