"""The `vexatvm partition` command, in-process, on mutated ONNX and TFLite
model files (seeds: fuzz/seeds/vexatvm/, written by make_vexatvm_seeds.py).

Each input is a model file.  Besides libFuzzer's byte mutations, the custom
mutator parses ONNX inputs and changes their structure (shapes, dtypes,
attributes, op types, initializer data, opset, nodes dropped, duplicated or
rewired) and overwrites the 32-bit words of TFLite flatbuffers (offsets,
shapes, types, opcode indices), so that most inputs get past the parsers and
into TVM's importers, the preparation passes and the partition.

The command must end with status 0 and a report, or with status 2 and one
line `vexatvm: error: ...` on standard error.  A fault: any other ending, an
exception escaping the command, an error the command reports that is a
SystemError, MemoryError or RecursionError or carries the mark of an
internal C++ error, or one raised by the command's own code (tools/vexatvm)
rather than by TVM or the input checks.  Models over 50 nodes, or with a
tensor over 1 MB, are skipped, so that one input stays well under the
run's per-input timeout."""

import contextlib
import gc
import io
import json
import os
import random
import sys
import tempfile
import traceback
import types
import zlib

import atheris
import onnx
from onnx import TensorProto

from targets.common import Fault, require_sound_error
from vexatvm_cli import environment, errors, importers
from vexatvm_cli import main as cli

MAX_NODES = 50
MAX_TENSOR_BYTES = 1 << 20
_COMMAND_DIR = os.path.dirname(os.path.abspath(cli.__file__))
_DIRECTORY = tempfile.mkdtemp(prefix="vexa-fuzz-vexatvm-")
_OPTIONS = (
    (),
    ("--json",),
    ("--explain",),
    ("--json", "--explain"),
    ("--table", "vexa"),
    ("--table", "vexa_fp32"),
    ("--arch", "vexa-max"),
    ("--arch", "vexa-nano", "--json"),
)
_INTERNAL = (SystemError, MemoryError, RecursionError)


def instrument_python():
    """Adds coverage of the command's Python code and of TVM's ONNX and
    TFLite importers (whose branches follow the model's structure)."""
    environment.load_tables()
    from tvm.relay.frontend import onnx as _onnx_frontend  # noqa: F401

    from vexatvm_cli import (  # noqa: F401
        explain,
        host_flow,
        network_view,
        partition_command,
        preparation,
        quantized_blocks,
        relay_reading,
        report,
    )

    names = {name for name in list(sys.modules) if name.startswith("vexatvm_cli")}
    names |= {"tvm.relay.frontend.onnx", "tvm.relay.frontend.tflite"}
    for function in [o for o in gc.get_objects() if isinstance(o, types.FunctionType)]:
        if getattr(function, "__module__", None) in names:
            atheris.instrument_func(function)


# --- input size limits -------------------------------------------------------


def _elements(dims):
    count = 1
    for dim in dims:
        count *= max(int(dim), 1)
    return count


def _onnx_too_big(data):
    try:
        model = onnx.load_model_from_string(data)
    except Exception:  # unreadable: the command must say so
        return False
    graph = model.graph
    if len(graph.node) > MAX_NODES or len(graph.initializer) > MAX_NODES:
        return True
    for tensor in graph.initializer:
        if _elements(tensor.dims) * 8 > MAX_TENSOR_BYTES:
            return True
    for value in list(graph.input) + list(graph.output) + list(graph.value_info):
        if _elements(d.dim_value for d in value.type.tensor_type.shape.dim) * 8 > MAX_TENSOR_BYTES:
            return True
    for node in graph.node:
        for attribute in node.attribute:
            if attribute.HasField("t") and _elements(attribute.t.dims) * 8 > MAX_TENSOR_BYTES:
                return True
            if any(abs(v) > 4096 for v in attribute.ints) or abs(attribute.i) > 1 << 16:
                return True  # sizes, pads and repeats this large make huge tensors
    return False


