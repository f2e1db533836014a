"""Architecture query benchmark.

1. Binding overhead: time per call of `hwinquire_parameter` against the same
   algorithm written in plain Python with ctypes (the baseline), both calling
   a fake library that answers at once.  Target: C++ at least 3x faster.
2. Interpreter lock: calls per second from 1 and from 4 threads on the
   stand-in library with a large architecture text, so that the native call
   dominates.  Target: 4 threads above 1.5x one thread on two cores.

Run with TVM_LIBRARY_PATH pointing at standin/lib (scripts/env.sh does).
"""

import ctypes
import os
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FAKE_ANSWER = ROOT / "standin" / "lib" / "fakes" / "libfake-answer-128.so"

from vexatvm_internal import hwinquire  # noqa: E402


def python_rendition(library):
    """The query written in plain Python on ctypes: the baseline."""
    entry = library.HwinquireParameter_Py
    entry.argtypes = (ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t)
    entry.restype = ctypes.c_int

    def raw(arch, param_name):
        if not (arch is None or type(arch) is str) or not (param_name is None or type(param_name) is str):
            raise TypeError("wrong argument type")
        res = ctypes.create_string_buffer(40)
        status = entry(arch.encode("utf-8"), param_name.encode("utf-8"), res, 40)
        return res.value.decode("utf-8") if status == 0 else None

    def public(arch_val, param_name):
        if not (arch_val is None or type(arch_val) is str) or not (param_name is None or type(param_name) is str):
            raise TypeError("wrong argument type")
        r = raw(str(arch_val), str(param_name))
        if r is None or len(r) == 0:
            raise RuntimeError(f"Architecture query for {param_name} failed")
        return r

    return public


def per_call_seconds(function, calls=300_000, repeats=5):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(calls):
            function("arch: x", "channels")
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def calls_per_second(threads, arch, seconds=2.0):
    counts = [0] * threads
    stop = time.perf_counter() + seconds

    def worker(slot):
        n = 0
        while time.perf_counter() < stop:
            hwinquire.hwinquire_parameter(arch, "channels")
            n += 1
        counts[slot] = n

    pool = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    begin = time.perf_counter()
    for thread in pool:
        thread.start()
    for thread in pool:
        thread.join()
    return sum(counts) / (time.perf_counter() - begin)


def main():
    fake = ctypes.CDLL(str(FAKE_ANSWER))
    baseline = per_call_seconds(python_rendition(fake))
    hwinquire._cpp_lib = fake  # the module looks its library up at call time
    ours = per_call_seconds(hwinquire.hwinquire_parameter)
    print(
        f"per call, fake library: python+ctypes {baseline * 1e6:.3f} us, C++ {ours * 1e6:.3f} us, "
        f"ratio {baseline / ours:.2f}x (target >= 3)"
    )

    from vexatvm_internal import _dynbind

    hwinquire._cpp_lib = _dynbind._cpp_lib
    # A long description text keeps the library busy scanning rather than
    # allocating nodes, so that the figure shows the lock, not the allocator.
    large_arch = 'notes: "' + "abcdefgh " * 40_000 + '"\nchannels: 32\n'

    assert hwinquire.hwinquire_parameter(large_arch, "channels") == "32"
    one = calls_per_second(1, large_arch)
    four = calls_per_second(4, large_arch)
    print(
        f"stand-in, {len(large_arch)} bytes of YAML: 1 thread {one:.1f} calls/s, 4 threads {four:.1f} calls/s, "
        f"ratio {four / one:.2f}x (target > 1.5 on {os.cpu_count()} cores)"
    )


if __name__ == "__main__":
    sys.exit(main())
