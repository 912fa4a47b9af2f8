#!/usr/bin/env bash
# Runs every benchmark program (build/bench/bench_*) and every bench/*/run.sh, one after the
# other, each against the freshly built build/brevin. Usage: run-benchmarks.sh [BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
export BREVIN_BIN="$build/brevin"
status=0
for program in "$build"/bench/bench_*; do
    [ -x "$program" ] || continue
    echo "== $(basename "$program")"
    "$program" || status=1
    echo
done
for script in "$root"/bench/*/run.sh; do
    [ -x "$script" ] || continue
    echo "== $(basename "$(dirname "$script")")"
    "$script" "$build" || status=1
    echo
done
exit $status
