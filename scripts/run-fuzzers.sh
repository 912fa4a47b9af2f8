#!/usr/bin/env bash
# Runs every libFuzzer target in BUILD/fuzz for SECONDS each, seeded from fuzz/corpus/<target>.
# A crash fails the run and leaves its input in fuzz-out/<target>/.
# Usage: run-fuzzers.sh BUILD SECONDS
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$1"
seconds="${2:-60}"
status=0
for target in "$build"/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name="$(basename "$target")"
    out="$root/fuzz-out/$name"
    mkdir -p "$out/corpus"
    rm -f "$out"/crash-* "$out"/leak-* "$out"/timeout-* "$out"/oom-*
    seeds="$root/fuzz/corpus/$name"
    [ -d "$seeds" ] || seeds=""
    echo "== $name for ${seconds}s"
    if ! "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$out/" \
        -rss_limit_mb=2048 "$out/corpus" $seeds 2>"$out/log.txt"; then
        tail -n 40 "$out/log.txt"
        echo "FAIL  $name found a crash: $(ls "$out"/crash-* "$out"/leak-* 2>/dev/null | head -1)"
        status=1
        continue
    fi
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$out/log.txt" | grep -o '[0-9]*$' || echo "?")
    echo "ok    $name: $runs executions, no crash"
done
exit $status
