#!/usr/bin/env bash
# Runs one fuzz target for a given time:
#   scripts/fuzz.sh [--gcc] TARGET SECONDS [libFuzzer options]
# Targets: hwinquire, standin_yaml, release_tag, graphmeld, checks, vexatvm (fuzz/targets/).
#
# By default the C++ modules the target uses are built with clang's libFuzzer
# coverage instrumentation (-fsanitize=fuzzer-no-link, CMake option
# VEXA_FUZZ_COVERAGE) in a copy of the source tree, build/fuzz/tree/, and the
# run imports them from there, so that their branches guide the fuzzer as
# well as the harness's Python code.  The copy is refreshed from the working
# tree and rebuilt incrementally on every run; hwinquire, standin_yaml and
# release_tag need only the small modules and the stand-in library, checks,
# graphmeld and vexatvm also the large TVM modules (patterns, graphmeld and
# the host stand-in's _native), whose first build takes a long while.
# libtvm.so, numpy and the interpreter are not instrumented.  libFuzzer comes
# preloaded (atheris's ubsan_with_fuzzer.so, libFuzzer with the UBSan
# runtime), so the instrumented modules find its coverage hooks whenever
# they are loaded.  --gcc runs on the ordinary in-place GCC build instead:
# Python coverage only, no clang build.
#
# The corpus grows in build/fuzz/corpus/TARGET/ from run to run (seeded from
# fuzz/seeds/TARGET/); a failing input is saved as
# build/fuzz/artifacts/TARGET-crash-* (or -timeout-*, -oom-*) and the run
# exits non-zero.  Replay one with:
#   scripts/fuzz.sh TARGET 0 build/fuzz/artifacts/TARGET-crash-...
# (a file argument runs that input once), or on the GCC build with
#   .venv/bin/python fuzz/run.py TARGET build/fuzz/artifacts/TARGET-crash-...
set -euo pipefail
NATIVE=1
if [ "${1:-}" = "--gcc" ]; then
  NATIVE=0
  shift
fi
if [ $# -lt 2 ]; then
  echo "usage: $0 [--gcc] TARGET SECONDS [libFuzzer options]" >&2
  exit 2
fi
TARGET="$1"
SECONDS_TO_RUN="$2"
shift 2
case "$TARGET" in
  hwinquire | standin_yaml | release_tag) MODULES="_dynbind hwinquire release_tag vexakdr_standin" ;;
  checks | graphmeld | vexatvm) MODULES="_dynbind hwinquire release_tag vexakdr_standin patterns graphmeld _native" ;;
  *)
    echo "[fuzz] ERROR: unknown target '$TARGET' (hwinquire, standin_yaml, release_tag, graphmeld, checks, vexatvm)" >&2
    exit 2
    ;;
esac
HERE="$(dirname "${BASH_SOURCE[0]}")"
"$HERE/setup.sh"
source "$HERE/env.sh"
CORPUS="$ROOT/build/fuzz/corpus/$TARGET"
ARTIFACTS="$ROOT/build/fuzz/artifacts"
SEEDS="$ROOT/fuzz/seeds/$TARGET"
mkdir -p "$CORPUS" "$ARTIFACTS"
RUN_PY="$ROOT/fuzz/run.py"

if [ "$NATIVE" = 1 ]; then
  source "$HERE/tree_copy.sh"
  if ! command -v clang++ >/dev/null 2>&1; then
    echo "[fuzz] installing the Debian package clang" >&2
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    { $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq clang; } >/dev/null 2>&1 || {
      echo "[fuzz] ERROR: installing the Debian package clang failed (run: apt-get install clang, or use --gcc)" >&2
      exit 1
    }
  fi
  TREE="$ROOT/build/fuzz/tree"
  LOG="$ROOT/build/fuzz/build.log"
  copy_tree "$TREE"
  export PATH="$ROOT/.venv/bin:$PATH"
  if [ ! -f "$TREE/build.ninja" ]; then
    # -O1 with line tables: fast enough to fuzz, and a fraction of the build
    # time of -O2 for the modules that include TVM's headers.
    CC=clang CXX=clang++ cmake -S "$TREE" -B "$TREE" -G Ninja -DVEXA_FUZZ_COVERAGE=ON -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_CXX_FLAGS_DEBUG="-O1 -gline-tables-only" -DCMAKE_C_FLAGS_DEBUG="-O1 -gline-tables-only" \
      -DPython_EXECUTABLE="$PY" -Dpybind11_DIR="$("$PY" -m pybind11 --cmakedir)" >"$LOG" 2>&1 || {
      tail -n 40 "$LOG" >&2
      echo "[fuzz] ERROR: configuring the clang build failed (full output: $LOG)" >&2
      exit 1
    }
  fi
  echo "[fuzz] building $MODULES with coverage instrumentation in $TREE (log: $LOG)" >&2
  # shellcheck disable=SC2086
  cmake --build "$TREE" -j "$(nproc)" --target $MODULES >>"$LOG" 2>&1 || {
    tail -n 40 "$LOG" >&2
    echo "[fuzz] ERROR: the clang build failed (full output: $LOG)" >&2
    exit 1
  }
  use_tree "$TREE"
  require_tree_package "$TREE" fuzz
  RUN_PY="$TREE/fuzz/run.py"
  export LD_PRELOAD="$("$PY" -c 'import atheris; print(atheris.path())')/ubsan_with_fuzzer.so"
fi

CORPORA=("$CORPUS")
[ -d "$SEEDS" ] && CORPORA+=("$SEEDS")
if [ "$SECONDS_TO_RUN" = 0 ]; then
  # Replay the files given as options, once each.
  exec "$PY" "$RUN_PY" "$TARGET" -timeout=60 -rss_limit_mb=3072 "$@"
fi
# -timeout: one input taking longer is a hang; -rss_limit_mb: memory that
# keeps growing is a leak.  New inputs go to the first corpus directory only.
exec "$PY" "$RUN_PY" "$TARGET" -max_total_time="$SECONDS_TO_RUN" -timeout=60 -rss_limit_mb=3072 \
  -print_final_stats=1 -artifact_prefix="$ARTIFACTS/$TARGET-" "$@" "${CORPORA[@]}"
