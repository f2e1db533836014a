#!/usr/bin/env bash
# Builds the extension modules and the native-library stand-ins with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs the test suite on
# that build (extra arguments go to pytest, e.g. `scripts/sanitize.sh -x tests/test_hwinquire.py`).
#
# The build lives in a copy of the source tree, build/sanitize/tree/, laid
# out like the tree itself (the modules next to __init__.py, the stand-in
# library in standin/lib/), so the ordinary in-place build is left alone.
# The copy is refreshed from the working tree on every run and rebuilt
# incrementally.  The interpreter, numpy and TVM's libtvm.so are not
# instrumented, so the sanitizer runtimes are preloaded; leak detection is
# off because the uninstrumented interpreter and TVM keep memory until exit
# by design.  Any sanitizer report aborts the process, which fails the run.
set -euo pipefail
"$(dirname "${BASH_SOURCE[0]}")/setup.sh"
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

source "$(dirname "${BASH_SOURCE[0]}")/tree_copy.sh"

TREE="$ROOT/build/sanitize/tree"
copy_tree "$TREE"

export PATH="$ROOT/.venv/bin:$PATH"
LOG="$ROOT/build/sanitize/build.log"
if [ ! -f "$TREE/build.ninja" ]; then
  # -O1 with line tables: the sanitizers' own advice, and a build that takes
  # a fraction of the time of -O2 with full debug information.
  cmake -S "$TREE" -B "$TREE" -G Ninja -DVEXA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
    -DCMAKE_C_FLAGS_DEBUG="-O1 -g1" \
    -DPython_EXECUTABLE="$PY" -Dpybind11_DIR="$("$PY" -m pybind11 --cmakedir)" >"$LOG" 2>&1 ||
    {
      tail -n 40 "$LOG" >&2
      echo "[sanitize] ERROR: configuring the sanitizer build failed (full output: $LOG)" >&2
      exit 1
    }
fi
# SANITIZE_TARGETS (space-separated CMake targets) limits the build, e.g. to
# the modules without TVM on a slow machine; the tests then need the others
# from an earlier complete build of the copy.
# shellcheck disable=SC2086
cmake --build "$TREE" -j "$(nproc)" ${SANITIZE_TARGETS:+--target $SANITIZE_TARGETS} >>"$LOG" 2>&1 || {
  tail -n 40 "$LOG" >&2
  echo "[sanitize] ERROR: the sanitizer build failed (full output: $LOG)" >&2
  exit 1
}

cd "$TREE"
use_tree "$TREE"
require_tree_package "$TREE" sanitize
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:detect_odr_violation=0:strict_init_order=1:allocator_may_return_null=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
exec "$PY" -m pytest -p no:cacheprovider "$@"
