"""Concurrency: native queries from many threads at once, with the
interpreter lock released inside the library, and the pattern checks called
from several threads on one typed network."""

import ctypes
import functools
import sys
import threading
import time

from conftest import ROOT, requires_tvm

from vexatvm_internal import hwinquire

PRESETS = {"vexa-nano": 8, "vexa-lite": 16, "vexa-pro": 32, "vexa-max": 64}


def run_threads(count, work):
    """Runs work(index) on `count` threads started together; returns the
    errors they raised."""
    barrier = threading.Barrier(count)
    errors = []

    def body(index):
        try:
            barrier.wait()
            work(index)
        except BaseException as error:  # reported to the test
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return errors


def query_cases(thread):
    """(query function, architecture, parameter name, expected answer) for
    one thread: presets, direct values that differ from thread to thread,
    unknown presets and parameters, text that is not a mapping."""
    raw, public = hwinquire._hwinquire_parameter, hwinquire.hwinquire_parameter
    cases = []
    for name, channels in PRESETS.items():
        cases.append((public, f"arch: {name}", "channels", str(channels)))
    cases += [
        (public, f"arch: vexa-lite\nchannels: {1000 * thread + 7}", "channels", str(1000 * thread + 7)),
        (raw, f"{{depth: {thread}, channels: -{thread}}}", "depth", str(thread)),
        (raw, f"arch: vexa-{thread}", "channels", None),
        (raw, "arch: vexa-pro", f"width{thread}", None),
        (raw, "[1, 2, " * thread + "]", "channels", None),
    ]
    return cases


@requires_tvm
def test_eight_threads_of_ten_thousand_queries_all_answer_right():
    def work(thread):
        cases = query_cases(thread)
        for i in range(10_000):
            query, arch, name, expected = cases[i % len(cases)]
            answer = query(arch, name)
            assert answer == expected, (thread, arch, name, answer)

    assert run_threads(8, work) == []


# A configuration the library takes a good fraction of a second to read.
SLOW_ARCH = "channels: 16\nfill: [" + ", ".join(["1"] * 100_000) + "]"


def ticks_during(call):
    """(ticks, rate, elapsed): how far a Python thread counting in a loop
    got while `call()` ran, its pace with the interpreter lock free (ticks a
    second), and the duration of the call."""
    ticks = [0]
    running = True

    def ticker():
        while running:
            ticks[0] += 1

    previous = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        time.sleep(0.05)
        start_ticks, start = ticks[0], time.perf_counter()
        time.sleep(0.1)
        rate = (ticks[0] - start_ticks) / (time.perf_counter() - start)
        before, start = ticks[0], time.perf_counter()
        assert call() in ("16", 0)
        return ticks[0] - before, rate, time.perf_counter() - start
    finally:
        running = False
        thread.join()
        sys.setswitchinterval(previous)


@requires_tvm
def test_query_releases_the_interpreter_lock_while_the_library_works():
    during, rate, elapsed = ticks_during(lambda: hwinquire.hwinquire_parameter(SLOW_ARCH, "channels"))
    # Holding the lock, the caller would let the ticker run for one switch
    # interval (1 ms) at most, after the call; released, the ticker runs
    # through the call.  A quarter of the free pace over the whole call leaves
    # room for a busy machine.
    assert elapsed > 0.02, "the slow configuration was read too fast to measure"
    assert during > 0.25 * rate * elapsed > 10 * rate * 0.001, (during, rate, elapsed)


@requires_tvm
def test_the_measure_sees_a_call_that_keeps_the_lock():
    # The same library entered through ctypes.PyDLL, which keeps the lock.
    from vexatvm_internal import _dynbind

    entry = ctypes.PyDLL(_dynbind._find_lib()).HwinquireParameter_Py
    entry.argtypes = (ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t)
    buffer = ctypes.create_string_buffer(40)
    during, rate, elapsed = ticks_during(lambda: entry(SLOW_ARCH.encode(), b"channels", buffer, 40))
    assert elapsed > 0.02
    assert during < 0.25 * rate * elapsed, (during, rate, elapsed)


ARCHS = ("vexa-nano", "vexa-lite", "vexa-pro", "vexa-max")


