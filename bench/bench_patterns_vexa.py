"""Quantized pattern table benchmark.

1. Table building: time per call of each registered table function.
2. Partitioning: a quantized NHWC network of repeated blocks (over 2,000
   operators) in which every entry of "vexa" forms and every check accepts,
   partitioned through the host's partition driver with the "vexa" table,
   against the same table whose checks are replaced by `lambda e: True` (the
   floor: TVM's own matching and the callback cost).  Both runs form the same
   composites, so the difference is the checks' own work.  Target: at most
   5% over the floor.  As the partition time swings with the machine's load,
   the checks' own time is also measured inside them.

Run with TVM_LIBRARY_PATH pointing at standin/lib:
    TVM_LIBRARY_PATH=standin/lib .venv/bin/python bench/bench_patterns_vexa.py [blocks]
"""

import collections
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "tests"), str(ROOT / "standin" / "host")]

import vexa_host  # noqa: E402

vexa_host.install()

import ops_networks as nets  # noqa: E402
from tvm import relay  # noqa: E402
from tvm.relay.vexa.build_module import BuildConfig  # noqa: E402

from vexa_host.partition import partition  # noqa: E402
from vexatvm_internal import patterns  # noqa: E402

CHANNELS = 16
ARCH = "vexa-lite"  # 16 channels: the grouped convolution below is accepted
REPEATS = 4


def block(x):
    """One block: every entry of "vexa" once, every check accepting.
    Returns the block output (1, 8, 8, 16) and two side outputs."""
    hswish = nets.conv_hswish(x, CHANNELS)
    conv = nets.conv_chain(hswish, CHANNELS, CHANNELS)
    grouped = nets.conv_chain(conv, CHANNELS, CHANNELS, groups=2)  # asks the target
    tflite = nets.tflite_conv(grouped, CHANNELS, CHANNELS)
    added = nets.qnn_add(tflite, conv)
    joined = nets.concat([added, hswish])
    conv = nets.conv_chain(joined, 2 * CHANNELS, CHANNELS)
    pooled = nets.maxpool(nets.upsampling(conv))
    pooled = nets.maxpool(nets.upsampling_nearest(pooled))
    act = nets.tflite_hswish(nets.tflite_silu(nets.leaky_relu(pooled)))
    out = nets.tflite_avg_pool(act, pool=(5, 5), strides=(1, 1))
    return out, [nets.adaptive_avg_pool(act), nets.mean(act)]


def network(blocks):
    x = relay.var("x", shape=(1, 8, 8, CHANNELS), dtype="uint8")
    outputs = []
    for _ in range(blocks):
        x, side = block(x)
        outputs += side
    return nets.typed_module(relay.Tuple([x] + outputs))


def operator_calls(mod):
    count = [0]
    relay.analysis.post_order_visit(mod["main"], lambda n: count.__setitem__(0, count[0] + isinstance(n, relay.Call)))
    return count[0]


def per_call(function, repeats, clock=time.perf_counter):
    times = []
    for _ in range(repeats):
        start = clock()
        function()
        times.append(clock() - start)
    return statistics.median(times), min(times)


def floor_of(table):
    return [(e[0], e[1], lambda extract: True) if len(e) == 3 else e for e in table]


def timed(table, counts, seconds):
    """The table with every check counted and timed (per composite name)."""

    def wrap(name, check):
        def measured(extract):
            start = time.perf_counter()
            verdict = check(extract)
            seconds[name] += time.perf_counter() - start
            counts[name] += 1
            return verdict

        return measured

    return [(e[0], e[1], wrap(e[0], e[2])) if len(e) == 3 else e for e in table]


def main():
    blocks = int(sys.argv[1]) if len(sys.argv) > 1 else 28
    print("table building (median of 50 calls):")
    for name in ("pattern_table", "pattern_table_with_clip", "pattern_table_with_fc", "pattern_table_vexa_f32"):
        function = getattr(patterns, name, None)
        if function is not None:
            median, _ = per_call(function, 50)
            print(f"  {name:26s} {median * 1e3:7.2f} ms  ({len(function())} entries)")

    mod = network(blocks)
    table = patterns.pattern_table()
    floor = floor_of(table)
    print(f"\nnetwork: {blocks} blocks, {operator_calls(mod)} operator calls")

    with BuildConfig(arch_config={"arch": ARCH}):
        counts, seconds = collections.Counter(), collections.Counter()
        checked = nets.composites(partition(mod, timed(table, counts, seconds)))
        unchecked = nets.composites(partition(mod, floor))
        assert checked == unchecked, "the checks rejected a match"
        formed = collections.Counter(checked[0])
        assert set(formed) == {entry[0] for entry in table}, "an entry of the table formed no composite"
        inside = len(checked[1])
        print(f"composites: {sum(formed.values())} ({len(formed)} kinds), operator calls left outside: {inside}")
        for name in counts:
            print(f"  {name:26s} {counts[name]:4d} check calls, {seconds[name] / counts[name] * 1e6:6.1f} us a call")

        # Alternated, so that drifts touch both alike.  The process's CPU
        # time is the steadier figure on a shared machine (the partition runs
        # on this one thread); wall time is shown beside it.
        times = {"checks": ([], []), "floor": ([], [])}
        for _ in range(REPEATS):
            for name, entries in (("checks", table), ("floor", floor)):
                cpu_start, wall_start = time.process_time(), time.perf_counter()
                partition(mod, entries)
                times[name][0].append(time.process_time() - cpu_start)
                times[name][1].append(time.perf_counter() - wall_start)
    print(f"\npartition, median of {REPEATS} (min):        CPU time           wall time")
    for name, label in (("checks", "with the checks"), ("floor", "with `lambda e: True`")):
        cpu, wall = times[name]
        print(
            f"  {label:24s} {statistics.median(cpu) * 1e3:8.0f} ms ({min(cpu) * 1e3:6.0f})"
            f" {statistics.median(wall) * 1e3:8.0f} ms ({min(wall) * 1e3:6.0f})"
        )
    cpu_ratio = statistics.median(times["checks"][0]) / statistics.median(times["floor"][0])
    wall_ratio = statistics.median(times["checks"][1]) / statistics.median(times["floor"][1])
    print(f"ratio: {cpu_ratio:.3f} CPU, {wall_ratio:.3f} wall (target <= 1.05)")
    own = sum(seconds.values())
    floor_cpu = statistics.median(times["floor"][0])
    print(f"the checks' own time, measured inside them: {own * 1e3:.1f} ms, {own / floor_cpu:.3%} of the floor")


if __name__ == "__main__":
    main()
