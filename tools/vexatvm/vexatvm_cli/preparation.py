"""What the command does to an imported network before the host's
partition flow: tells quantized from float32 networks and says what the
host flow's preparation will do with it (QDQ regions to integer operators,
canonicalisation of importer output: `vexa_host.canonicalize`)."""

import tvm
from tvm import relay

from vexa_host.canonicalize import is_qdq_form

QUANTIZED_TABLE = "vexa"
FLOAT32_TABLE = "vexa_fp32"


def is_quantized(mod):
    found = []

    def visit(node):
        if isinstance(node, relay.Call) and isinstance(node.op, tvm.ir.Op) and node.op.name.startswith("qnn."):
            found.append(node)

    for function in mod.functions.values():
        if isinstance(function, relay.Function):
            relay.analysis.post_order_visit(function, visit)
    return bool(found)


def default_table(mod):
    return QUANTIZED_TABLE if is_quantized(mod) else FLOAT32_TABLE


def prepare(mod, progress):
    """Returns the module the partition flow gets (typed; the host flow's
    preparation does the rest)."""
    mod = relay.transform.InferType()(mod)
    if is_qdq_form(mod):
        progress.say("preparation: QDQ form, turned into integer operators by the host preparation")
    return mod
