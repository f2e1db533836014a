"""Reads model files into Relay modules with TVM's importers.

The format is told from the file's content: TFLite flatbuffers carry the
identifier "TFL3", TorchScript archives are zip files, anything else is
tried as ONNX.  Every failure to read or import becomes one CliError line
naming the file and the reason.
"""

from dataclasses import dataclass, field
from pathlib import Path

from vexatvm_cli.errors import CliError, failure_reason

# Symbolic dimensions (a batch size left open, for instance) get this size.
DEFAULT_SYMBOLIC_DIM = 1


@dataclass
class Network:
    name: str
    mod: object  # tvm.IRModule
    params: dict = field(default_factory=dict)
    source: str = ""  # "onnx", "tflite", "torchscript" or "built-in"


def parse_input_shape(text):
    """'1,3,224,224' -> (1, 3, 224, 224)."""
    try:
        shape = tuple(int(part) for part in text.split(","))
    except ValueError:
        shape = ()
    if not shape or any(dim <= 0 for dim in shape):
        raise CliError(f"--input-shape {text!r}: expected positive integers separated by commas, such as 1,3,224,224")
    return shape


def _read_bytes(path):
    try:
        return Path(path).read_bytes()
    except OSError as error:
        raise CliError(f"{path}: cannot read the model: {error.strerror or error}") from error


def _format_of(data):
    if len(data) >= 8 and data[4:8] == b"TFL3":
        return "tflite"
    if data[:4] == b"PK\x03\x04":
        return "torchscript"
    return "onnx"


def _import_failure(path, kind, error):
    return CliError(f"{path}: cannot import the {kind} model: {failure_reason(error)}")


def _onnx_input_shapes(model, input_shape):
    initializers = {init.name for init in model.graph.initializer}
    shapes = {}
    for value in model.graph.input:
        if value.name in initializers:
            continue
        dims = value.type.tensor_type.shape.dim
        shapes[value.name] = tuple(d.dim_value if d.HasField("dim_value") else DEFAULT_SYMBOLIC_DIM for d in dims)
    if input_shape is not None:
        if len(shapes) != 1:
            raise CliError("--input-shape applies to models with one input only")
        shapes = {name: input_shape for name in shapes}
    return shapes


def parse_onnx(path, data):
    import onnx

    try:
        model = onnx.load_model_from_string(data)
        if not model.graph.node:
            raise ValueError("the file holds no ONNX graph")
        onnx.checker.check_model(model)
    except Exception as error:  # protobuf's DecodeError, checker errors
        raise CliError(
            f"{path}: not a readable ONNX model: {str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__}"
        ) from error
    return model


def convert_onnx(path, model, input_shape=None):
    from vexatvm_cli.onnx_import import from_onnx

    try:
        mod, params = from_onnx(model, _onnx_input_shapes(model, input_shape))
    except CliError:
        raise
    except Exception as error:
        raise _import_failure(path, "ONNX", error) from error
    return Network(Path(path).name, mod, params, "onnx")


def _tflite_inputs(model):
    from tflite.TensorType import TensorType

    dtype_names = {value: name.lower() for name, value in vars(TensorType).items() if not name.startswith("_")}
    subgraph = model.Subgraphs(0)
    shapes, dtypes = {}, {}
    for i in range(subgraph.InputsLength()):
        tensor = subgraph.Tensors(subgraph.Inputs(i))
        name = tensor.Name().decode()
        shapes[name] = tuple(int(d) if d > 0 else DEFAULT_SYMBOLIC_DIM for d in tensor.ShapeAsNumpy())
        dtypes[name] = dtype_names.get(tensor.Type(), "float32")
    return shapes, dtypes


def parse_tflite(path, data):
    import tflite

    try:
        model = tflite.Model.GetRootAsModel(data, 0)
        if model.SubgraphsLength() < 1:
            raise ValueError("the file holds no subgraph")
        shapes, dtypes = _tflite_inputs(model)
    except Exception as error:  # flatbuffers raise struct/index errors on damaged files
        raise CliError(f"{path}: not a readable TFLite model: {error or type(error).__name__}") from error
    return model, shapes, dtypes


def convert_tflite(path, parsed):
    from vexatvm_cli.tflite_import import from_tflite

    model, shapes, dtypes = parsed
    try:
        mod, params = from_tflite(model, shapes, dtypes)
    except Exception as error:
        raise _import_failure(path, "TFLite", error) from error
    return Network(Path(path).name, mod, params, "tflite")


def parse_torchscript(path, input_shape):
    try:
        import torch
    except ImportError as error:
        raise CliError(f"{path}: a TorchScript model needs PyTorch, which is not installed") from error
    if input_shape is None:
        raise CliError(f"{path}: a TorchScript model needs --input-shape")
    try:
        return torch.jit.load(str(path), map_location="cpu").eval()
    except Exception as error:
        raise CliError(f"{path}: not a readable TorchScript module: {str(error).strip().splitlines()[0]}") from error


def convert_torchscript(path, module, input_shape):
    from tvm import relay

    try:
        mod, params = relay.frontend.from_pytorch(module, [("input0", input_shape)])
    except Exception as error:
        raise _import_failure(path, "TorchScript", error) from error
    return Network(Path(path).name, mod, params, "torchscript")


@dataclass
class ParsedModel:
    """A model file read and parsed, not yet imported into Relay."""

    path: str
    kind: str
    model: object
    input_shape: tuple | None


def read_model(path, input_shape=None):
    """Reads and parses a model file (without TVM, so that unreadable files
    are reported before the slow part)."""
    data = _read_bytes(path)
    if not data:
        raise CliError(f"{path}: not a model: the file is empty")
    kind = _format_of(data)
    if kind == "tflite":
        return ParsedModel(path, kind, parse_tflite(path, data), input_shape)
    if kind == "torchscript":
        return ParsedModel(path, kind, parse_torchscript(path, input_shape), input_shape)
    return ParsedModel(path, kind, parse_onnx(path, data), input_shape)


def to_relay(parsed):
    """Imports a parsed model with TVM's importer for its format."""
    if parsed.kind == "tflite":
        return convert_tflite(parsed.path, parsed.model)
    if parsed.kind == "torchscript":
        return convert_torchscript(parsed.path, parsed.model, parsed.input_shape)
    return convert_onnx(parsed.path, parsed.model, parsed.input_shape)
