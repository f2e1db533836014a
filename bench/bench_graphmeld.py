"""Network fusion benchmark.

Fuses 2, 4, 8 and 16 copies of a 1,000-operator network (a chain alternating
relu with the add of a weight, 500 weights) with `fuse_graphmeld`, with and
without `share_input`, and the same inputs with the reference rendition
written on TVM's Python ExprMutator (tests/graphmeld_reference.py), as far as
it survives Python's recursion limit.

Targets: time grows linearly with the total operator count (16 copies take at
most 10 times as long as 2 copies), and the module is at least 5 times faster
than the Python rendition on every input both handle.

Both timings include TVM's own work that every fusion pays: building the
passes, the type inference that TVM's function-pass machinery runs on each
pass result, and IRModule.from_expr.

Run: TVM_LIBRARY_PATH=standin/lib .venv/bin/python bench/bench_graphmeld.py
"""
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "tests"), str(ROOT / "standin" / "host")]

import vexa_host  # noqa: E402

vexa_host.install()

import graphmeld_networks as networks  # noqa: E402
import graphmeld_reference as reference  # noqa: E402

from vexatvm_internal import graphmeld  # noqa: E402

OPERATORS = 1000
COPIES = (2, 4, 8, 16)


def best_time(function, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    network, params = networks.weighted_chain(OPERATORS)
    results = {}
    print(f"{'copies':>6} {'share':>5} {'operators':>9} {'module (s)':>10} {'python (s)':>10} {'speed-up':>8}")
    for share in (False, True):
        for copies in COPIES:
            mods, params_list = [network] * copies, [params] * copies
            ours = best_time(lambda: graphmeld.fuse_graphmeld(mods, params_list, share), 3)
            try:
                theirs = best_time(lambda: reference.fuse(mods, params_list, share), 1)
                theirs_text, ratio_text = f"{theirs:10.3f}", f"{theirs / ours:7.1f}x"
            except RecursionError:
                theirs, theirs_text, ratio_text = None, f"{'Recursion':>10}", f"{'-':>8}"
            results[share, copies] = (ours, theirs)
            print(f"{copies:6d} {str(share):>5} {copies * OPERATORS:9d} {ours:10.3f} {theirs_text} {ratio_text}")
    print()
    ok = True
    for share in (False, True):
        growth = results[share, COPIES[-1]][0] / results[share, COPIES[0]][0]
        ok &= growth <= 10
        print(f"share_input={share}: 16 copies / 2 copies = {growth:.1f} (target <= 10)")
    speedups = [theirs / ours for ours, theirs in results.values() if theirs is not None]
    ok &= min(speedups) >= 5
    print(f"smallest speed-up over the Python rendition: {min(speedups):.1f}x (target >= 5)")
    print("targets met" if ok else "TARGETS MISSED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
