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
pass result, and IRModule.from_expr.  That work grows faster than the
operator count in TVM 0.16 (type inference of 16 copies takes about 15 times
as long as of 2), so a second table times the rewriting alone: the passes'
`transform_function` on every network and on the fused function, outside the
pass machinery.

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
PASSES = (
    (graphmeld._VarNameSuffixAppender, graphmeld._InputMerger),
    (reference.VarNameSuffixAppender, reference.InputMerger),
)
COPIES = (2, 4, 8, 16)


def best_time(function, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


def rewrite_only(fused_main, mods, share, renamer, merger):
    """Runs the passes' rewriting of one fusion outside TVM's pass machinery."""

    def run():
        for i, mod in enumerate(mods):
            renamer(i + 1)._inst.transform_function(mod["main"], None, None)
        if share:
            merger([])._inst.transform_function(fused_main, None, None)

    return run


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

    print("\nRewriting alone (the passes' transform_function, no type inference):")
    print(f"{'copies':>6} {'share':>5} {'module (s)':>10} {'python (s)':>10} {'speed-up':>8}")
    alone = {}
    for share in (False, True):
        for copies in COPIES:
            mods = [network] * copies
            fused_main = graphmeld.fuse_graphmeld(mods, [params] * copies)[0]["main"]
            ours = best_time(rewrite_only(fused_main, mods, share, *PASSES[0]), 5)
            try:
                theirs = best_time(rewrite_only(fused_main, mods, share, *PASSES[1]), 1)
                theirs_text, ratio_text = f"{theirs:10.3f}", f"{theirs / ours:7.1f}x"
            except RecursionError:
                theirs_text, ratio_text = f"{'Recursion':>10}", f"{'-':>8}"
            alone[share, copies] = ours
            print(f"{copies:6d} {str(share):>5} {ours:10.3f} {theirs_text} {ratio_text}")
    for share in (False, True):
        print(f"share_input={share}: 16 copies / 2 copies = {alone[share, 16] / alone[share, 2]:.1f}")
    print("targets met" if ok else "TARGETS MISSED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
