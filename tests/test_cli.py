"""End-to-end tests of the `vexatvm` command, run as a subprocess on the
built-in samples, on small ONNX models written here, and on bad input."""

import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest
from conftest import ROOT, requires_tvm

onnx = pytest.importorskip("onnx")
from onnx import TensorProto, helper, numpy_helper  # noqa: E402

pytestmark = requires_tvm

TOOL_DIR = ROOT / "tools" / "vexatvm"
QUANTIZED_COMPOSITES = [
    "vexa.qnn_conv_hswish_requant",
    "vexa.qnn_conv",
    "vexa.qnn_tflite_qconv",
    "vexa.qnn_add",
    "vexa.concat",
    "vexa.upsampling",
    "vexa.upsampling_nearest",
    "vexa.maxpool2d",
    "vexa.leaky_relu",
    "vexa.tflite_silu",
    "vexa.tflite_hswish",
    "vexa.avg_pooling2d",
    "vexa.mean",
]
FLOAT32_COMPOSITES = [
    "vexa_fp32.conv2d",
    "vexa_fp32.bias_add",
    "vexa_fp32.maxpool2d",
    "vexa_fp32.leaky_relu",
    "vexa_fp32.silu",
    "vexa_fp32.hswish",
    "vexa_fp32.hswish_onnx",
    "vexa_fp32.res_add",
    "vexa_fp32.relu",
    "vexa_fp32.avg_pool2d",
    "vexa_fp32.avg_pool2d_onnx",
    "vexa_fp32.upsampling",
    "vexa_fp32.hardtanh",
    "vexa_fp32.concatenate",
]

EXPLANATION_KINDS = {"rejected", "shared_result", "overlap", "no_entry", "chain_breaks"}


def _command(*args):
    return [sys.executable, "-m", "vexatvm_cli", *map(str, args)]


def _env():
    # The tool normally comes installed (pip install -e tools/vexatvm); the
    # path makes the tests independent of that step.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(TOOL_DIR), env.get("PYTHONPATH")]))
    env.pop("TVM_LIBRARY_PATH", None)  # the tool finds the native library stand-in itself
    return env


def run(*args, cwd=None):
    return subprocess.run(_command(*args), env=_env(), cwd=cwd, capture_output=True, text=True, timeout=300)


class Runs:
    """Slow runs started together, so that they overlap; waited for on use."""

    def __init__(self):
        self._processes, self._results = {}, {}

    def start(self, name, *args):
        self._processes[name] = subprocess.Popen(
            _command(*args), env=_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
        )

    def __getitem__(self, name):
        if name not in self._results:
            process = self._processes[name]
            stdout, stderr = process.communicate(timeout=300)
            self._results[name] = subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr)
        return self._results[name]


# --- small ONNX models ---------------------------------------------------------


def _save(path, nodes, inputs, outputs, inits):
    model = helper.make_model(
        helper.make_graph(nodes, "g", inputs, outputs, inits), opset_imports=[helper.make_opsetid("", 13)]
    )
    model.ir_version = 8
    onnx.checker.check_model(model)
    onnx.save(model, str(path))
    return path


def float32_onnx(path):
    """conv+bias, ReLU, conv+bias, residual add, max pool, global average pool."""
    rng = np.random.default_rng(0)
    tensor = lambda name, shape: numpy_helper.from_array(rng.standard_normal(shape).astype("float32"), name)
    nodes = [
        helper.make_node("Conv", ["x", "w1", "b1"], ["c1"], pads=[1, 1, 1, 1]),
        helper.make_node("Relu", ["c1"], ["r1"]),
        helper.make_node("Conv", ["r1", "w2", "b2"], ["c2"], pads=[1, 1, 1, 1]),
        helper.make_node("Add", ["c2", "r1"], ["a"]),
        helper.make_node("MaxPool", ["a"], ["m"], kernel_shape=[2, 2], strides=[2, 2]),
        helper.make_node("GlobalAveragePool", ["m"], ["y"]),
    ]
    inits = [tensor("w1", (16, 3, 3, 3)), tensor("b1", (16,)), tensor("w2", (16, 16, 3, 3)), tensor("b2", (16,))]
    return _save(
        path,
        nodes,
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["batch", 3, 16, 16])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, ["batch", 16, 1, 1])],
        inits,
    )


