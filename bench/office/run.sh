#!/usr/bin/env bash
# Distribution lists and quotas: delivery rates against the plain case in the same run.
set -euo pipefail
build="${1:-$(dirname "$0")/../../build}"
exec python3 "$(dirname "$0")/office_load.py" "$(cd "$build" && pwd)/brevin"
