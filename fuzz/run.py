"""Runs one fuzz target under atheris (libFuzzer).

    python fuzz/run.py TARGET [libFuzzer options and corpus directories]

TARGET is a module of fuzz/targets/ (hwinquire, standin_yaml, release_tag,
graphmeld, checks, vexatvm).  Each defines `test_one_input(data)`, which raises only
when it finds a fault: an exception the function under test may not raise, a
wrong answer, or a changed input.  The process then stops with the failing
input saved as a crash file; a native crash or a hang (-timeout) stops it too.
Without -max_total_time or -runs the target runs until stopped.  A target
may also define `custom_mutator(data, max_size, seed)` (structure-aware
mutations) and `instrument_python()` (coverage of Python code beyond the
harness's own).
"""

import importlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [HERE, os.path.join(ROOT, "standin", "host")]
# The stand-in native library, unless the caller chose another.
os.environ.setdefault("TVM_LIBRARY_PATH", os.path.join(ROOT, "standin", "lib"))

import atheris  # noqa: E402

TARGETS = ("hwinquire", "standin_yaml", "release_tag", "graphmeld", "checks", "vexatvm")


def main(argv):
    if len(argv) < 2 or argv[1] not in TARGETS:
        sys.exit(f"usage: {argv[0]} TARGET [libFuzzer options]; targets: {', '.join(TARGETS)}")
    # The harness's own Python code (the target and the network generator) is
    # instrumented: its branches are the coverage that guides the mutations.
    with atheris.instrument_imports(include=["targets", "relay_gen"]):
        target = importlib.import_module(f"targets.{argv[1]}")
    if hasattr(target, "instrument_python"):
        target.instrument_python()
    atheris.Setup([argv[0]] + argv[2:], target.test_one_input, custom_mutator=getattr(target, "custom_mutator", None))
    atheris.Fuzz()


if __name__ == "__main__":
    main(sys.argv)
