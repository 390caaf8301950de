#!/usr/bin/env bash
# Runs the four fuzz targets for a bounded time each (default 60 seconds), one after another,
# from the seed corpus. Needs the package and atheris installed in the venv given as PYTHON
# (default .venv/bin/python). New inputs go to a scratch folder; a finding stops the run with the
# failing input saved as fuzz/findings/<target>-crash-*.
#   bash fuzz/run-fuzzers.sh [seconds]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="${PYTHON:-$ROOT/.venv/bin/python}"
SECONDS_EACH="${1:-60}"
SCRATCH="$(mktemp -d)"
trap 'rm -rf "$SCRATCH"' EXIT
mkdir -p "$ROOT/fuzz/findings"
for target in engine complexity lorepick detect; do
    mkdir -p "$SCRATCH/$target"
    echo "== $target (${SECONDS_EACH}s)"
    status=0
    "$PYTHON" "$ROOT/fuzz/fuzz_$target.py" "$SCRATCH/$target" "$ROOT/fuzz/corpus/$target" \
        -max_total_time="$SECONDS_EACH" -artifact_prefix="$ROOT/fuzz/findings/$target-" \
        -print_final_stats=1 >"$SCRATCH/$target.log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        tail -n 40 "$SCRATCH/$target.log"
        exit "$status"
    fi
    grep -E "DONE|stat::number_of_executed_units" "$SCRATCH/$target.log"
done
