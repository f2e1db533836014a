#!/usr/bin/env bash
# Runs one fuzz target for a given time:  scripts/fuzz.sh TARGET SECONDS [libFuzzer options]
# Targets: hwinquire, standin_yaml, release_tag, graphmeld, checks (fuzz/targets/).
# The corpus grows in build/fuzz/corpus/TARGET/ from run to run; a failing
# input is saved as build/fuzz/artifacts/TARGET-crash-* (or -timeout-*, -oom-*)
# and the run exits non-zero.  Replay one with:
#   .venv/bin/python fuzz/run.py TARGET build/fuzz/artifacts/TARGET-crash-...
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: $0 TARGET SECONDS [libFuzzer options]" >&2
  exit 2
fi
TARGET="$1"
SECONDS_TO_RUN="$2"
shift 2
"$(dirname "${BASH_SOURCE[0]}")/setup.sh"
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
CORPUS="$ROOT/build/fuzz/corpus/$TARGET"
ARTIFACTS="$ROOT/build/fuzz/artifacts"
mkdir -p "$CORPUS" "$ARTIFACTS"
# -timeout: one input taking longer is a hang; -rss_limit_mb: memory that
# keeps growing is a leak.
exec "$PY" "$ROOT/fuzz/run.py" "$TARGET" -max_total_time="$SECONDS_TO_RUN" -timeout=60 -rss_limit_mb=3072 \
  -print_final_stats=1 -artifact_prefix="$ARTIFACTS/$TARGET-" "$@" "$CORPUS"
