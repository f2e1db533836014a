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

TREE="$ROOT/build/sanitize/tree"
mkdir -p "$TREE"

# Copy every file that git tracks or would track (not ignored), changed
# files only, keeping timestamps so that ninja rebuilds what changed; files
# gone from the working tree go from the copy too.  Build products in the
# copy are left in place.
"$PY" - "$ROOT" "$TREE" <<'EOF'
import filecmp, os, shutil, subprocess, sys
root, tree = sys.argv[1:]
listed = subprocess.run(["git", "-C", root, "ls-files", "-co", "--exclude-standard", "-z"],
                        check=True, capture_output=True).stdout.decode().split("\0")
wanted = {name for name in listed if name and os.path.isfile(os.path.join(root, name))}
for name in wanted:
    source, target = os.path.join(root, name), os.path.join(tree, name)
    if not os.path.exists(target) or not filecmp.cmp(source, target, shallow=False):
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(source, target)
products = (".so", ".o", ".pyc")
for top in {name.split("/", 1)[0] for name in wanted if "/" in name}:
    for folder, dirs, files in os.walk(os.path.join(tree, top)):
        dirs[:] = [d for d in dirs if d not in ("CMakeFiles", "__pycache__", "lib", ".pytest_cache")]
        for file in files:
            relative = os.path.relpath(os.path.join(folder, file), tree)
            if relative not in wanted and not file.endswith(products) and file != "cmake_install.cmake":
                os.remove(os.path.join(folder, file))
EOF
# The copy's run scripts find the project's virtual environment there.
ln -sfn "$ROOT/.venv" "$TREE/.venv"

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
export TVM_LIBRARY_PATH="$TREE/standin/lib"
# The copy's package, not the in-place build of the editable install: the
# install's import hook (which searches the working tree) is taken out at
# start-up, and the copy's sources come first on the path.
SITE="$ROOT/build/sanitize/site"
mkdir -p "$SITE"
cat >"$SITE/sitecustomize.py" <<'EOF'
import sys

sys.meta_path[:] = [f for f in sys.meta_path if type(f).__name__ != "ScikitBuildInplaceFinder"]
EOF
export PYTHONPATH="$SITE:$TREE/src${PYTHONPATH:+:$PYTHONPATH}"
"$PY" -c "import sys, vexatvm_internal as p; sys.exit(not p.__file__.startswith(sys.argv[1]))" "$TREE/" || {
  echo "[sanitize] ERROR: the package is not imported from the sanitizer build in $TREE" >&2
  exit 1
}
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:detect_odr_violation=0:strict_init_order=1:allocator_may_return_null=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
exec "$PY" -m pytest -p no:cacheprovider "$@"
