#!/usr/bin/env bash
# The run command: installs what is missing, builds, starts the SMC emulator on the
# default profile (unless SMCEMU_PROFILE names another) and shows live readings
# while the emulated load rises and falls.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh >/dev/null

profile=${SMCEMU_PROFILE:-smcemu/profiles/recent-2fan.prof}
export SMCEMU_SOCKET=${SMCEMU_SOCKET:-/tmp/smcemu.sock}
build/bin/smcemu --profile "$profile" --socket "$SMCEMU_SOCKET" 2>/tmp/smcemu.log &
emu=$!
trap 'kill $emu 2>/dev/null; wait $emu 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -S "$SMCEMU_SOCKET.ctl" ] && break; sleep 0.1; done

echo "== emulator on $profile, idle =="
build/bin/smcemu ctl load 0.1 >/dev/null
build/bin/orvane-readings 3
echo "== full load =="
build/bin/smcemu ctl load 1.0 >/dev/null
build/bin/orvane-readings 8
echo "== idle again =="
build/bin/smcemu ctl load 0.1 >/dev/null
build/bin/orvane-readings 5
