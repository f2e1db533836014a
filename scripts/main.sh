#!/usr/bin/env bash
# Sets everything up, then runs the main job: the package version, the channel
# width of every architecture preset of the native library, and the partition
# reports of the built-in sample networks (`vexatvm partition`; extra
# arguments go to it, e.g. --arch vexa-max, --json, --explain).
set -euo pipefail
"$(dirname "${BASH_SOURCE[0]}")/setup.sh"
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
"$PY" "$ROOT/scripts/main_job.py"
echo
exec "$ROOT/.venv/bin/vexatvm" partition --quiet "$@"
