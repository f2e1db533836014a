"""Running Relay modules on the host and listing their operators, for the
tests that compare a rewritten network with the original."""

import tvm
from tvm import relay

# Plain "llvm" selects a RISC-V code generator on this TVM build, which
# rejects int8 vectors.
HOST_TARGET = "llvm -mtriple=x86_64-linux-gnu"


def run(mod, inputs):
    """The output of `mod` on `inputs`, compiled for the host."""
    with tvm.transform.PassContext(opt_level=3):
        return relay.create_executor("graph", mod=mod, target=HOST_TARGET).evaluate()(*inputs).numpy()


def op_names(mod):
    """The operator names of the calls in `main`, in post order."""
    names = []
    relay.analysis.post_order_visit(
        mod["main"],
        lambda n: names.append(n.op.name) if isinstance(n, relay.Call) and isinstance(n.op, tvm.ir.Op) else None,
    )
    return names