def qdq_onnx(path):
    """QuantizeLinear/DequantizeLinear around a convolution with bias and ReLU."""
    rng = np.random.default_rng(1)
    scale = lambda name, value: numpy_helper.from_array(np.array(value, "float32"), name)
    zero = lambda name, value, dtype: numpy_helper.from_array(np.array(value, dtype), name)
    inits = [
        scale("xs", 0.02),
        zero("xz", 128, "uint8"),
        scale("ws", 0.01),
        zero("wz", 0, "int8"),
        scale("ys", 0.05),
        zero("yz", 0, "uint8"),
        scale("bs", 0.0002),
        zero("bz", 0, "int32"),
        numpy_helper.from_array(rng.integers(-100, 100, (16, 3, 3, 3)).astype("int8"), "wq"),
        numpy_helper.from_array(rng.integers(-1000, 1000, (16,)).astype("int32"), "bq"),
    ]
    nodes = [
        helper.make_node("QuantizeLinear", ["x", "xs", "xz"], ["xq"]),
        helper.make_node("DequantizeLinear", ["xq", "xs", "xz"], ["xd"]),
        helper.make_node("DequantizeLinear", ["wq", "ws", "wz"], ["wd"]),
        helper.make_node("DequantizeLinear", ["bq", "bs", "bz"], ["bd"]),
        helper.make_node("Conv", ["xd", "wd", "bd"], ["c"], pads=[1, 1, 1, 1]),
        helper.make_node("Relu", ["c"], ["r"]),
        helper.make_node("QuantizeLinear", ["r", "ys", "yz"], ["rq"]),
        helper.make_node("DequantizeLinear", ["rq", "ys", "yz"], ["y"]),
    ]
    return _save(
        path,
        nodes,
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 3, 16, 16])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 16, 16, 16])],
        inits,
    )


# --- the slow runs, started at once -------------------------------------------


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cli")
    (folder / "width12.yaml").write_text("channels: 12\n")
    return {
        "folder": folder,
        "float32": float32_onnx(folder / "float32.onnx"),
        "qdq": qdq_onnx(folder / "qdq.onnx"),
        "width12": folder / "width12.yaml",
        "picture": folder / "sample.svg",
    }


@pytest.fixture(scope="module")
def runs(files):
    runs = Runs()
    runs.start("samples", "partition", "--json", "--explain", "--quiet")
    runs.start(
        "torch_sample",
        "partition",
        "--sample",
        "quantized-pytorch-sample",
        "--table",
        "vexa_with_fc",
        "--arch",
        files["width12"],
        "--picture",
        files["picture"],
        "--picture-detail",
        "full",
        "--json",
        "--explain",
        "--quiet",
    )
    runs.start("onnx", "partition", files["float32"], files["qdq"], "--json", "--explain")
    runs.start(
        "seeds", "partition", *sorted((ROOT / "fuzz" / "seeds" / "vexatvm").iterdir()), "--json", "--explain", "--quiet"
    )
    runs.start("fuse", "fuse", files["float32"], files["float32"], "--share-input", "--quiet")
    runs.start("arch", "arch", "channels", "--arch", "vexa-max")
    runs.start("version", "version")
    return runs


def _reports(result):
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    assert document["schema"] == "vexatvm-partition-report/2"
    return {report["network"]: report for report in document["reports"]}


def test_samples_form_every_composite_of_both_tables(runs):
    reports = _reports(runs["samples"])
    assert set(reports) == {"quantized-pytorch-sample", "quantized-tflite-sample", "float32-nhwc-sample"}
    quantized = [reports["quantized-pytorch-sample"], reports["quantized-tflite-sample"]]
    assert all(report["table"] == "vexa" for report in quantized)
    missing = [name for name in QUANTIZED_COMPOSITES if not any(r["composites"][name] for r in quantized)]
    assert missing == []
    float32 = reports["float32-nhwc-sample"]
    assert float32["table"] == "vexa_fp32"
    assert [name for name in FLOAT32_COMPOSITES if not float32["composites"][name]] == []
    for report in reports.values():
        calls = report["calls"]
        assert calls["inside"] + calls["outside"] == calls["total"] == calls["inside"] + sum(report["outside"].values())
        assert report["coverage"] == pytest.approx(calls["inside"] / calls["total"], abs=1e-4)


