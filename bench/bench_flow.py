"""Partition flow benchmark: the whole flow against the import it follows.

For every model of the repository's own fixtures (fuzz/seeds/vexatvm) and
every built-in sample, the flow of `vexatvm partition` phase by phase:
import, preparation, partition (the table entries), outlining of the
offloaded regions; then the flow's time (preparation + partition +
outlining) as a ratio to the import's, and the outlining by TVM's
AnnotateTarget, MergeCompilerRegions and PartitionGraph on the same module
as a ratio to the native walk (the baseline the walk replaced).  The
built-in samples are built in Python, not imported, so their ratio to the
"import" says little.

Then `partition_for_vexa` on generated chains of 1,000, 5,000 and 50,000
operators: float32 relu and tanh in turn (every region alternates with an
operator that stays on the host, the worst case for outlining) and
quantized convolution blocks; the time of building the chain (the
"import": the Relay graph, typed as the importers leave their networks),
of the flow (the best of three runs), the flow per thousand operators and the growth factor from
5,000 to 50,000 operators (linear: near 10).  TVM's type inference grows
with the square of a chain's length (20,000 operators: about 2 s), which
the build time shows.  Next to them, a read-only native walk of the same
network and its growth: on a network far larger than the processor's caches
every visit of a node waits on memory, so that even that walk grows faster
than the network (here 10-23x); it is the least growth a linear flow can
show on this machine.

Run: TVM_LIBRARY_PATH=standin/lib .venv/bin/python bench/bench_flow.py [--quick]
(--quick: chains of 1,000 and 5,000 operators only)
"""

import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "standin" / "host"), str(ROOT / "bench")]

import vexa_host  # noqa: E402

vexa_host.install()

import tvm  # noqa: E402
from bench_scaling import quantized_block  # noqa: E402
from tvm import relay  # noqa: E402

from vexa_host import _native, flow, outline  # noqa: E402
from vexa_host.build_module import BuildConfig  # noqa: E402
from vexatvm_cli import host_flow, preparation, samples  # noqa: E402
from vexatvm_cli.importers import read_model, to_relay  # noqa: E402
from vexatvm_cli.partition_command import registered_table  # noqa: E402
from vexatvm_cli.progress import Progress  # noqa: E402
from vexatvm_internal import patterns  # noqa: E402,F401  (registers the tables)

QUIET = Progress(quiet=True)
ROUNDS = 3  # the flow's time on a chain: the best of this many runs


def timed(function, *args):
    started = time.perf_counter()
    result = function(*args)
    return result, time.perf_counter() - started


def fixtures():
    for path in sorted((ROOT / "fuzz" / "seeds" / "vexatvm").glob("*.*")):
        yield path.name, lambda path=path: to_relay(read_model(str(path)))
    yield from samples.SAMPLES.items()


def flow_phases(network):
    """(seconds per phase, partitioned module, compilers) of the command's flow."""
    seconds = {}
    mod, seconds["preparation"] = timed(preparation.prepare, network.mod, QUIET)
    table_name = preparation.default_table(mod)
    started = time.perf_counter()
    mod = host_flow.nhwc_preparation(mod, network.params, table_name, QUIET)
    seconds["preparation"] += time.perf_counter() - started
    table = registered_table(table_name)
    mod, seconds["partition"] = timed(host_flow.partition, mod, table, QUIET)
    compilers = host_flow.compiler_names(table)
    _, seconds["outlining"] = timed(outline.outline, mod, compilers)
    return seconds, mod, compilers


def bench_fixtures():
    print("network                     calls   import  preparation  partition  outlining  flow/import  TVM outlining")
    for name, build in fixtures():
        network, import_seconds = timed(build)
        with BuildConfig.for_arch("vexa-lite"):
            seconds, mod, compilers = flow_phases(network)
        _, tvm_seconds = timed(outline.with_tvm_passes, mod, compilers)
        calls = len(_calls(mod))
        flow_seconds = sum(seconds.values())
        print(
            f"{name:<26} {calls:6d} {import_seconds:7.2f} s {seconds['preparation']:9.2f} s {seconds['partition']:8.2f} s"
            f" {seconds['outlining']:8.3f} s {flow_seconds / import_seconds:11.2f}"
            f" {tvm_seconds / seconds['outlining']:9.1f}x slower"
        )


def _calls(mod):
    found = []
    relay.analysis.post_order_visit(mod["main"], lambda node: isinstance(node, relay.Call) and found.append(node))
    return found


def alternating_chain(operators):
    x = relay.var("data", shape=(1, 8, 8, 8))
    data = x
    for index in range(operators):
        x = relay.nn.relu(x) if index % 2 == 0 else relay.tanh(x)
    return relay.transform.InferType()(tvm.IRModule.from_expr(relay.Function([data], x))), "vexa_fp32"


def convolution_chain(operators):
    x = relay.var("data", shape=(1, 8, 8, 8), dtype="uint8")
    for index in range(operators // 9):  # nine operators a block, quantize calls included
        x = quantized_block(x, index)
    body = x
    function = relay.Function(relay.analysis.free_vars(body), body)
    return relay.transform.InferType()(tvm.IRModule.from_expr(function)), "vexa"


def walk_seconds(mod):
    """The best time of a read-only native walk of the network: the least that
    any flow linear in the network does, and how this machine's caches let
    such work grow with the network's size."""
    function = mod["main"]
    return min(timed(_native.operator_names, function)[1] for _ in range(2 * ROUNDS + 1))


def bench_chains(sizes):
    for maker in (alternating_chain, convolution_chain):
        print(f"\n{maker.__name__}: partition_for_vexa")
        print("operators    build     flow  flow/1k ops  flow/build      walk")
        flow_times, walk_times = {}, {}
        with BuildConfig.for_arch("vexa-lite"):
            # The first call of the process also loads the tables and the
            # pattern makers: not the flow's own time.
            small, table = maker(100)
            flow.partition_for_vexa(small, None, table)
        for size in sizes:
            (mod, table), build_seconds = timed(maker, size)
            with BuildConfig.for_arch("vexa-lite"):
                flow_seconds = min(timed(flow.partition_for_vexa, mod, None, table)[1] for _ in range(ROUNDS))
            flow_times[size] = flow_seconds
            walk_times[size] = walk_seconds(mod)
            print(
                f"{size:9d} {build_seconds:7.2f} s {flow_seconds:7.2f} s {flow_seconds / size * 1000:9.3f} s"
                f" {flow_seconds / build_seconds:10.2f} {walk_times[size] * 1000:7.2f} ms"
            )
        if 5000 in flow_times and 50000 in flow_times:
            flow_growth = flow_times[50000] / flow_times[5000]
            walk_growth = walk_times[50000] / walk_times[5000]
            print(
                f"growth 5,000 -> 50,000 operators: {flow_growth:.1f}x (linear: 10x);"
                f" a read-only walk of the same networks: {walk_growth:.1f}x"
            )


def main():
    bench_fixtures()
    bench_chains([1000, 5000] if "--quick" in sys.argv else [1000, 5000, 50000])


if __name__ == "__main__":
    main()
