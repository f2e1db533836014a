"""Networks for the `vexatvm` command's tests and benchmarks, built from the
blocks of its quantized samples."""

import tvm
from tvm import relay

from vexatvm_cli import quantized_blocks as qb
from vexatvm_cli.importers import Network


def network(name, body):
    return Network(name, tvm.IRModule.from_expr(relay.Function(relay.analysis.free_vars(body), body)), {}, "built-in")


def chain_network(blocks):
    """About 90 operator calls a block: rejected grouped convolutions,
    residual additions, float operators between quantizations, and host
    operators no entry knows."""
    x = relay.var("input", shape=(1, 3, 32, 32), dtype="float32")
    y = qb.torch_conv(qb.quantize(x, 0.02, 128), 3, 16)
    for _ in range(blocks):
        c1 = qb.torch_conv(y, 16, 16)
        c2 = qb.torch_conv_hswish(c1, 16, 16)
        residual = qb.qadd(c1, qb.torch_conv(c2, 16, 16, pad=False))
        grouped = qb.torch_conv(residual, 16, 24, groups=4)
        leaky = qb.float_between(relay.nn.max_pool2d(grouped, (1, 1), (1, 1)), relay.nn.leaky_relu, 0.1)
        cat = qb.qconcat([leaky, residual])
        y = relay.reshape(relay.sigmoid(relay.reshape(qb.torch_conv(cat, 40, 16), (1, 16, 32, 32))), (1, 16, 32, 32))
    return network(f"chain-{blocks}", qb.dequantize(y))