@pytest.mark.parametrize("run_name", ["samples", "torch_sample", "onnx", "seeds"])
def test_every_call_outside_composites_is_explained(runs, run_name):
    for report in _reports(runs[run_name]).values():
        assert report["explained_outside"] == report["calls"]["outside"], report["network"]
        assert sum(item["count"] for item in report["explanations"]) == report["explained_outside"]
        assert all(item["kind"] in EXPLANATION_KINDS and item["text"] for item in report["explanations"])


def test_explain_gives_the_grouped_convolution_its_reason(runs):
    reports = _reports(runs["samples"])
    rejected = [r for r in reports["quantized-pytorch-sample"]["rejections"] if r["entry"] == "vexa.qnn_conv"]
    assert len(rejected) == 1
    assert rejected[0]["check"] == "check_qnn_conv_pattern" and rejected[0]["anchor"] == "qnn.conv2d"
    assert "groups 4, channels 24, input channels 16, target channel width 16" in rejected[0]["reason"]
    assert reports["quantized-pytorch-sample"]["composites"]["vexa.qnn_conv"] == 3


def test_architecture_file_reaches_the_checks(runs):
    # 12 channels: per-group counts 4 and 6 divide 12 and the 16 input
    # channels are not below it, so the grouped convolution is accepted.
    report = _reports(runs["torch_sample"])["quantized-pytorch-sample"]
    assert report["channel_width"] == 12 and report["table"] == "vexa_with_fc"
    assert report["composites"]["vexa.qnn_conv"] == 4
    assert report["composites"]["vexa.qnn_fc"] == 1
    assert not [r for r in report["rejections"] if r["entry"] == "vexa.qnn_conv"]


def test_picture_has_one_box_per_region(runs, files):
    report = _reports(runs["torch_sample"])["quantized-pytorch-sample"]
    svg = files["picture"].read_text()
    assert svg.lstrip().startswith("<?xml")
    for name, count in report["composites"].items():
        assert svg.count(f">{name}</text>") == count, name
    assert svg.count('<g id="node') == len(re.findall(r"<title>u\d+</title>", svg))


def test_onnx_models_import_prepare_and_partition(runs):
    result = runs["onnx"]
    reports = _reports(result)
    float32 = reports["float32.onnx"]
    assert float32["table"] == "vexa_fp32" and float32["source"] == "onnx"
    formed = {name: count for name, count in float32["composites"].items() if count}
    assert formed == {
        "vexa_fp32.conv2d": 2,
        "vexa_fp32.bias_add": 2,
        "vexa_fp32.relu": 1,
        "vexa_fp32.res_add": 1,
        "vexa_fp32.maxpool2d": 1,
        "vexa_fp32.avg_pool2d_onnx": 1,
    }
    qdq = reports["qdq.onnx"]
    assert qdq["table"] == "vexa"
    # FakeQuantizationToInteger, then the ReLU rewritten to a clip after the requantize.
    assert qdq["composites"]["vexa.qnn_tflite_qconv"] == 1
    assert "maximum" not in qdq["outside"]
    # Progress went to standard error, not into the JSON, with a line as each long phase starts.
    for line in (
        "float32.onnx imported",
        "preparing: QDQ regions to integer operators",
        "preparing: layouts converted to NHWC",
        "table entry 13/13 vexa.mean applied",
        "outlining the offloaded regions",
    ):
        assert line in result.stderr, line
    for report in reports.values():
        seconds = report["seconds"]
        assert list(seconds) == ["import", "preparation", "partition", "outlining", "report", "total"]
        assert sum(seconds.values()) - seconds["total"] == pytest.approx(seconds["total"], abs=0.005)
        regions = report["regions"]
        assert regions["offloaded"] >= 1 and regions["transitions"] >= 2 * regions["offloaded"]


def test_fuse_with_shared_input(runs):
    result = runs["fuse"]
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        "fused 2 networks: float32.onnx, float32.onnx\n"
        "parameters:\n"
        "  x_1: Tensor[(1, 3, 16, 16), float32]\n"
        "outputs:\n"
        "  1: Tensor[(1, 16, 1, 1), float32]\n"
        "  2: Tensor[(1, 16, 1, 1), float32]\n"
        "merged parameters: 0\n"
    )


def test_arch_query(runs):
    assert runs["arch"].returncode == 0, runs["arch"].stderr
    assert runs["arch"].stdout == "64\n"


