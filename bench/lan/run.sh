#!/usr/bin/env bash
# Log volume under an RCPT flood and delivery rate with the free-space claims (loopback).
# BREVIN_BEFORE=path/to/an/earlier/brevin adds its log volume for comparison.
set -euo pipefail
build="${1:-$(dirname "$0")/../../build}"
exec python3 "$(dirname "$0")/lan.py" "$build/brevin" ${BREVIN_BEFORE:+--before "$BREVIN_BEFORE"} \
    --seconds "${LAN_SECONDS:-5}"
