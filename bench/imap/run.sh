#!/usr/bin/env bash
# IMAP against the program on loopback, beside Debian's dovecot where it is installed: the
# listing of 10,000 messages, a 10 MiB body over TLS, 1,000 IDLE sessions and deliveries to
# them, and 100 clients syncing their folders.
set -euo pipefail
build="${1:-$(dirname "$0")/../../build}"
exec python3 "$(dirname "$0")/imap_load.py" "$(cd "$build" && pwd)/brevin"
