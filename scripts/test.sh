#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite (extra arguments go to pytest).
set -euo pipefail
"$(dirname "${BASH_SOURCE[0]}")/setup.sh"
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
exec "$PY" -m pytest "$@"
