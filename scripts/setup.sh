#!/usr/bin/env bash
# Sets up everything the project needs, idempotently: Debian packages, the
# virtual environment in .venv/ with pinned Python packages, and the in-place
# build of the extension modules and of the native-library stand-in.
# Quick when everything is already in place.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
PY="$VENV/bin/python"
APT_PACKAGES=(gcc g++ libyaml-cpp-dev)
# Where a wheel of apache-tvm may be provided when the package index lacks it.
TVM_WHEEL_DIR="${TVM_WHEEL_DIR:-$ROOT/../shared/wheels}"

log() { echo "[setup] $*" >&2; }

install_debian_packages() {
  if dpkg -s "${APT_PACKAGES[@]}" >/dev/null 2>&1; then
    return
  fi
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  log "installing Debian packages: ${APT_PACKAGES[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${APT_PACKAGES[@]}" >/dev/null
}

create_venv() {
  if [ ! -x "$PY" ]; then
    log "creating virtual environment in .venv"
    python3.11 -m venv "$VENV" 2>/dev/null || python3 -m venv "$VENV"
  fi
}

install_python_packages() {
  local stamp="$VENV/.constraints.sha" wanted
  wanted="$(sha256sum "$ROOT/constraints.txt" | cut -d' ' -f1)"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
    return
  fi
  log "installing pinned Python packages"
  "$PY" -m pip install -q --disable-pip-version-check -c "$ROOT/constraints.txt" \
    numpy PyYAML pytest pybind11 scikit-build-core cmake ninja
  echo "$wanted" >"$stamp"
}

# Apache TVM with Relay (apache-tvm 0.14.dev273).  When it cannot be had, the
# build and the tests that do not need it still run; everything that needs it
# says so.
install_tvm() {
  if "$PY" -c "import tvm.relay" >/dev/null 2>&1; then
    return
  fi
  local find_links=()
  [ -d "$TVM_WHEEL_DIR" ] && find_links=(--find-links "$TVM_WHEEL_DIR")
  log "installing apache-tvm (pinned in constraints.txt)"
  if ! "$PY" -m pip install -q --disable-pip-version-check "${find_links[@]}" \
      -c "$ROOT/constraints.txt" apache-tvm 2>"$VENV/tvm-install.log"; then
    log "WARNING: Apache TVM with Relay could not be installed (see .venv/tvm-install.log);"
    log "         the modules that need it cannot be imported and their tests are skipped."
  fi
}

build() {
  export PATH="$VENV/bin:$PATH"
  if [ -f "$ROOT/build.ninja" ] && ls "$VENV"/lib/python3*/site-packages/_editable_skbc_vexatvm_internal.pth >/dev/null 2>&1; then
    cmake --build "$ROOT" >/dev/null
    return
  fi
  log "building the extension modules in place"
  "$PY" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps -e "$ROOT"
}

install_debian_packages
create_venv
install_python_packages
install_tvm
build
