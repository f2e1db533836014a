#!/usr/bin/env bash
# Sets up everything the project needs, idempotently: Debian packages, the
# virtual environment in .venv/ with pinned Python packages and TVM with Relay,
# and the in-place build of the extension modules and of the native-library
# stand-in.  Quick when everything is already in place.
#
# TVM with Relay: a TVM whose `tvm.relay` already imports in .venv is used as it
# is (for instance a user's own Apache TVM 0.14 to 0.19).  Otherwise setup
# installs hhb-tvm 3.2.3 (a redistribution of Apache TVM 0.16.dev0 with Relay):
# its wheels are tagged for Python 3.10 and older only, so the Python 3.10
# wheel is downloaded, retagged for the running interpreter and kept in
# ${XDG_CACHE_HOME:-~/.cache}/vexatvm/wheels/, so that a second set-up on the
# same machine downloads nothing.  TVM_WHEEL_DIR, when set, names a directory
# holding the TVM wheel to install instead (apache_tvm-*, hhb_tvm-* or tvm-*.whl).
#
# Any failure stops the set-up with one line saying what failed; the "set up"
# stamp is written only after the Python packages and TVM are all installed.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
PY="$VENV/bin/python"
STAMP="$VENV/.setup-stamp"
LOG="$VENV/setup.log"
APT_PACKAGES=(gcc g++ libyaml-cpp-dev graphviz)
# The project's Python packages (versions: constraints.txt).  `wheel` retags the
# TVM wheel; onnx is the ONNX importer's input format.
PYTHON_PACKAGES=(numpy PyYAML pytest pybind11 scikit-build-core cmake ninja wheel setuptools onnx protobuf atheris ruff clang-format)
# What `import tvm.relay` needs besides TVM's declared dependencies.
TVM_EXTRA_PACKAGES=(tqdm tflite)
HHB_TVM_VERSION=3.2.3
# sha256 of hhb_tvm-3.2.3-cp310-cp310-manylinux1_x86_64.whl as the index serves it.
HHB_TVM_SHA256=b0ca0e3ecb7d15c3df15d59492a41f41c5a78d470fcbd17b8a493fabf2387148
TVM_WHEEL_DIR="${TVM_WHEEL_DIR:-}"
CACHE_DIR="${XDG_CACHE_HOME:-${HOME:?}/.cache}/vexatvm"

log() { echo "[setup] $*" >&2; }
fail() {
  echo "[setup] ERROR: $*" >&2
  exit 1
}

