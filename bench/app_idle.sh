#!/usr/bin/env bash
# Whole-process cost of the tray application left idle on the emulator (two fans):
# CPU time used over a window and resident memory at its end.
# Usage: bench/app_idle.sh [SECONDS]   (default 60; needs a built tree)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
work=$(mktemp -d)
trap 'kill $app $emu 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

export SMCEMU_SOCKET=$work/smc.sock
build/bin/smcemu --profile smcemu/profiles/recent-2fan.prof --socket "$SMCEMU_SOCKET" 2>/dev/null &
emu=$!
for _ in $(seq 100); do [ -S "$SMCEMU_SOCKET.ctl" ] && break; sleep 0.05; done

# A private HOME keeps the single-instance lock and settings away from the user's.
HOME=$work QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "${ORVANEBAR:-build/bin/OrvaneBar}" 2>/dev/null &
app=$!
sleep 5  # start-up is not part of the idle figure

ticks=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' "/proc/$app/stat"; }
before=$(cpu)
sleep "$seconds"
after=$(cpu)
rss=$(awk '/VmRSS/ {print $2}' "/proc/$app/status")
awk -v t=$((after - before)) -v hz="$ticks" -v s="$seconds" -v rss="$rss" 'BEGIN {
  printf "OrvaneBar idle %d s: CPU %.2f s = %.3f %% of one core; RSS %.1f MB\n",
         s, t / hz, 100 * t / hz / s, rss / 1024 }'
