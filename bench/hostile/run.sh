#!/usr/bin/env bash
# Password guessing and banner latency under attack from one host (loopback).
set -euo pipefail
build="${1:-$(dirname "$0")/../../build}"
exec python3 "$(dirname "$0")/hostile.py" "$build/brevin" --seconds "${HOSTILE_SECONDS:-20}"
