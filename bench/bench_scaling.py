"""Partition scaling benchmark.

Partitions networks of 5,000, 10,000, 20,000 and 50,000 operators with the
partition driver (vexa_host.partition.partition) and the "vexa" table, and
float32 networks of the same sizes with the "vexa_fp32" table, then prints
the time of each, the time per thousand operators and the ratio to the
5,000-operator network.  Linear growth means a ratio near the size ratio
(10 for 50,000 against 5,000).

The quantized network is a chain of importer-shaped convolution blocks (pad,
qnn.conv2d with a quantized weight, bias_add of a quantized bias,
requantize, clip, cast), every fifth one grouped so that its check asks the
native library for the channel width.  The float32 one is a chain of
convolution, bias_add and relu blocks with every fourth block joined to the
previous block's output by an add (residual).  The table's checks run on
every match.

Besides the total, the benchmark splits the time into TVM's own pattern
partitioner (DFPattern.partition, which the driver calls once per table
entry, without the checks it calls back), the checks, the driver's typing
of the formed composites, and the rest: the consumer index, the table walk,
the module update (TVM checks every updated function for free variables)
and freeing the network of each previous entry.  The driver's and the
checks' shares grow linearly; TVM's partitioner builds a dominator tree of
the whole network for every entry, and its walks up that tree from every
use of a shared operator grow faster than the network in a long chain.

Run: TVM_LIBRARY_PATH=standin/lib .venv/bin/python bench/bench_scaling.py [SIZES...]
"""

import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "standin" / "host")]

import vexa_host  # noqa: E402

vexa_host.install()

import numpy as np  # noqa: E402
import tvm  # noqa: E402
from tvm import relay  # noqa: E402

from vexa_host import _native  # noqa: E402
from vexa_host.build_module import BuildConfig  # noqa: E402
from vexa_host.partition import partition  # noqa: E402
from vexatvm_internal import patterns  # noqa: E402

CHANNELS = 8


def _q(x, dtype):
    return relay.qnn.op.quantize(x, relay.const(0.05), relay.const(0), out_dtype=dtype)


def quantized_block(x, index):
    groups = 2 if index % 5 == 4 else 1
    x = relay.nn.pad(x, ((0, 0), (1, 1), (1, 1), (0, 0)))
    weight = _q(relay.var(f"w{index}", shape=(3, 3, CHANNELS // groups, CHANNELS)), "int8")
    x = relay.qnn.op.conv2d(
        x,
        weight,
        relay.const(0),
        relay.const(0),
        relay.const(0.05),
        relay.const(0.05),
        kernel_size=(3, 3),
        channels=CHANNELS,
        groups=groups,
        data_layout="NHWC",
        kernel_layout="HWIO",
        out_dtype="int32",
    )
    x = relay.nn.bias_add(x, _q(relay.var(f"b{index}", shape=(CHANNELS,)), "int32"), axis=3)
    q = (relay.const(0.05), relay.const(0))
    x = relay.qnn.op.requantize(x, *q, *q, out_dtype="int32")
    return relay.cast(relay.clip(x, 0, 255), "uint8")


def fp32_block(x, index, previous):
    weight = relay.const(np.ones((3, 3, CHANNELS, CHANNELS), "float32"))
    y = relay.nn.conv2d(
        x, weight, kernel_size=(3, 3), channels=CHANNELS, padding=(1, 1), data_layout="NHWC", kernel_layout="HWIO"
    )
    y = relay.nn.relu(relay.nn.bias_add(y, relay.const(np.zeros(CHANNELS, "float32")), axis=3))
    return relay.add(y, previous) if index % 4 == 3 else y


def network(kind, operators):
    """(typed module, operator count) of about `operators` operators."""
    if kind == "vexa":
        data = relay.var("data", shape=(1, 8, 8, CHANNELS), dtype="uint8")
        x, count, index = data, 0, 0
        while count < operators:
            x = quantized_block(x, index)
            count, index = count + 8, index + 1
    else:
        data = relay.var("data", shape=(1, 8, 8, CHANNELS))
        x, previous, count, index = data, data, 0, 0
        while count < operators:
            x, previous = fp32_block(x, index, previous), x
            count, index = count + 3 + (index % 4 == 3), index + 1
    func = relay.Function(relay.analysis.free_vars(x), x)
    return relay.transform.InferType()(tvm.IRModule.from_expr(func)), count


class _Clock:
    """Adds up the time spent in a function, less the time of the clocks
    nested in it."""

    def __init__(self, function, inner=()):
        self.seconds = 0.0
        self.function = function
        self.inner = inner

    def __call__(self, *args, **kwargs):
        nested = sum(clock.seconds for clock in self.inner)
        start = time.perf_counter()
        try:
            return self.function(*args, **kwargs)
        finally:
            self.seconds += time.perf_counter() - start - (sum(clock.seconds for clock in self.inner) - nested)


def _timed_table(table, checks_clock):
    """The table with every check timed by `checks_clock`'s running total."""

    def timed(check):
        def run(extract):
            start = time.perf_counter()
            try:
                return check(extract)
            finally:
                checks_clock.seconds += time.perf_counter() - start

        return run

    return [(entry[0], entry[1], timed(entry[2])) if len(entry) == 3 else entry for entry in table]


def main(sizes):
    tables = {"vexa": patterns.pattern_table, "vexa_fp32": patterns.pattern_table_vexa_f32}
    checks = _Clock(None)
    partitioner = _Clock(relay.dataflow_pattern.DFPattern.partition, inner=(checks,))
    relay.dataflow_pattern.DFPattern.partition = lambda pattern, *args: partitioner(pattern, *args)
    typing = _Clock(_native.type_formed_composites)
    _native.type_formed_composites = typing
    print(
        f"{'table':<10} {'operators':>9} {'seconds':>8} {'TVM part':>8} {'checks':>7} {'typing':>6} {'rest':>6} "
        f"{'rest/1000 ops':>13} {'ratio to first':>14}"
    )
    for kind, table in tables.items():
        with BuildConfig.for_arch("vexa-lite"):
            partition(network(kind, 200)[0], table())  # first-call costs out of the figures
        first = None
        for size in sizes:
            mod, count = network(kind, size)
            entries = _timed_table(table(), checks)
            with BuildConfig.for_arch("vexa-lite"):
                checks.seconds = partitioner.seconds = typing.seconds = 0.0
                start = time.perf_counter()
                partition(mod, entries)
                elapsed = time.perf_counter() - start
            rest = elapsed - partitioner.seconds - checks.seconds - typing.seconds
            first = first or (elapsed, count)
            print(
                f"{kind:<10} {count:>9} {elapsed:>8.2f} {partitioner.seconds:>8.2f} {checks.seconds:>7.2f} "
                f"{typing.seconds:>6.2f} {rest:>6.2f} {1000 * rest / count:>13.3f} {elapsed / first[0]:>14.2f}",
                flush=True,
            )


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [5_000, 10_000, 20_000, 50_000])
