#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh, lintian included), or takes the one named
# (scripts/package-test.sh [DEB], built by package.sh), installs it with dpkg,
# runs the installed programs from /usr/bin against an emulator, then purges it and checks
# that nothing of it is left. Needs root, and the emulator of the normal build (build/bin;
# another one through SMCEMU_BIN). Refuses to run when orvane is installed already.
#
# The install cycle runs in a mount namespace of its own with a fresh /var/log and a fresh
# /etc/systemd/system, so a daemon log already on the machine is neither taken over nor
# purged, and the service files planted below never reach the machine's systemd.
# shellcheck disable=SC2015  # "a && b || fail": any failing check fails
set -euo pipefail
cd "$(dirname "$0")/.."

unit=com.orvane.orvtool.service

fail() {
  echo "package-test: $*" >&2
  exit 1
}

# Whether dpkg has anything of orvane: installed, half-installed or its configuration files.
present() {
  local status
  status=$(dpkg-query -W -f='${Status}' orvane 2>/dev/null) || return 1
  [ -n "$status" ] && [ "${status##* }" != not-installed ]
}

# --- the install cycle, inside the namespace --------------------------------------------

# Every name under the places a package or its scripts could leave something.
snapshot() {
  {
    find /etc /usr /opt /var/lib/systemd -xdev 2>/dev/null || :
    find /var/log /etc/systemd/system 2>/dev/null || :
  } | grep -vx /var/log/dpkg.log | sort -u
}

# Run at the end of the cycle, whether it passed or not: the package never stays installed.
cleanup() {
  if present; then
    dpkg --purge orvane >/dev/null 2>&1 || :
  fi
  if [ -n "$emupid" ]; then
    kill "$emupid" 2>/dev/null || :
    wait "$emupid" 2>/dev/null || :
  fi
  [ -z "$work" ] || rm -rf "$work"
  umount /etc/systemd/system 2>/dev/null || :
  for dir in "${made[@]}"; do rmdir "$dir" 2>/dev/null || :; done
}

