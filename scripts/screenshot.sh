#!/usr/bin/env bash
# Takes the README's pictures of the desktop shell: the splash, the main window with its
# activity panel while Python's smtplib and poplib deliver and collect mail on loopback, and the
# user definition dialog, on a virtual X server with trayer as the notification area.
# Usage: scripts/screenshot.sh [OUTPUT_FOLDER]   (default: docs; BUILD=build-x for another build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$(realpath -m "${1:-docs}")

scripts/install-deps.sh screenshot
build=${BUILD:-build}
if [ ! -x "$build/brevin" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" --target brevin -j 2
fi
mkdir -p "$out"

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# A free display number.
number=${SCREENSHOT_DISPLAY:-71}
while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do
    number=$((number + 1))
done
export DISPLAY=":$number"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM

Xvfb "$DISPLAY" -screen 0 1024x738x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do
    xdotool getdisplaygeometry >/dev/null 2>&1 && break
    sleep 0.1
done
xdotool getdisplaygeometry >/dev/null

# The notification area, in the top right corner.
trayer --edge top --align right --widthtype request --height 28 --SetDockType true \
    --transparent false --tint 0x404040 >/dev/null 2>&1 &
pids+=($!)
sleep 1

# A profile with a few users, written as the administrator would.
(
    cd "$work"
    echo "a-secret" | "$root/$build/brevin" user set anna anna
    echo "b-secret" | "$root/$build/brevin" user set bob bob
    echo "c-secret" | "$root/$build/brevin" user set carol carol
) >/dev/null

window() { # waits for a window of that exact name and prints its id
    local id=""
    for _ in $(seq 100); do
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1) && [ -n "$id" ] && break
        sleep 0.1
    done
    [ -n "$id" ] || { echo "no window named \"$1\"" >&2; return 1; }
    echo "$id"
}

(cd "$work" && exec "$root/$build/brevin" --address 127.0.0.1 --smtp-port 2525 --pop3-port 1110 \
    --submission-port 0 --smtps-port 0) &
pids+=($!)

# The splash stands in the middle of the screen for five seconds.
sleep 1.5
import -window root -crop 175x299+424+219 +repage "$out/splash.png"

# The main window starts hidden: a click on the tray icon shows it.
sleep 5
tray=$(xdotool search --onlyvisible --class trayer | head -n 1)
eval "$(xdotool getwindowgeometry --shell "$tray")"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 1
main=$(window Brevin)
xdotool windowmove "$main" 20 40 windowsize "$main" 960 560

# Traffic for the activity panel: deliveries, a retrieval, a wrong password, an unknown
# recipient, and two sessions left open while the picture is taken.
python3 - <<'PY'
import poplib, smtplib, socket, time
for n in range(3):
    with smtplib.SMTP("127.0.0.1", 2525) as s:
        s.sendmail("boss@lan", ["anna@lan", "bob@lan"], f"Subject: note {n}\r\n\r\nhello\r\n")
try:
    with smtplib.SMTP("127.0.0.1", 2525) as s:
        s.sendmail("boss@lan", ["nobody@lan"], "Subject: lost\r\n\r\nhello\r\n")
except smtplib.SMTPException:
    pass
p = poplib.POP3("127.0.0.1", 1110)
p.user("anna"); p.pass_("a-secret"); p.retr(1); p.dele(1); p.quit()
p = poplib.POP3("127.0.0.1", 1110)
p.user("bob")
try:
    p.pass_("guess")
except poplib.error_proto:
    pass
p.quit()
PY
python3 -c '
import poplib, smtplib, time
s = smtplib.SMTP("127.0.0.1", 2525); s.ehlo("pc-carol")
p = poplib.POP3("127.0.0.1", 1110); p.user("bob"); p.pass_("b-secret")
time.sleep(8)
' &
pids+=($!)
sleep 2
import -window "$main" "$out/main-window.png"

# File > Users opens the user definition dialog over it.
xdotool mousemove --window "$main" 200 200
xdotool key --clearmodifiers alt+f
sleep 0.5
xdotool key u
dialog=$(window "User definition")
sleep 1
import -window "$dialog" "$out/user-dialog.png"
echo "screenshots in $out"