TEMP_DIRS=()
cleanup() { [ ${#TEMP_DIRS[@]} -eq 0 ] || rm -rf "${TEMP_DIRS[@]}"; }
trap cleanup EXIT

# pip, quiet, its output appended to .venv/setup.log.
pip_logged() {
  "$PY" -m pip --disable-pip-version-check "$@" >>"$LOG" 2>&1
}

install_debian_packages() {
  if dpkg -s "${APT_PACKAGES[@]}" >/dev/null 2>&1; then
    return
  fi
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  log "installing Debian packages: ${APT_PACKAGES[*]}"
  $sudo apt-get update -qq >/dev/null 2>&1 || fail "apt-get update failed (needed to install ${APT_PACKAGES[*]})"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${APT_PACKAGES[@]}" >/dev/null 2>&1 ||
    fail "installing the Debian packages ${APT_PACKAGES[*]} failed (run: apt-get install ${APT_PACKAGES[*]})"
}

create_venv() {
  if [ ! -x "$PY" ]; then
    log "creating virtual environment in .venv"
    python3.11 -m venv "$VENV" 2>/dev/null || python3 -m venv "$VENV" ||
      fail "creating the virtual environment .venv failed (needs python3.11 with its venv module)"
  fi
}

# Prints the state of TVM in the virtual environment: "ok VERSION" when
# `tvm.relay` imports, "missing" when there is no `tvm` package, "ours ERROR"
# when hhb-tvm is installed but does not import (a dependency missing), and
# "other DISTRIBUTION ERROR" for another TVM that does not import.
tvm_state() {
  "$PY" - 2>>"$LOG" <<'EOF'
import importlib.metadata, importlib.util
try:
    import tvm
    import tvm.relay
    print("ok", tvm.__version__)
except Exception as error:
    reason = f"{type(error).__name__}: {error}".splitlines()[0]
    if importlib.util.find_spec("tvm") is None:
        print("missing")
    else:
        owners = importlib.metadata.packages_distributions().get("tvm") or ["an unknown distribution"]
        print("ours" if owners == ["hhb-tvm"] else "other " + ",".join(owners), reason)
EOF
}

# Sets TVM_WHEEL to the wheel of TVM_WHEEL_DIR: the one TVM wheel there, or the
# one of several that is tagged for the running interpreter.
wheel_from_dir() {
  [ -d "$TVM_WHEEL_DIR" ] || fail "TVM_WHEEL_DIR=$TVM_WHEEL_DIR is not a directory"
  local tag wheels=() matching=() wheel
  tag="$("$PY" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
  shopt -s nullglob
  wheels=("$TVM_WHEEL_DIR"/{apache_tvm,hhb_tvm,tvm}-*.whl)
  shopt -u nullglob
  if [ ${#wheels[@]} -gt 1 ]; then
    for wheel in "${wheels[@]}"; do
      case "$(basename "$wheel")" in *"-$tag-"* | *-py3-none-*) matching+=("$wheel") ;; esac
    done
    wheels=("${matching[@]}")
  fi
  [ ${#wheels[@]} -eq 1 ] ||
    fail "TVM_WHEEL_DIR=$TVM_WHEEL_DIR holds ${#wheels[@]} TVM wheels for $tag (apache_tvm-*, hhb_tvm-* or tvm-*.whl); one is needed"
  TVM_WHEEL="${wheels[0]}"
}

# Sets TVM_WHEEL to hhb-tvm's wheel retagged for the running interpreter, from
# the cache, or downloaded, checked and retagged into the cache.
cached_hhb_tvm_wheel() {
  local tag cached=() tmp downloaded retagged=()
  tag="$("$PY" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
  shopt -s nullglob
  cached=("$CACHE_DIR/wheels/hhb_tvm-$HHB_TVM_VERSION-$tag-$tag-"*.whl)
  shopt -u nullglob
  if [ ${#cached[@]} -gt 0 ]; then
    TVM_WHEEL="${cached[0]}"
    return
  fi
  mkdir -p "$CACHE_DIR/wheels" || fail "cannot create the cache directory $CACHE_DIR/wheels"
  tmp="$(mktemp -d "$CACHE_DIR/.download.XXXXXX")" || fail "cannot create a directory in $CACHE_DIR"
  TEMP_DIRS+=("$tmp")
  log "downloading hhb-tvm $HHB_TVM_VERSION (the Python 3.10 wheel, 64 MB) into $CACHE_DIR/wheels"
  pip_logged download -q --no-deps --only-binary=:all: --python-version 3.10 "hhb-tvm==$HHB_TVM_VERSION" -d "$tmp" ||
    fail "downloading hhb-tvm==$HHB_TVM_VERSION failed (pip's output: .venv/setup.log)"
  downloaded="$tmp/hhb_tvm-$HHB_TVM_VERSION-cp310-cp310-manylinux1_x86_64.whl"
  [ -f "$downloaded" ] ||
    fail "pip downloaded no hhb_tvm-$HHB_TVM_VERSION-cp310-cp310-manylinux1_x86_64.whl (only built for Linux x86_64)"
  [ "$(sha256sum "$downloaded" | cut -d' ' -f1)" = "$HHB_TVM_SHA256" ] ||
    fail "the downloaded $(basename "$downloaded") does not have the expected sha256 $HHB_TVM_SHA256"
  if [ "$tag" != cp310 ]; then
    "$PY" -m wheel tags --python-tag "$tag" --abi-tag "$tag" --remove "$downloaded" >>"$LOG" 2>&1 ||
      fail "retagging $(basename "$downloaded") for $tag with 'python -m wheel tags' failed (output: .venv/setup.log)"
  fi
  shopt -s nullglob
  retagged=("$tmp/hhb_tvm-$HHB_TVM_VERSION-$tag-$tag-"*.whl)
  shopt -u nullglob
  [ ${#retagged[@]} -eq 1 ] || fail "retagging $(basename "$downloaded") for $tag produced no wheel"
  # A rename within the cache directory: the cache never holds a partial wheel.
  mv -f "${retagged[0]}" "$CACHE_DIR/wheels/" || fail "cannot move the retagged wheel into $CACHE_DIR/wheels"
  TVM_WHEEL="$CACHE_DIR/wheels/$(basename "${retagged[0]}")"
}

# TVM with Relay: used as it is when it imports; otherwise installed from
# TVM_WHEEL_DIR or from hhb-tvm's retagged wheel.
install_tvm() {
  local state
  state="$(tvm_state)" || fail "checking for TVM in .venv failed (details: .venv/setup.log)"
  case "$state" in
    ok\ *)
      log "TVM ${state#ok } with Relay is installed in .venv: using it"
      return
      ;;
    other\ *)
      fail "the TVM installed in .venv (${state#other }) does not import tvm.relay: fix or uninstall it"
      ;;
  esac
  TVM_WHEEL=""
  if [ -n "$TVM_WHEEL_DIR" ]; then
    wheel_from_dir
  else
    cached_hhb_tvm_wheel
  fi
  local name
  name="$(basename "$TVM_WHEEL")"
  log "installing $name and its dependencies into .venv"
  pip_logged install -q -c "$ROOT/constraints.txt" "$TVM_WHEEL" "${TVM_EXTRA_PACKAGES[@]}" ||
    fail "installing TVM from $name into .venv failed (pip's output: .venv/setup.log)"
  state="$(tvm_state)" || true
  if [ "${state%% *}" != ok ]; then
    # No half-working TVM left behind: take out what cannot import tvm.relay.
    pip_logged uninstall -y "$(echo "$name" | cut -d- -f1 | tr _ -)" || true
    fail "TVM from $name was installed but 'import tvm.relay' fails (${state#* }); it was uninstalled again"
  fi
}

install_python_packages() {
  local wanted
  wanted="$(cat "$ROOT/constraints.txt" "$ROOT/scripts/setup.sh" | sha256sum | cut -d' ' -f1)"
  if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$wanted" ]; then
    return
  fi
  rm -f "$STAMP" "$VENV/.constraints.sha"
  : >"$LOG"
  log "installing pinned Python packages (constraints.txt)"
  pip_logged install -q -c "$ROOT/constraints.txt" "${PYTHON_PACKAGES[@]}" ||
    fail "installing the pinned Python packages into .venv failed (pip's output: .venv/setup.log)"
  install_tvm
  # The `vexatvm` command (host-side tooling, tools/vexatvm/), editable.
  pip_logged install -q --no-build-isolation --no-deps -e "$ROOT/tools/vexatvm" ||
    fail "installing the vexatvm command failed (pip's output: .venv/setup.log)"
  echo "$wanted" >"$STAMP"
}

# The extension modules are built by CMake in build/inplace/ and written next
# to the package's __init__.py (CMakeLists.txt sets their output directory), so
# the source tree stays free of build files.  The package is importable from
# src/ through a .pth file, and the console script is a two-line launcher: what
# an editable install would give, without its in-source CMake tree.
BUILD_DIR="$ROOT/build/inplace"

configure() {
  cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$PY" \
    -Dpybind11_DIR="$("$PY" -m pybind11 --cmakedir)"
}

link_package() {
  local site
  site="$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
  # Leftovers of the former editable install, whose CMake tree was the source tree.
  rm -f "$site"/_editable_skbc_vexatvm_internal.* "$site"/_vexatvm_internal_editable.py
  rm -rf "$site"/vexatvm_internal-*.dist-info
  rm -rf "$ROOT"/CMakeCache.txt "$ROOT"/CMakeFiles "$ROOT"/CMakeInit.txt "$ROOT"/cmake_install.cmake \
    "$ROOT"/build.ninja "$ROOT"/.ninja_deps "$ROOT"/.ninja_log "$ROOT"/.skbuild-info.json
  echo "$ROOT/src" >"$site/vexatvm_internal.pth"
  printf '#!%s\nfrom vexatvm_internal.release_tag import _main\nraise SystemExit(_main())\n' "$PY" \
    >"$VENV/bin/vexa-release-tag"
  chmod +x "$VENV/bin/vexa-release-tag"
}

build() {
  export PATH="$VENV/bin:$PATH"
  local build_log="$VENV/build.log"
  if [ ! -f "$BUILD_DIR/build.ninja" ]; then
    log "building the extension modules (CMake tree: build/inplace)"
    if ! configure >"$build_log" 2>&1; then
      tail -n 40 "$build_log" >&2
      fail "configuring the build of the extension modules failed (full output: .venv/build.log)"
    fi
  fi
  if ! cmake --build "$BUILD_DIR" -j 2 >>"$build_log" 2>&1; then
    tail -n 40 "$build_log" >&2
    fail "building the extension modules failed (full output: .venv/build.log)"
  fi
  link_package
}

install_debian_packages
create_venv
install_python_packages
build