def _tflite_too_big(data):
    import tflite

    try:
        model = tflite.Model.GetRootAsModel(data, 0)
        if model.SubgraphsLength() > 2:
            return True
        for s in range(model.SubgraphsLength()):
            subgraph = model.Subgraphs(s)
            if subgraph.OperatorsLength() > MAX_NODES or subgraph.TensorsLength() > 4 * MAX_NODES:
                return True
            for t in range(subgraph.TensorsLength()):
                if (
                    _elements(subgraph.Tensors(t).ShapeAsNumpy() if subgraph.Tensors(t).ShapeLength() else ()) * 8
                    > MAX_TENSOR_BYTES
                ):
                    return True
    except Exception:  # unreadable: the command must say so
        return False
    return False


def too_big(data):
    if importers._format_of(data) == "tflite":
        return _tflite_too_big(data)
    return _onnx_too_big(data)


# --- structure-aware mutations -----------------------------------------------

_OP_TYPES = (
    "Conv",
    "Relu",
    "Add",
    "Mul",
    "Sub",
    "MaxPool",
    "AveragePool",
    "GlobalAveragePool",
    "Clip",
    "LeakyRelu",
    "Sigmoid",
    "HardSigmoid",
    "HardSwish",
    "Concat",
    "Resize",
    "Upsample",
    "QuantizeLinear",
    "DequantizeLinear",
    "QLinearConv",
    "QLinearAdd",
    "MatMul",
    "Gemm",
    "Reshape",
    "Transpose",
    "Flatten",
    "Softmax",
    "ReduceMean",
    "Pad",
    "Split",
    "Identity",
    "Div",
    "Tanh",
    "PRelu",
    "ConvTranspose",
    "Slice",
)
_ATTRIBUTES = (
    ("group", 2),
    ("group", 0),
    ("strides", [2, 2]),
    ("strides", [0, 1]),
    ("dilations", [2, 2]),
    ("pads", [0, 0, 0, 0]),
    ("pads", [1, 2, -1, 0]),
    ("kernel_shape", [3, 3]),
    ("kernel_shape", [1]),
    ("alpha", 0.1),
    ("axis", -1),
    ("axis", 7),
    ("mode", b"nearest"),
    ("auto_pad", b"SAME_UPPER"),
    ("ceil_mode", 1),
    ("count_include_pad", 1),
    ("keepdims", 0),
    ("axes", [2, 3]),
    ("perm", [0, 2, 3, 1]),
)
_DTYPES = (
    TensorProto.FLOAT,
    TensorProto.UINT8,
    TensorProto.INT8,
    TensorProto.INT32,
    TensorProto.INT64,
    TensorProto.FLOAT16,
    TensorProto.DOUBLE,
    TensorProto.BOOL,
    TensorProto.STRING,
)
_DIMS = (0, 1, 1, 2, 3, 4, 7, 8, 16, 32, -1)


def _tensor_names(graph):
    names = [v.name for v in graph.input] + [t.name for t in graph.initializer]
    return names + [output for node in graph.node for output in node.output] + [""]


def _mutate_node(rng, node, graph):
    kind = rng.randrange(7)
    if kind == 0:
        node.op_type = rng.choice(_OP_TYPES)
    elif kind == 1 and node.attribute:
        del node.attribute[rng.randrange(len(node.attribute))]
    elif kind == 2:
        name, value = rng.choice(_ATTRIBUTES)
        kept = [a for a in node.attribute if a.name != name]
        del node.attribute[:]
        node.attribute.extend(kept + [onnx.helper.make_attribute(name, value)])
    elif kind == 3 and node.attribute:
        attribute = rng.choice(node.attribute)
        if attribute.ints:
            attribute.ints[rng.randrange(len(attribute.ints))] = rng.choice(_DIMS)
        elif attribute.type == onnx.AttributeProto.INT:
            attribute.i = rng.choice(_DIMS)
        elif attribute.type == onnx.AttributeProto.FLOAT:
            attribute.f = rng.choice((0.0, -1.0, 1e30, float("nan"), 6.0))
    elif kind == 4 and node.input:  # rewire an input to another tensor
        node.input[rng.randrange(len(node.input))] = rng.choice(_tensor_names(graph))
    elif kind == 5:
        if node.input and rng.random() < 0.5:
            del node.input[-1]
        else:
            node.input.append(rng.choice(_tensor_names(graph)))
    else:
        node.domain = rng.choice(("", "", "com.microsoft", "ai.onnx.ml"))


