#!/usr/bin/env bash
# Lets an ordinary user's `make run` listen on ports 25 and 110: gives the built program the
# capability to bind ports below 1024 (setcap cap_net_bind_service=+ep), and nothing else.
# Skipped when running as root, when the program has it already, or when both ports given in
# the arguments are 1024 or above. A rebuild drops the capability; the next `make run` asks again.
# Usage: scripts/grant-bind.sh PROGRAM [SERVER ARGS...]
set -euo pipefail
program=$1
shift
[ "$(id -u)" -eq 0 ] && exit 0

smtp=25 pop3=110
while [ $# -gt 0 ]; do
    case "$1" in
        --smtp-port) smtp=${2:-25}; shift ;;
        --smtp-port=*) smtp=${1#*=} ;;
        --pop3-port) pop3=${2:-110}; shift ;;
        --pop3-port=*) pop3=${1#*=} ;;
    esac
    shift
done
[ "$smtp" -ge 1024 ] 2>/dev/null && [ "$pop3" -ge 1024 ] 2>/dev/null && exit 0

if command -v getcap >/dev/null && getcap "$program" | grep -q cap_net_bind_service; then
    exit 0
fi
echo "Ports $smtp and $pop3 are privileged: giving $program the one capability to bind them"
echo "  sudo setcap cap_net_bind_service=+ep $program"
if ! command -v sudo >/dev/null || ! sudo setcap cap_net_bind_service=+ep "$program"; then
    echo "Could not set it; the server will say how, or use --smtp-port/--pop3-port above 1023." >&2
fi
exit 0
