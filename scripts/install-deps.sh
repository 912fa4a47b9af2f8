#!/usr/bin/env bash
# Installs the Debian packages Brevin needs, only those that are missing, so a second run is
# quick. Usage: scripts/install-deps.sh [run|test|bench|fuzz|screenshot]
set -euo pipefail

build=(cmake ninja-build g++ pkg-config qt6-base-dev libx11-dev libgtest-dev libgmock-dev libssl-dev
    libcrypt-dev libgmime-3.0-dev libexpat1-dev libqrencode-dev)
case "${1:-run}" in
    run) want=("${build[@]}" libcap2-bin) ;;
    test | bench) want=("${build[@]}" python3 curl msmtp mpop fetchmail mutt swaks libnet-ssleay-perl
        iproute2 util-linux clang-format clang-tidy fail2ban strace git git-email libauthen-sasl-perl
        libio-socket-ssl-perl libmailtools-perl isync offlineimap3 neomutt getmail6 ruby
        ca-certificates)
        # The IMAP benchmark runs the same load against Debian's IMAP server beside Brevin.
        [ "${1:-run}" = bench ] && want+=(dovecot-imapd) ;;
    fuzz) want=("${build[@]}" clang libclang-rt-14-dev) ;;
    screenshot) want=("${build[@]}" xvfb trayer x11-apps imagemagick xdotool chromium) ;;
    *) echo "usage: $0 [run|test|bench|fuzz|screenshot]" >&2; exit 2 ;;
esac

missing=()
for pkg in "${want[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$pkg")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
