#!/usr/bin/env bash
# POP3 from the folder index on loopback: a 10,000-message login, and 40 logins at once to a
# 102,000-message mailbox beside a probe's banners.
set -euo pipefail
build="${1:-$(dirname "$0")/../../build}"
exec python3 "$(dirname "$0")/pop3_index.py" "$(cd "$build" && pwd)/brevin"
