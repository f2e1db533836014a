"""Cost of `vexatvm partition --explain`'s account of the calls outside
composites.

Partitions a quantized network of about 600 operator calls, built from the
blocks of the command's PyTorch-shaped sample (rejected grouped
convolutions, residual additions, float operators between quantizations,
host operators no entry calls), then times the explanation of every call
outside composites (reading the network, the table's patterns, matching)
against the command's own flat view of the same network (`network_view.flatten`),
which every report already pays for.  Prints both times (best of several
runs) and their ratio.

    TVM_LIBRARY_PATH=standin/lib .venv/bin/python bench/bench_cli_explain.py [--repeat N] [--blocks N]
"""

import argparse
import pathlib
import sys
import timeit

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools" / "vexatvm"))
sys.path.insert(0, str(ROOT / "tests"))

from vexatvm_cli import environment  # noqa: E402

environment.load_tables()
from cli_networks import chain_network  # noqa: E402

from vexatvm_cli import arch, host_flow, network_view, outside, preparation  # noqa: E402
from vexatvm_cli.explain import CheckRecorder  # noqa: E402
from vexatvm_cli.partition_command import registered_table  # noqa: E402
from vexatvm_cli.progress import Progress  # noqa: E402


def best_time(function, repeat):
    return min(timeit.repeat(function, number=1, repeat=repeat))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--blocks", type=int, default=7)
    args = parser.parse_args()
    quiet = Progress(quiet=True)
    network = chain_network(args.blocks)
    mod = host_flow.nhwc_preparation(preparation.prepare(network.mod, quiet), {}, "vexa")
    table = registered_table("vexa")
    recorder = CheckRecorder()
    architecture = arch.resolve(None)
    with architecture.active():
        mod = host_flow.partition(mod, recorder.wrap_table(table), quiet)
    rejections = [rejection.as_dict() for rejection in recorder.rejections]
    units = network_view.flatten(mod)
    calls = sum(len(unit.ops) if unit.kind == "region" else unit.kind == "op" for unit in units)
    outside_calls = sum(unit.kind == "op" for unit in units)
    explained = sum(item["count"] for item in outside.explain(mod, table, rejections))
    assert explained == outside_calls, (explained, outside_calls)
    flat = best_time(lambda: network_view.flatten(mod), args.repeat)
    explain = best_time(lambda: outside.explain(mod, table, rejections), args.repeat)
    print(f"network: {calls} operator calls, {outside_calls} outside composites, all explained")
    print(f"flat view (baseline): {flat * 1000:.1f} ms")
    print(f"explanations:         {explain * 1000:.1f} ms")
    print(f"ratio: {explain / flat:.2f}")


if __name__ == "__main__":
    main()