@functools.cache
def shared_network():
    """One typed network holding the chains of many random networks (grouped
    convolutions and poolings whose verdict depends on the architecture
    among them), and its nodes."""
    import random

    import tvm
    from tvm import relay

    sys.path.insert(0, str(ROOT / "fuzz"))
    import relay_gen

    relay_gen.quiet_type_errors()
    bodies = []
    for seed in range(30):
        body = relay_gen.random_expr(relay_gen.Draw(random.Random(seed)), max_nodes=12, typed=True)
        bodies.append(body)
    body = relay.Tuple(bodies)
    mod = relay.transform.InferType()(tvm.IRModule.from_expr(relay.Function(relay.analysis.free_vars(body), body)))
    return mod, relay_gen.post_order(mod["main"])


def verdicts(checks, nodes):
    outcomes = []
    for node in nodes:
        for check in checks:
            try:
                outcomes.append(check(node))
            except Exception as error:
                outcomes.append(type(error))
    return outcomes


@requires_tvm
def test_checks_from_eight_threads_on_one_network_agree_with_one_thread():
    from vexa_host import partition as driver
    from vexa_host.build_module import BuildConfig
    from vexatvm_internal import patterns

    tables = (patterns.pattern_table, patterns.pattern_table_vexa_f32)
    checks = sorted({entry[2] for table in tables for entry in table() if len(entry) == 3}, key=lambda c: c.__name__)
    mod, nodes = shared_network()
    expected = {}
    for arch in ARCHS:
        with BuildConfig.for_arch(arch), driver._Network(mod["main"]):
            expected[arch] = verdicts(checks, nodes)
    assert len({tuple(map(str, v)) for v in expected.values()}) > 1, "no verdict depends on the architecture"

    def work(thread):
        arch = ARCHS[thread % len(ARCHS)]
        with BuildConfig.for_arch(arch), driver._Network(mod["main"]):
            assert verdicts(checks, nodes) == expected[arch], (thread, arch)

    assert run_threads(8, work) == []


@requires_tvm
def test_partitions_from_several_threads_match_one_thread():
    import tvm

    from vexa_host.build_module import BuildConfig
    from vexa_host.partition import partition
    from vexatvm_internal import patterns

    mod, _ = shared_network()
    cases = [(arch, table) for arch in ARCHS[:2] for table in (patterns.pattern_table, patterns.pattern_table_vexa_f32)]
    expected = []
    for arch, table in cases:
        with BuildConfig.for_arch(arch):
            expected.append(partition(mod, table()))
    results = {}

    def work(thread):
        arch, table = cases[thread]
        with BuildConfig.for_arch(arch):
            results[thread] = partition(mod, table())

    assert run_threads(len(cases), work) == []
    assert all(tvm.ir.structural_equal(results[i], expected[i]) for i in range(len(cases)))


# The first calls into each module from many threads at once, in a fresh
# process: a module that fetches what it needs lazily must not make one
# thread wait for another while holding the interpreter lock.
FIRST_CALLS = """
import sys, threading
sys.path.insert(0, {host!r})
import vexa_host
vexa_host.install()
import tvm
from tvm import relay
from vexa_host import _native
from vexatvm_internal import graphmeld, patterns

x = relay.var("x", shape=(1, 4, 4, 8))
mod = relay.transform.InferType()(tvm.IRModule.from_expr(relay.Function([x], relay.nn.relu(x))))
call = mod["main"].body
calls = {{
    "patterns": lambda i: (patterns.check_fp32, patterns.is_captured, patterns.check_qnn_add)[i % 3](call),
    "graphmeld": lambda i: graphmeld.fuse_graphmeld([mod], [{{}}], i % 2 == 0),
    "host": lambda i: (_native.find_calls(call, "nn.relu"), _native.nesting_depth(mod)),
}}
for module, first_call in calls.items():
    barrier = threading.Barrier({threads})

    def work(i):
        barrier.wait()
        try:
            first_call(i)
        except Exception:
            pass  # a check may refuse the call: only hangs count here

    threads = [threading.Thread(target=work, args=(i,)) for i in range({threads})]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
print("answered")
"""


@requires_tvm
def test_first_calls_from_many_threads_never_hang():
    import os
    import subprocess

    code = FIRST_CALLS.format(host=str(ROOT / "standin" / "host"), threads=12)
    env = dict(os.environ, TVM_LIBRARY_PATH=str(ROOT / "standin" / "lib"))
    runs = [
        subprocess.Popen(
            [sys.executable, "-c", code], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
        )
        for _ in range(10)
    ]
    hung = 0
    for run in runs:
        try:
            out, err = run.communicate(timeout=120)
        except subprocess.TimeoutExpired:
            run.kill()
            run.communicate()
            hung += 1
            continue
        assert run.returncode == 0 and out == "answered\n", err
    assert hung == 0, f"{hung} of {len(runs)} processes never returned"
