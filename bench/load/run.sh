#!/usr/bin/env bash
# 1000 concurrent sessions mixing deliveries and retrievals, in alternating runs with
# --log-level quiet and normal (the event log to a file, as a journal takes it): each run's
# table, then what logging every event costs in delivered messages per second.
set -euo pipefail
build="${1:-$(dirname "$0")/../../build}"
exec python3 "$(dirname "$0")/load.py" "$build/brevin" --sessions "${LOAD_SESSIONS:-1000}" \
    --seconds "${LOAD_SECONDS:-30}" --log-cost "${LOAD_ROUNDS:-2}"
