"""Cost of the quantized addition and concatenation checks during partitioning.

A quantized network of repeated blocks (requantized inputs concatenated, a
1x1 convolution back to 16 channels, a residual quantized addition, a second
concatenation and convolution) is partitioned through the host's partition
driver twice per round:

- with the real entries ("vexa.qnn_add" with check_qnn_add, "vexa.concat"
  with check_concat_pattern, which asks the host for the consumers of every
  concatenation and for the convolutions they lead to);
- with the same patterns and every check replaced by `lambda e: True`: the
  floor, TVM's own matching cost.

Every check accepts its matches in this network, so both runs form the same
composites and the difference is the checks' own cost (the consumer index
included).  Target: real / floor <= 1.05.

Run with TVM_LIBRARY_PATH pointing at standin/lib (scripts/env.sh does):
    .venv/bin/python bench/bench_patterns_concat.py [--blocks N] [--rounds R]
"""

import argparse
import gc
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "standin" / "host"))
sys.path.insert(0, str(ROOT / "tests"))

import vexa_host  # noqa: E402

vexa_host.install()

from qnn_networks import composite_names as composites  # noqa: E402,E501
from qnn_networks import concat, qadd, qconv, qvar, requantize, typed_module
from tvm import relay  # noqa: E402

from vexa_host.partition import partition  # noqa: E402
from vexatvm_internal import patterns  # noqa: E402


def block(x):
    """13 operators, two concatenations: every check of the entries accepts."""
    joined = concat([requantize(x), requantize(x), x])
    y = qconv(joined, 48, 16)
    summed = qadd(y, x)
    return qconv(concat([summed, y]), 32, 16)


def network(blocks):
    x = qvar("input")
    for _ in range(blocks):
        x = block(x)
    return typed_module(relay.Function([relay.analysis.free_vars(x)[0]], x))


def entries(real):
    table = [
        ("vexa.qnn_add", patterns.make_qnn_add_pattern(), patterns.check_qnn_add),
        ("vexa.concat", patterns.make_qnn_concat_with_req_pattern(), patterns.check_concat_pattern),
    ]
    return table if real else [(name, pattern, lambda e: True) for name, pattern, _ in table]


def operator_count(mod):
    count = [0]
    relay.analysis.post_order_visit(
        mod["main"], lambda n: isinstance(n, relay.Call) and count.__setitem__(0, count[0] + 1)
    )
    return count[0]


def timed_checks(table):
    """The entries with each check wrapped by a clock; returns (table, seconds spent in checks)."""
    spent = [0.0]

    def clocked(check):
        def run(extract):
            start = time.perf_counter()
            try:
                return check(extract)
            finally:
                spent[0] += time.perf_counter() - start

        return run

    return [(name, pattern, clocked(check)) for name, pattern, check in table], spent


def timed(mod, real):
    table = entries(real)
    # CPU time of this process: the machine's cores are shared with other
    # work, which would otherwise dominate the difference.
    # The previous run's graphs are freed before the clock starts.
    gc.collect()
    gc.disable()
    try:
        start = time.process_time()
        result = partition(mod, table)
        return time.process_time() - start, result
    finally:
        gc.enable()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--blocks", type=int, default=120)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()

    mod = network(options.blocks)
    print(f"network: {options.blocks} blocks, {operator_count(mod)} operators, {2 * options.blocks} concatenations")
    timed(mod, True)  # warm-up: first-use costs of TVM and the module
    real_times, floor_times = [], []
    results = {}
    for round_number in range(options.rounds):
        # Alternate which run goes first, so that neither always follows the other.
        for real in (True, False) if round_number % 2 == 0 else (False, True):
            seconds, results[real] = timed(mod, real)
            (real_times if real else floor_times).append(seconds)
    real_result, floor_result = results[True], results[False]
    formed = composites(real_result)
    if formed != composites(floor_result):
        raise SystemExit("the real checks rejected matches: the runs formed different composites")
    real, floor = min(real_times), min(floor_times)
    clocked, spent = timed_checks(entries(True))
    partition(mod, clocked)
    print(
        f"composites formed: {len(formed)} ({formed.count('vexa.concat')} vexa.concat, "
        f"{formed.count('vexa.qnn_add')} vexa.qnn_add)"
    )
    print(f"floor (checks return True): {floor * 1e3:8.1f} ms (best of {options.rounds}, CPU time)")
    print(f"real checks:                {real * 1e3:8.1f} ms (best of {options.rounds}, CPU time)")
    print(f"ratio real / floor:         {real / floor:8.3f} (target <= 1.05)")
    paired = sorted(r / f for r, f in zip(real_times, floor_times))
    print(
        f"median of per-round ratios: {paired[len(paired) // 2]:8.3f} (rounds: {', '.join(f'{r:.3f}' for r in paired)})"
    )
    print(
        f"time inside the checks:     {spent[0] * 1e3:8.1f} ms = {spent[0] / floor:.2%} of the floor "
        f"(consumer index and host look-ups included)"
    )


if __name__ == "__main__":
    main()
