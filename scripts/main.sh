#!/usr/bin/env bash
# Sets everything up, then runs the main job: the package version and the
# channel width of every architecture preset of the native library.
set -euo pipefail
"$(dirname "${BASH_SOURCE[0]}")/setup.sh"
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
exec "$PY" "$ROOT/scripts/main_job.py" "$@"
