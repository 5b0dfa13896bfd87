#!/usr/bin/env bash
# The run command: installs what is missing, builds, starts the SMC emulator on the
# default profile (SMCEMU_PROFILE picks another) and shows the main job in a terminal:
# `orvtool info`, the control daemon started as root, a fan forced through the socket
# with socat, `orvtool watch` showing it converge, then automatic control again under
# a changing load. Then the tray application: on a desktop with a tray it starts there for
# real, with the control daemon running as root beside it; without one, pictures of its tray
# icon and menu are saved under shots/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh >/dev/null

bin=build/bin
sock=/run/orvane/orvane.sock  # the daemon also answers on /tmp/orvane.sock when it can
asroot=""
[ "$(id -u)" -eq 0 ] || asroot="sudo"
if [ -S "$sock" ] && echo ping | socat -t1 - "UNIX-CONNECT:$sock" 2>/dev/null | grep -q '^OK'; then
  echo "run.sh: a control daemon already answers on $sock; stop it first ('echo quit | socat - UNIX-CONNECT:$sock')" >&2
  exit 1
fi

profile=${SMCEMU_PROFILE:-smcemu/profiles/recent-2fan.prof}
export SMCEMU_SOCKET=${SMCEMU_SOCKET:-/tmp/smcemu.sock}
# The emulator's messages go to a fresh private directory, never to a fixed name in /tmp.
logs=$(mktemp -d)
$bin/smcemu --profile "$profile" --socket "$SMCEMU_SOCKET" 2>"$logs/smcemu.log" &
emu=$!
daemon=""
app=""
cleanup() {
  [ -z "$app" ] || kill "$app" 2>/dev/null || true
  [ -z "$daemon" ] || echo quit | socat -t2 - "UNIX-CONNECT:$sock" >/dev/null 2>&1 || true
  kill "$emu" 2>/dev/null || true
  wait "$emu" 2>/dev/null || true
  rm -rf "$logs"
}
trap cleanup EXIT
for _ in $(seq 50); do [ -S "$SMCEMU_SOCKET.ctl" ] && break; sleep 0.1; done

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
say() { printf '$ %s\n' "$*"; }
send() { say "echo '$1' | socat - UNIX-CONNECT:$sock"; echo "$1" | socat -t2 - "UNIX-CONNECT:$sock"; }

step "the emulated machine ($profile)"
say "orvtool info"; $bin/orvtool info
say "orvtool sensors"; $bin/orvtool sensors
say "orvtool rpm --json"; $bin/orvtool rpm --json

step "the control daemon, as root"
say "sudo orvtool serve &"
$asroot env SMCEMU_SOCKET="$SMCEMU_SOCKET" $bin/orvtool serve &
daemon=$!
for _ in $(seq 50); do [ -S "$sock" ] && break; sleep 0.1; done
sleep 0.2
send "ping"

step "force fan 0 to 4000 rpm and watch it converge"
send "set 0 4000"
say "orvtool watch 3"; $bin/orvtool watch 3

step "full load: automatic control raises fan 1, fan 0 stays forced"
$bin/smcemu ctl load 1.0 >/dev/null
say "orvtool watch 4"; $bin/orvtool watch 4

step "hand everything back to automatic control and let the machine cool"
send "auto"
$bin/smcemu ctl load 0.1 >/dev/null
say "orvtool watch 3"; $bin/orvtool watch 3
send "quit"
wait "$daemon" 2>/dev/null || true
daemon=""

step "the tray application"
pictures() {
  mkdir -p shots
  QT_QPA_PLATFORM=offscreen $bin/OrvaneBar --screenshot shots 2>/dev/null
  echo "pictures saved as shots/tray-icon.png, shots/menu.png and shots/sensors.png"
}
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "no desktop here"
  pictures
  exit 0
fi
# The application says at once when the desktop shows no tray icons, and ends at once when
# it cannot reach the display; either way its menu would be out of reach.
$bin/OrvaneBar 2> >(tee "$logs/app.err" >&2) &
app=$!
for _ in $(seq 30); do
  kill -0 "$app" 2>/dev/null || break
  grep -q 'shows no tray icons' "$logs/app.err" 2>/dev/null && break
  sleep 0.1
done
if kill -0 "$app" 2>/dev/null && ! grep -q 'shows no tray icons' "$logs/app.err"; then
  # The daemon runs as root beside the application, as the installed control service
  # would, so that its writes need no administrator prompt; it stops (handing the fans
  # back) when this script ends.
  say "sudo orvtool serve &"
  $asroot env SMCEMU_SOCKET="$SMCEMU_SOCKET" $bin/orvtool serve 2>"$logs/daemon.log" &
  daemon=$!
  for _ in $(seq 50); do [ -S "$sock" ] && break; sleep 0.1; done
  echo "OrvaneBar is in the tray: click its icon for the menu; choose 退出 to end."
  status=0
  wait "$app" || status=$?
  app=""
  exit "$status"
fi
kill "$app" 2>/dev/null || true
wait "$app" 2>/dev/null || true
app=""
echo "OrvaneBar cannot put its icon in a tray on this desktop (${DISPLAY:-}${WAYLAND_DISPLAY:+ $WAYLAND_DISPLAY})"
pictures
