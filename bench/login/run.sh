#!/usr/bin/env bash
# Logins under load, and delivery over submission beside port 25 (loopback).
set -euo pipefail
build="${1:-$(dirname "$0")/../../build}"
exec python3 "$(dirname "$0")/login.py" "$(cd "$build" && pwd)/brevin"
