"""Cost of the float32 checks when a network is partitioned.

Partitions an NHWC float32 network of more than 2,000 operators with the
"vexa_fp32" table through the host's partition driver, and again with the
same table whose checks are replaced by `lambda e: True`.  Every check accepts
every match of this network, so both runs form the same composites and the
difference is what the checks cost.  Prints both processor times (best and median
of several runs in alternating order) and their ratio, the target being at
most 1.05, and the time spent inside the checks themselves.

    TVM_LIBRARY_PATH=standin/lib .venv/bin/python bench/bench_patterns_fp32.py [--repeat N] [--blocks N]
"""

import argparse
import collections
import pathlib
import statistics
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "standin" / "host"))
sys.path.insert(0, str(ROOT / "tests"))

import vexa_host  # noqa: E402

vexa_host.install()

import fp32_networks  # noqa: E402
from tvm.relay.vexa.build_module import BuildConfig  # noqa: E402

from vexa_host.partition import partition  # noqa: E402
from vexatvm_internal import patterns  # noqa: E402

# The hard-swish forms are left out: their "add" of a constant is first
# offered to the bias-add entry, whose check rejects it, while an always-true
# check would claim it, and the two runs would form different composites.
ACTIVATIONS = ("relu", "relu6", "leaky", "silu")


def verdict_counts(mod):
    """How often each check said what, in one run with counting wrappers."""
    counts = collections.Counter()

    def counting(name, check):
        def wrapped(extract):
            result = check(extract)
            counts[(name, bool(result))] += 1
            return result

        return wrapped

    table = [(name, pattern, counting(name, check)) for name, pattern, check in patterns.pattern_table_vexa_f32()]
    partitioned = partition(mod, table)
    return counts, fp32_networks.census(partitioned)


def time_in_checks(mod, table):
    """Seconds spent inside the checks during one partition run."""
    spent = [0.0]

    def timing(check):
        def wrapped(extract):
            start = time.perf_counter()
            result = check(extract)
            spent[0] += time.perf_counter() - start
            return result

        return wrapped

    partition(mod, [(name, pattern, timing(check)) for name, pattern, check in table])
    return spent[0]


def timed(mod, table):
    """Processor time of this process for one partition run (less disturbed
    by other processes than wall time), and the partitioned module."""
    start = time.process_time()
    partitioned = partition(mod, table)
    return time.process_time() - start, partitioned


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=4)
    parser.add_argument("--blocks", type=int, default=170)
    options = parser.parse_args()

    mod, _ = fp32_networks.tflite_style(blocks=options.blocks, size=8, activations=ACTIVATIONS)
    operators = fp32_networks.count_calls(mod)
    print(f"network: {operators} operator calls, NHWC float32")
    assert operators >= 2000, operators

    with BuildConfig(arch_config={"arch": "vexa-max"}):
        counts, shape = verdict_counts(mod)
        rejected = {name: n for (name, verdict), n in counts.items() if not verdict}
        assert not rejected, f"checks rejected matches: {rejected}"
        print(f"check calls: {sum(counts.values())}, all accepted")
        print(f"composites: {sum(shape['composites'].values())}, operators left outside: {dict(shape['outside'])}")

        checked = patterns.pattern_table_vexa_f32()
        always = [(name, pattern, lambda e: True) for name, pattern, _ in checked]
        times = {"checks": [], "always true": []}
        results = {}
        runs = (("checks", checked), ("always true", always))
        for repeat in range(options.repeat):
            # Alternating order (ABBA...), so that a drift favours neither.
            for label, table in runs if repeat % 2 == 0 else runs[::-1]:
                seconds, partitioned = timed(mod, table)
                times[label].append(seconds)
                results[label] = fp32_networks.census(partitioned)
        assert results["checks"] == results["always true"], "the two runs formed different composites"
        inside = {label: time_in_checks(mod, table) for label, table in (("checks", checked), ("always true", always))}

    for label, values in times.items():
        print(f"{label:>12}: best {min(values) * 1e3:8.1f} ms, median {statistics.median(values) * 1e3:8.1f} ms")
    best = min(times["checks"]) / min(times["always true"])
    median = statistics.median(times["checks"]) / statistics.median(times["always true"])
    print(f"ratio checks / always true: best {best:.3f}, median {median:.3f} (target <= 1.05)")
    extra = inside["checks"] - inside["always true"]
    print(
        f"time inside the checks during one run: {inside['checks'] * 1e3:.1f} ms "
        f"(always true: {inside['always true'] * 1e3:.1f} ms); the checks add {extra * 1e3:.1f} ms, "
        f"{extra / min(times['always true']) * 100:.2f}% of the best always-true run"
    )


if __name__ == "__main__":
    main()
