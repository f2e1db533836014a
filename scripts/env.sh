# Sourced by the run scripts: the environment the package runs in.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# TVM's library directory list starts with TVM_LIBRARY_PATH; the package finds
# the native library (here: the stand-in) through that list.
export TVM_LIBRARY_PATH="$ROOT/standin/lib"
PY="$ROOT/.venv/bin/python"
