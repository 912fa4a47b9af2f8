#!/usr/bin/env bash
# Takes the README's picture of the settings page: the program serves it on loopback and
# headless Chromium renders it, both in a network namespace of their own, so that nothing the
# browser would fetch by itself leaves the machine.
# Usage: scripts/page-screenshot.sh [OUTPUT_FOLDER]   (default: docs; BUILD=build-x for another build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$(realpath -m "${1:-docs}")
build=${BUILD:-build}
[ -x "$build/brevin" ] || { echo "build $build/brevin first" >&2; exit 1; }
command -v chromium >/dev/null || scripts/install-deps.sh screenshot
mkdir -p "$out"

if [ "${BREVIN_IN_NAMESPACE:-}" != 1 ]; then
    exec env BREVIN_IN_NAMESPACE=1 timeout 120 unshare -n "$0" "$@"
fi
ip link set lo up

work=$(mktemp -d)
pid=""
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
(
    cd "$work"
    echo "a-secret" | "$root/$build/brevin" user set anna anna
) >/dev/null
(cd "$work" && exec "$root/$build/brevin" --headless --address 127.0.0.1 --smtp-port 2525 \
    --pop3-port 1110 --pop3s-port 1995 --imap-port 1143 --imaps-port 1993 \
    --submission-port 1587 --smtps-port 1465 --autoconfig-port 8080 2>/dev/null) &
pid=$!
for _ in $(seq 50); do
    (exec 3<>/dev/tcp/127.0.0.1/8080) 2>/dev/null && break
    sleep 0.1
done
timeout 60 chromium --headless --no-sandbox --disable-gpu --hide-scrollbars \
    --window-size=760,820 --screenshot="$out/settings-page.png" http://127.0.0.1:8080/ \
    >/dev/null 2>&1
echo "screenshot in $out/settings-page.png"