cycle() {
  local deb=$1 emulator=$2 profile=$3
  work=$(mktemp -d /tmp/orvane-package.XXXXXX)
  chmod 755 "$work"
  mkdir -m 700 "$work/run"

  # What the package holds, and which of its directories the machine had already.
  dpkg-deb -c "$deb" | awk '{print substr($6, 2)}' | sed 's:/$::' | grep . >"$work/paths"
  : >"$work/had"
  while read -r path; do
    [ ! -e "$path" ] || echo "$path" >>"$work/had"
  done <"$work/paths"
  grep -qx "/lib/systemd/system/$unit" "$work/paths" || fail "the package has no $unit"
  # The daemon's unit and the metrics' service and timer, nothing more.
  [ "$(grep -E '\.(service|timer)$' "$work/paths" | sort | tr '\n' ' ')" = \
    "/lib/systemd/system/com.orvane.metrics.service /lib/systemd/system/com.orvane.metrics.timer /lib/systemd/system/$unit " ] ||
    fail "the package's units are not the daemon's and the metrics' service and timer"

  snapshot >"$work/before"
  dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i failed"; }

  # The unit runs the installed tool as the application's own unit does, appending to the
  # daemon's log, whose directory the package makes; nothing enabled it.
  local installed=/lib/systemd/system/$unit
  for line in "ExecStart=/usr/bin/orvtool serve" "ExecStopPost=/usr/bin/orvtool auto" \
    "Restart=always" "RestartSec=1" "StartLimitIntervalSec=0" \
    "StandardOutput=append:/var/log/orvane/daemon.log" \
    "StandardError=append:/var/log/orvane/daemon.log" "WantedBy=multi-user.target"; do
    grep -qxF "$line" "$installed" || fail "$installed lacks $line"
  done
  [ -d /var/log/orvane ] || fail "no /var/log/orvane for the unit's log"
  if command -v systemd-analyze >/dev/null; then
    for file in "$installed" /lib/systemd/system/com.orvane.metrics.service \
      /lib/systemd/system/com.orvane.metrics.timer; do
      systemd-analyze verify --man=no "$file" >"$work/verify" 2>&1 && [ ! -s "$work/verify" ] ||
        { cat "$work/verify" >&2; fail "systemd-analyze verify $file"; }
    done
  else
    echo "package-test: no systemd-analyze here; the unit is not verified" >&2
  fi
  if [ -e "/etc/systemd/system/multi-user.target.wants/$unit" ]; then
    fail "the package enabled $unit"
  fi
  if [ -e /etc/systemd/system/timers.target.wants/com.orvane.metrics.timer ]; then
    fail "the package enabled com.orvane.metrics.timer"
  fi

  # The programs from /usr/bin against the emulator, which the package does not hold.
  export SMCEMU_SOCKET=$work/smcemu.sock
  "$emulator" --profile "$profile" --socket "$SMCEMU_SOCKET" 2>"$work/smcemu.log" &
  emupid=$!
  for _ in $(seq 100); do
    [ -S "$SMCEMU_SOCKET" ] && break
    sleep 0.05
  done
  [ -S "$SMCEMU_SOCKET" ] || { cat "$work/smcemu.log" >&2; fail "the emulator did not start"; }

  [ "$(command -v orvtool)" = /usr/bin/orvtool ] || fail "orvtool is not /usr/bin/orvtool"
  [ "$(command -v OrvaneBar)" = /usr/bin/OrvaneBar ] || fail "OrvaneBar is not /usr/bin/OrvaneBar"
  local info fans rpm
  info=$(/usr/bin/orvtool info) || fail "orvtool info failed"
  fans=$(sed -n '1s/^风扇数: \([0-9]*\)$/\1/p' <<<"$info")
  [ -n "$fans" ] && [ "$fans" -gt 0 ] || fail "orvtool info shows no fans: $info"
  # Reading needs no root.
  rpm=$(runuser -u nobody -- /usr/bin/orvtool rpm) || fail "orvtool rpm as nobody failed"
  [ "$(grep -cx '[0-9][0-9]*' <<<"$rpm")" -eq "$fans" ] || fail "orvtool rpm: $rpm"
  local status=0
  /usr/bin/orvtool --help >/dev/null 2>"$work/usage" || status=$?
  [ "$status" -eq 1 ] && grep -q '^用法: orvtool info' "$work/usage" || fail "orvtool --help: $status"

  # The tray application starts from the package's files and libraries and draws its menu.
  HOME=$work/home QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work/run \
    timeout 60 /usr/bin/OrvaneBar --screenshot "$work/shots" >"$work/bar.log" 2>&1 ||
    { cat "$work/bar.log" >&2; fail "OrvaneBar --screenshot failed"; }
  [ -s "$work/shots/tray-icon.png" ] && [ -s "$work/shots/menu.png" ] ||
    fail "OrvaneBar drew no pictures"

  # The menu entry and its icon; the manual pages render.
  desktop-file-validate /usr/share/applications/com.orvane.bar.desktop ||
    fail "the desktop entry does not validate"
  grep -qx 'Icon=com.orvane.bar' /usr/share/applications/com.orvane.bar.desktop &&
    [ -s /usr/share/icons/hicolor/scalable/apps/com.orvane.bar.svg ] || fail "no icon"
  local excluded=0
  grep -qs '^path-exclude=/usr/share/man' /etc/dpkg/dpkg.cfg.d/* && excluded=1
  for page in orvtool OrvaneBar; do
    local file=/usr/share/man/man1/$page.1.gz
    if ((excluded)) && [ ! -e "$file" ]; then
      # This machine's dpkg leaves manual pages out; they are read from the package.
      dpkg-deb -x "$deb" "$work/deb"
      file=$work/deb$file
    fi
    [ -e "$file" ] || fail "no manual page $file"
    MANWIDTH=80 man -l "$file" >"$work/man.out" 2>"$work/man.err" || fail "man -l $file failed"
    grep -q "^NAME" "$work/man.out" || fail "man -l $file renders no page"
    [ ! -s "$work/man.err" ] || { cat "$work/man.err" >&2; fail "man -l $file warns"; }
  done
  if ((!excluded)); then
    MANWIDTH=80 man orvtool >"$work/man.out" 2>&1 || fail "man orvtool failed"
    grep -q "$unit" "$work/man.out" || fail "man orvtool does not show $unit"
  fi

  # A purge takes the log the service wrote and the link an administrator's enable made.
  echo log >/var/log/orvane/daemon.log
  echo log >/var/log/orvane/daemon.log.1
  mkdir -p /etc/systemd/system/multi-user.target.wants
  ln -s "/lib/systemd/system/$unit" "/etc/systemd/system/multi-user.target.wants/$unit"
  dpkg --purge orvane >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "purge failed"; }
  rmdir /etc/systemd/system/multi-user.target.wants 2>/dev/null || :

  ! dpkg -L orvane >/dev/null 2>&1 || fail "dpkg -L orvane still lists files"
  ! present || fail "orvane is still known to dpkg"
  while read -r path; do
    if [ -e "$path" ] || [ -L "$path" ]; then
      grep -qxF "$path" "$work/had" || fail "$path is left after the purge"
    fi
  done <"$work/paths"
  ls /var/lib/dpkg/info/orvane.* >/dev/null 2>&1 && fail "dpkg's records of orvane are left"
  snapshot >"$work/after"
  if ! diff -u "$work/before" "$work/after" >"$work/diff"; then
    cat "$work/diff" >&2
    fail "the purge left the machine different"
  fi

  # With the application's own install of the service present, a purge leaves that unit,
  # its link and the log it writes.
  dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i failed"; }
  local own=/etc/systemd/system/$unit
  printf '[Service]\nExecStart=/Library/PrivilegedHelperTools/com.orvane.orvtool serve\n' >"$own"
  mkdir -p /etc/systemd/system/multi-user.target.wants
  ln -s "$own" "/etc/systemd/system/multi-user.target.wants/$unit"
  echo log >/var/log/orvane/daemon.log
  dpkg --purge orvane >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "purge failed"; }
  [ -f "$own" ] && [ -L "/etc/systemd/system/multi-user.target.wants/$unit" ] &&
    [ -f /var/log/orvane/daemon.log ] || fail "the purge took the application's own service"
  rm -rf /etc/systemd/system/multi-user.target.wants "$own" /var/log/orvane
}

if [ "${1:-}" = --cycle ]; then
  shift
  # The namespace's own /var/log and /etc/systemd/system (made first when the machine has
  # none, and removed again afterwards).
  work="" emupid="" made=()
  trap cleanup EXIT
  for dir in /etc/systemd /etc/systemd/system; do
    [ -d "$dir" ] || { mkdir "$dir" && made=("$dir" "${made[@]}"); }
  done
  mount -t tmpfs -o mode=0755 orvane-log /var/log
  mount -t tmpfs -o mode=0755 orvane-units /etc/systemd/system
  cycle "$@"
  exit 0
fi

# --- outside: build, tools, then the cycle in its namespace ----------------------------

[ "$(id -u)" -eq 0 ] || fail "needs root (dpkg -i, a private mount namespace)"
emulator=${SMCEMU_BIN:-$PWD/build/bin/smcemu}
[ -x "$emulator" ] || fail "no emulator at $emulator (scripts/build.sh builds it)"
if present; then
  fail "orvane is installed already; the test installs and purges it itself"
fi

start=$SECONDS
deb=${1:-}
if [ -z "$deb" ]; then
  scripts/package.sh
  version=$(sed -n '1s/^orvane (\([^)]*\)).*/\1/p' packaging/changelog)
  deb=$PWD/dist/orvane_${version}_amd64.deb
fi
built=$SECONDS
[ -f "$deb" ] || fail "no package $deb"
deb=$(realpath "$deb")

# The package's dependencies come from the archive, so that dpkg -i alone installs it and
# they stay out of what the purge must take away; and the tools of the checks.
needed=(desktop-file-utils man-db)
read -r -a depends <<<"$(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/,/ /g')"
. "$PWD/scripts/packages.sh"
install_missing package-test "${depends[@]}" "${needed[@]}"

unshare --mount --propagation private "$PWD/scripts/package-test.sh" --cycle "$deb" "$emulator" \
  "$PWD/smcemu/profiles/recent-2fan.prof"
echo "package-test: passed in $((SECONDS - start)) s (package $((built - start)) s," \
  "install, checks and purge $((SECONDS - built)) s)"
