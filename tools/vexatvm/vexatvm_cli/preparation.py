"""What the command does to an imported network before the host's
partition flow: tells quantized from float32 networks, turns ONNX QDQ
regions into integer operators, and canonicalises importer output."""
import tvm
from tvm import relay

from vexatvm_cli.canonicalize import canonicalize_imported

QUANTIZED_TABLE = "vexa"
FLOAT32_TABLE = "vexa_fp32"
# Float operators that, fed by a dequantize, mark the QuantizeLinear /
# DequantizeLinear form in which ONNX stores quantized networks.
# (Element-wise float operators between a dequantize and a quantize are
# also how the TFLite importer writes hard-swish or SiLU; they do not count.)
_QDQ_COMPUTE_OPS = ("nn.conv2d", "nn.conv2d_transpose", "nn.dense", "nn.matmul", "nn.batch_matmul")


def _calls(mod):
    calls = []

    def visit(node):
        if isinstance(node, relay.Call) and isinstance(node.op, tvm.ir.Op):
            calls.append(node)

    for function in mod.functions.values():
        if isinstance(function, relay.Function):
            relay.analysis.post_order_visit(function, visit)
    return calls


def is_quantized(mod):
    return any(call.op.name.startswith("qnn.") for call in _calls(mod))


def is_qdq_form(mod):
    """A float compute operator reading a dequantized tensor."""
    for call in _calls(mod):
        if call.op.name in _QDQ_COMPUTE_OPS:
            for arg in call.args:
                if isinstance(arg, relay.Call) and isinstance(arg.op, tvm.ir.Op) and arg.op.name == "qnn.dequantize":
                    return True
    return False


def default_table(mod):
    return QUANTIZED_TABLE if is_quantized(mod) else FLOAT32_TABLE


def prepare(mod, progress):
    """Returns the module the partition flow gets."""
    mod = relay.transform.InferType()(mod)
    if is_qdq_form(mod):
        progress.say("preparation: FakeQuantizationToInteger (QDQ form)")
        mod = relay.transform.FakeQuantizationToInteger()(mod)
    progress.say("preparation: canonicalisation (requantized ReLU to clip)")
    return canonicalize_imported(mod)
