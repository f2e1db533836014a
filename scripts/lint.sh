#!/usr/bin/env bash
# Style checks: ruff's linter and formatter on the Python code, clang-format on
# the C and C++ code (configuration: pyproject.toml, .clang-format).  Fails on
# the first finding; `scripts/lint.sh --fix` rewrites the files instead.
set -euo pipefail
"$(dirname "${BASH_SOURCE[0]}")/setup.sh"
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
BIN="$ROOT/.venv/bin"
mapfile -t native < <(git ls-files -co --exclude-standard -- '*.c' '*.cpp' '*.hpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  "$BIN/ruff" check --fix --quiet .
  "$BIN/ruff" format --quiet .
  "$BIN/clang-format" -i "${native[@]}"
  exit 0
fi
"$BIN/ruff" check --quiet .
"$BIN/ruff" format --check --quiet .
"$BIN/clang-format" --dry-run -Werror "${native[@]}"