def test_version(runs):
    result = runs["version"]
    assert result.returncode == 0, result.stderr
    assert re.fullmatch(r"\d+\.\d+\.\d+\S*\n", result.stdout)


# --- bad input ------------------------------------------------------------------


def _bad_files(folder):
    valid = qdq_onnx(folder / "valid.onnx").read_bytes()
    contents = {
        "text.onnx": b"this is not a model\n",
        "empty.onnx": b"",
        "truncated.onnx": valid[: len(valid) // 2],
        "truncated.tflite": b"\x1c\x00\x00\x00TFL3" + b"\x00" * 8,
        "malformed.yaml": b"arch: [vexa-lite\n",
        "list.yaml": b"- vexa-lite\n",
        "zero.yaml": b"arch: vexa-lite\nchannels: 0\n",
        "negative.yaml": b"channels: -16\n",
        "text.yaml": b"channels: sixteen\n",
    }
    for name, data in contents.items():
        (folder / name).write_bytes(data)


@pytest.mark.parametrize(
    "args, named",
    [
        (["partition", "{folder}/missing.onnx"], "missing.onnx: cannot read the model"),
        (["partition", "{folder}/text.onnx"], "text.onnx: not a readable ONNX model"),
        (["partition", "{folder}/empty.onnx"], "empty.onnx: not a model"),
        (["partition", "{folder}/truncated.onnx"], "truncated.onnx: not a readable ONNX model"),
        (["partition", "{folder}/truncated.tflite"], "truncated.tflite: not a readable TFLite model"),
        (["partition", "--table", "vexa_fp16"], "unknown table 'vexa_fp16'"),
        (["partition", "--arch", "{folder}/malformed.yaml"], "malformed.yaml: malformed architecture file"),
        (["partition", "--arch", "{folder}/list.yaml"], "list.yaml: malformed architecture file"),
        (["partition", "--arch", "{folder}/absent.yaml"], "absent.yaml: cannot read the architecture file"),
        (["partition", "--arch", "{folder}/zero.yaml"], "zero.yaml: channel width 0 is not a positive integer"),
        (["arch", "channels", "--arch", "{folder}/negative.yaml"], "channel width -16 is not a positive integer"),
        (["partition", "--arch", "{folder}/text.yaml"], "channel width 'sixteen' is not a positive integer"),
        (["partition", "--sample", "float32-nhwc-sample", "--picture", "{folder}/out.gif"], "must end in .svg or .png"),
        (["fuse", "{folder}/text.onnx", "{folder}/valid.onnx"], "text.onnx: not a readable ONNX model"),
        (
            ["fuse", "--share-input"],
            "--share-input: the inputs of quantized-tflite-sample (Tensor[(1, 16, 16, 8), uint8])",
        ),
    ],
)
def test_bad_input_gives_one_line_and_status_2(tmp_path, args, named):
    _bad_files(tmp_path)
    before = sorted(tmp_path.iterdir())
    result = run(*[arg.format(folder=tmp_path) for arg in args], "--quiet")
    assert result.returncode == 2
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("vexatvm: error: ") and named in lines[0], result.stderr
    assert sorted(tmp_path.iterdir()) == before  # nothing written, nothing removed


@pytest.mark.parametrize("command", [["arch", "channels"], ["partition"]])
def test_unknown_preset_lists_the_presets_before_loading_tvm(command):
    # TVM made unimportable: the answer must come before the tool needs it.
    code = "import sys; sys.modules['tvm'] = None; from vexatvm_cli.main import main; sys.exit(main(sys.argv[1:]))"
    args = [sys.executable, "-c", code, *command, "--arch", "vexa-huge"]
    result = subprocess.run(args, env=_env(), capture_output=True, text=True, timeout=60)
    assert result.returncode == 2
    assert result.stderr.splitlines() == [
        "vexatvm: error: unknown architecture preset 'vexa-huge' "
        "(choose from vexa-nano, vexa-lite, vexa-pro, vexa-max, or give a YAML file)"
    ]


def test_debug_shows_the_traceback(tmp_path):
    result = run("partition", tmp_path / "missing.onnx", "--debug")
    assert result.returncode == 2
    assert "Traceback" in result.stderr and result.stderr.rstrip().endswith(
        "cannot read the model: No such file or directory"
    )