def _mutate_nodes(rng, graph):
    index = rng.randrange(len(graph.node))
    kind = rng.randrange(3)
    if kind == 0:
        del graph.node[index]
    elif kind == 1:  # the same node again, producing the same or a new tensor
        copy = onnx.NodeProto()
        copy.CopyFrom(graph.node[index])
        if copy.output and rng.random() < 0.5:
            copy.output[0] += "_again"
        graph.node.insert(rng.randrange(len(graph.node) + 1), copy)
    else:
        other = rng.randrange(len(graph.node))
        first, second = onnx.NodeProto(), onnx.NodeProto()
        first.CopyFrom(graph.node[index])
        second.CopyFrom(graph.node[other])
        graph.node[index].CopyFrom(second)
        graph.node[other].CopyFrom(first)


def _mutate_value(rng, graph):
    values = list(graph.input) + list(graph.output)
    if not values:
        return
    tensor_type = rng.choice(values).type.tensor_type
    kind = rng.randrange(4)
    dims = tensor_type.shape.dim
    if kind == 0:
        tensor_type.elem_type = rng.choice(_DTYPES)
    elif kind == 1 and dims:
        dims[rng.randrange(len(dims))].dim_value = rng.choice(_DIMS)
    elif kind == 2 and dims:
        if rng.random() < 0.5:
            del dims[rng.randrange(len(dims))]
        else:
            dims.add().dim_value = rng.choice(_DIMS)
    elif dims:
        dims[rng.randrange(len(dims))].dim_param = "n"


def _mutate_initializer(rng, tensor):
    kind = rng.randrange(4)
    if kind == 0:
        tensor.data_type = rng.choice(_DTYPES)
    elif kind == 1 and tensor.dims:
        tensor.dims[rng.randrange(len(tensor.dims))] = rng.choice(_DIMS)
    elif kind == 2 and tensor.raw_data:
        raw = bytearray(tensor.raw_data)
        for _ in range(rng.randint(1, 8)):
            raw[rng.randrange(len(raw))] = rng.randrange(256)
        tensor.raw_data = bytes(raw)
    elif tensor.raw_data:
        tensor.raw_data = tensor.raw_data[: rng.randrange(len(tensor.raw_data))]


def _mutate_model(rng, model):
    graph = model.graph
    kind = rng.randrange(10)
    if kind == 0 and model.opset_import:
        model.opset_import[0].version = rng.randint(7, 21)
    elif kind <= 3 and graph.node:
        _mutate_node(rng, rng.choice(graph.node), graph)
    elif kind <= 5 and graph.node:
        _mutate_nodes(rng, graph)
    elif kind <= 7:
        _mutate_value(rng, graph)
    elif graph.initializer:
        _mutate_initializer(rng, rng.choice(graph.initializer))


def mutate_onnx(data, rng):
    model = onnx.load_model_from_string(data)
    if not model.graph.node:
        raise ValueError("no graph")
    for _ in range(rng.randint(1, 3)):
        _mutate_model(rng, model)
    return model.SerializeToString()


_WORDS = (0, 1, 2, 3, 4, 8, 16, 0xFF, 0xFFFF, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF)


