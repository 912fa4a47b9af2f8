#!/usr/bin/env bash
# 1000 concurrent sessions mixing deliveries and retrievals for 60 seconds.
set -euo pipefail
build="${1:-$(dirname "$0")/../../build}"
exec python3 "$(dirname "$0")/load.py" "$build/brevin" --sessions "${LOAD_SESSIONS:-1000}" \
    --seconds "${LOAD_SECONDS:-60}"