def mutate_tflite(data, rng):
    """Overwrites a few aligned 32-bit words (offsets, lengths, shapes,
    types and indices of the flatbuffer) or single bytes of them."""
    data = bytearray(data)
    for _ in range(rng.randint(1, 3)):
        offset = rng.randrange(8, max(len(data) - 4, 9)) & ~3
        if rng.random() < 0.5:
            value = (
                rng.choice(_WORDS)
                if rng.random() < 0.7
                else int.from_bytes(data[offset : offset + 4], "little") + rng.choice((-4, -1, 1, 4))
            )
            data[offset : offset + 4] = (value & 0xFFFFFFFF).to_bytes(4, "little")
        else:
            data[offset] = rng.choice((0, 1, 2, 3, 9, 0x7F, 0x80, 0xFF))
    return bytes(data)


def mutate_structure(data, rng):
    """The input with its structure changed, or None when it cannot be
    parsed as the format it claims to be."""
    try:
        return (mutate_tflite if importers._format_of(data) == "tflite" else mutate_onnx)(data, rng)
    except Exception:  # not parseable: libFuzzer's byte mutations only
        return None


def custom_mutator(data, max_size, seed):
    rng = random.Random(seed)
    if rng.random() < 0.5:
        mutated = mutate_structure(data, rng)
        if mutated is not None and len(mutated) <= max_size:
            return mutated
    return atheris.Mutate(data, max_size)


# --- running the command -----------------------------------------------------


class _Recorder:
    """Wraps the command's dispatch to keep the exception that the command
    then reports as its error line."""

    def __init__(self):
        self.error = None
        self._run = cli._run

    def __call__(self, *args):
        try:
            return self._run(*args)
        except BaseException as error:
            self.error = error
            raise


def _raised_in_command(error):
    """True when the innermost frame of the error lies in the command's own
    code: a fault of the command, not of TVM or of the input."""
    frames = traceback.extract_tb(error.__traceback__)
    return bool(frames) and os.path.dirname(os.path.abspath(frames[-1].filename)) == _COMMAND_DIR


def _judge(argv, status, output, messages, error):
    where = f"vexatvm {' '.join(argv[2:])}: "
    if error is not None and not isinstance(error, errors.CliError):
        if not isinstance(error, Exception):
            raise Fault(f"{where}{type(error).__name__} escaped the command") from error
        require_sound_error(error, Exception)
        if _raised_in_command(error):
            raise Fault(f"{where}the command's own code raised {type(error).__name__}: {error}") from error
    if status == errors.EXIT_USAGE_OR_INPUT:
        lines = messages.splitlines()
        if len(lines) != 1 or not lines[0].startswith("vexatvm: error: "):
            raise Fault(f"{where}exit 2 with {messages!r:.500}")
        return
    if status != 0 or error is not None:
        raise Fault(f"{where}exit {status!r}, error {error!r:.300}")
    if messages:
        raise Fault(f"{where}succeeded but wrote {messages!r:.500} to standard error")
    if "--json" in argv:
        document = json.loads(output)
        if len(document.get("reports", ())) != 1:
            raise Fault(f"{where}the JSON document has no single report")
    elif not output.strip():
        raise Fault(f"{where}succeeded without a report")


def test_one_input(data):
    if not data or too_big(data):
        return
    suffix = ".tflite" if importers._format_of(data) == "tflite" else ".onnx"
    path = os.path.join(_DIRECTORY, "model" + suffix)
    with open(path, "wb") as file:
        file.write(data)
    argv = ["partition", path, "--quiet", *_OPTIONS[zlib.crc32(data) % len(_OPTIONS)]]
    recorder = _Recorder()
    out, messages = io.StringIO(), io.StringIO()
    cli._run = recorder
    try:
        with contextlib.redirect_stderr(messages):
            status = cli.main(argv, out=out)
    except BaseException as error:  # an exception escaped main()
        raise Fault(f"vexatvm {' '.join(argv[2:])}: {type(error).__name__} escaped: {error}") from error
    finally:
        cli._run = recorder._run
    _judge(argv, status, out.getvalue(), messages.getvalue(), recorder.error)
