#!/usr/bin/env bash
# The control service under a real systemd: boots a container with systemd as PID 1 and runs,
# inside it, the daemon from the shipped unit against an emulator that runs as a unit too,
# then the application's own install of the service, then the Debian package's whole life.
#
#   scripts/service-test.sh [DEB]     (root; DEB defaults to a package built by package.sh;
#                                      the programs come from build/bin, or from $ORVANE_BIN)
#
# The container is this machine's own system seen through an overlay: the root file system
# as the lower layer and a tmpfs as the upper one, in a mount namespace of this script's, so
# the package's files, dpkg's records and systemd's links are written for real inside and all
# of it is gone when the container stops. A writable /usr, /etc and /var/lib/dpkg are what
# dpkg needs; the machine's own packages are what the package depends on, so the container
# needs no network (it has none) and nothing is downloaded or cached.
# Checked inside (scripts/service-test.sh --inside, run by a unit):
# - the shipped unit, running the build's orvtool, on a machine with fan mode keys and on one
#   without: it starts, answers, forces a fan a user asks for; SIGKILL, stop and restart
#   each hand the fan back (the factory bytes); a curve set through the installed orvtool is
#   run again after a restart and after `orvtool auto`, and ends by `orvtool curve 0 off`; systemd-analyze security rates it
#   2.0 or less; its sandbox reaches logind on the system bus for a sleep delay; through the
#   applesmc driver's files, where each kernel puts them, the sandboxed daemon forces and
#   hands back (mainline and patched driver) and lists the keys' types;
# - the metrics' service (com.orvane.metrics.service) run once by systemd with node_exporter's
#   textfile directory present: it writes orvane.prom with orvane_up 1, which promtool
#   accepts, and with the daemon running orvane_daemon_up 1; its timer is installed but
#   neither enabled nor started;
# - the application's own install of the service (orvane-service-install, the application's
#   code): the same unit text in /etc/systemd/system, enabled, started, forcing; removed with
#   every fan automatic;
# - the package: installed, enabled and started, forcing; upgraded to a higher version (the
#   daemon restarted, fans handed back, still enabled); removed (stopped first, fans
#   automatic); purged (nothing left).
# shellcheck disable=SC2015  # "a && b || fail": any failing check fails
set -euo pipefail

unit=com.orvane.orvtool.service
test_dir=/opt/orvane-test
# Where clients find the daemon: the first of these that answers.
sockets=${ORVANE_SOCKETS:-/run/orvane/orvane.sock /tmp/orvane.sock}
emulator_socket=/run/smcemu/smcemu.sock
# The worst exposure systemd-analyze security may rate the unit.
max_exposure=2.0

fail() {
  echo "service-test: $*" >&2
  exit 1
}

# --- inside the container ------------------------------------------------------------------

step() { echo "--- $* ($((SECONDS))s)"; }

# Runs the command until it succeeds, for at most 30 s.
wait_for() {
  local what=$1
  shift
  for _ in $(seq 300); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  fail "timed out waiting: $what"
}

# One request to the daemon; prints the reply line. The client runs as root, or as the
# command in the array "client" says (runuser -u nobody --: as a user).
client=()
ask() {
  local socket reply
  for socket in $sockets; do
    [ -S "$socket" ] || continue
    reply=$(printf '%s\n' "$1" |
      timeout 10 "${client[@]}" socat -t 5 - "UNIX-CONNECT:$socket" 2>/dev/null) || continue
    [ -n "$reply" ] || continue
    echo "$reply"
    return 0
  done
  return 1
}

answers() { ask ping | grep -q '^OK'; }

main_pid() { systemctl show -P MainPID "$unit"; }

# A daemon other than the one with process id $1 runs from the unit and answers.
serving_anew() {
  local pid
  pid=$(main_pid)
  [ "$pid" != 0 ] && [ "$pid" != "$1" ] && answers
}

# The keys that tell whether the fans are forced: the mode keys on machines that have them,
# the minimums elsewhere. Prints one "KEY BYTES" line each, from the emulator.
fan_keys() {
  local keys key
  case $family in
  recent-2fan) keys="F0Md F1Md F0Mn F1Mn" ;;
  *) keys="F0Mn F1Mn" ;;
  esac
  for key in $keys; do
    echo "$key $("$test_dir/bin/smcemu" ctl --control "$emulator_socket.ctl" get "$key" |
      awk '$1 == "OK" {print $NF}')"
  done
}

automatic() {
  local now
  now=$(fan_keys)
  [ "$now" = "$factory" ] || {
    printf 'factory:\n%s\nnow:\n%s\n' "$factory" "$now" >&2
    return 1
  }
}

not_automatic() { ! automatic 2>/dev/null; }

# Forces fan $1 through the daemon and checks that the machine shows it forced.
force() {
  local reply
  reply=$(ask "set $1 4000") || fail "no reply to set $1 4000"
  [[ $reply == OK* ]] || fail "set $1 4000: $reply"
  ! automatic 2>/dev/null || fail "fan $1 does not show forced after: $reply"
}

start_emulator() {
  family=$1
  systemctl start "orvane-smcemu@$family.service"
  wait_for "the emulator ($family)" test -S "$emulator_socket"
  # A fresh boot for this machine: no record of another machine's fan minimums.
  rm -rf /run/orvane
  factory=$(fan_keys)
}

stop_emulator() {
  systemctl stop "orvane-smcemu@$family.service"
}

security() {
  systemd-analyze security --no-pager "$unit" >/tmp/security.txt 2>&1 || :
  exposure=$(sed -n 's/^→ Overall exposure level for .*: \([0-9.]*\) .*/\1/p' /tmp/security.txt)
  grep -E '✗|Overall' /tmp/security.txt
  [ -n "$exposure" ] || fail "systemd-analyze security rated nothing"
  awk -v e="$exposure" -v m="$max_exposure" 'BEGIN { exit !(e <= m) }' ||
    fail "$1 rates $exposure, more than $max_exposure"
}

# The shipped unit, running the build's tool, on one machine family.
shipped_unit() {
  start_emulator "$1"
  step "shipped unit, $family: start, answer, force"
  systemctl start "$unit"
  wait_for "the daemon to answer" answers
  [ "$family" != recent-2fan ] || security "the shipped unit"
  # Any user may ask the sandboxed daemon to force a fan.
  client=(runuser -u nobody --)
  force 0
  client=()
  grep -q 'set 0 4000' /var/log/orvane/daemon.log || fail "the daemon's log has no request"

  step "shipped unit, $family: SIGKILL, restarted, fan handed back"
  local pid
  pid=$(main_pid)
  systemctl kill -s KILL "$unit"
  wait_for "a restarted daemon" serving_anew "$pid"
  automatic || fail "SIGKILL: the fan stayed forced"

  step "shipped unit, $family: stop hands the fan back"
  force 1
  systemctl stop "$unit"
  ! systemctl -q is-active "$unit" || fail "the daemon still runs after stop"
  automatic || fail "stop: the fan stayed forced"

  step "shipped unit, $family: restart hands the fan back before the new daemon serves"
  systemctl start "$unit"
  wait_for "the daemon to answer" answers
  force 0
  pid=$(main_pid)
  systemctl restart "$unit"
  # The first answer of the new daemon: the fans are automatic already.
  wait_for "the new daemon to answer" serving_anew "$pid"
  automatic || fail "restart: the fan was still forced when the new daemon answered"
  curve_restart
  systemctl stop "$unit"
  stop_emulator
}

# A curve set through the installed tool: stored by the sandboxed daemon, run again by the
# daemon after a restart and after `orvtool auto`, ended by `orvtool curve 0 off`.
curve_restart() {
  local pid out curve="curve 0 cpu 30:3000 100:3100"
  step "shipped unit, $family: a curve set through orvtool outlives a restart and orvtool auto"
  # shellcheck disable=SC2086  # the curve's words
  out=$(orvtool $curve 2>&1) || fail "orvtool $curve: $out"
  wait_for "the curve to drive fan 0" not_automatic
  pid=$(main_pid)
  systemctl restart "$unit"
  wait_for "the new daemon to answer" serving_anew "$pid"
  out=$(orvtool curves 2>&1) || fail "orvtool curves: $out"
  grep -qF "$curve" <<<"$out" || fail "the curve is gone after the restart: $out"
  wait_for "the curve to drive fan 0 after the restart" not_automatic
  # `orvtool auto` writes the SMC itself, past the daemon (reaching it as the unit does,
  # through the emulator here): the curve stays and takes its fan again. It ends by
  # `orvtool curve 0 off`, or by root's `auto` request to the daemon.
  out=$(SMCEMU_SOCKET=$emulator_socket orvtool auto 2>&1) || fail "orvtool auto: $out"
  out=$(orvtool curves 2>&1) || fail "orvtool curves: $out"
  grep -qF "$curve" <<<"$out" || fail "orvtool auto ended the curve: $out"
  wait_for "the curve to take fan 0 again after orvtool auto" not_automatic
  out=$(orvtool curve 0 off 2>&1) || fail "orvtool curve 0 off: $out"
  automatic || fail "orvtool curve 0 off left the curve's fan forced"
  out=$(orvtool curves 2>&1) || fail "orvtool curves: $out"
  ! grep -qF "$curve" <<<"$out" || fail "orvtool curve 0 off did not end the curve: $out"
}

# The shipped unit reaching the fans through the applesmc driver's files, which the sandbox
# leaves writable: the emulator serves them (FUSE) where each kernel puts the driver, on a
# tmpfs over the devices' directory (this machine has none of its own), as the driver of
# machine family $1 ($2: the mainline driver at the platform device, or the patched t2 driver
# at the ACPI node).
driver_files() {
  local dir parent dropin=/etc/systemd/system/$unit.d/emulator.conf
  family=$1
  if [ "$2" = mainline ]; then
    dir=/sys/devices/platform/applesmc.768
  else
    dir=/sys/bus/acpi/devices/APP0001:00
  fi
  parent=$(dirname "$dir")
  step "the driver's files, $2 driver at $dir, $family: the sandboxed daemon forces, hands back"
  mountpoint -q "$parent" || mount -t tmpfs -o mode=0755 orvane-devices "$parent"
  mkdir -p "$dir"
  systemd-run -q --unit="orvane-driver-$family" -p RuntimeDirectory=smcemu \
    "$test_dir/bin/smcemu" --profile "$test_dir/profiles/$family.prof" \
    --socket "$emulator_socket" --driver-fs "$dir" --driver "$2"
  wait_for "the driver's files ($family)" test -e "$dir/fan1_min"
  rm -rf /run/orvane
  factory=$(fan_keys)
  # Without the emulator's socket the daemon takes the driver.
  mv "$dropin" /run/emulator.conf
  systemctl daemon-reload
  systemctl start "$unit"
  wait_for "the daemon to answer" answers
  # The daemon lists the keys' types for the application, which may not select keys: on
  # the patched driver its fan speeds are floats.
  grep -q '^F0Mn flt  4$' /run/orvane/applesmc-keys || [ "$2" != t2 ] ||
    fail "the daemon did not share the keys' types in /run/orvane/applesmc-keys"
  force 0
  systemctl stop "$unit"
  automatic || fail "stop: the fan stayed forced"
  mv /run/emulator.conf "$dropin"
  systemctl daemon-reload
  systemctl stop "orvane-driver-$family"
}

# The shipped unit's sandbox reaches the system bus and logind takes a sleep delay from it:
# the unit run once with a bus client in the daemon's place.
system_bus() {
  local probe=/run/systemd/system/orvane-bus-probe.service
  step "the shipped unit's sandbox: a sleep delay from logind on the system bus"
  # The container boots into the test's own unit alone: the system bus and logind are
  # started here, as a machine's boot would have.
  systemctl start dbus.socket dbus.service systemd-logind.service ||
    fail "the system bus or logind did not start in the container"
  sed -e 's:^ExecStart=.*:ExecStart=/usr/bin/busctl call org.freedesktop.login1 /org/freedesktop/login1 org.freedesktop.login1.Manager Inhibit ssss sleep Orvane probe delay:' \
    -e '/^\(ExecStopPost\|Restart\|RestartSec\)=/d' -e 's/^\[Service\]$/&\nType=oneshot/' \
    "$test_dir/$unit" >"$probe"
  systemctl daemon-reload
  systemctl start orvane-bus-probe.service ||
    fail "the sandbox did not reach logind on the system bus: $(tail -n 3 /var/log/orvane/daemon.log)"
  rm "$probe"
  systemctl daemon-reload
}

# The metrics' service from its shipped unit, running the build's tool, once by hand as the
# timer would; the timer is there and nothing enabled or started it.
metrics_service() {
  local service=com.orvane.metrics.service timer=com.orvane.metrics.timer
  local dir=/var/lib/prometheus/node-exporter file
  file=$dir/orvane.prom
  start_emulator recent-2fan
  step "metrics service: one run writes $file, which promtool accepts; the timer is not enabled"
  install -m 644 "$test_dir/$service" "$test_dir/$timer" /lib/systemd/system/
  mkdir -p "/etc/systemd/system/$service.d"
  cp "/etc/systemd/system/$unit.d/emulator.conf" "/etc/systemd/system/$service.d/"
  install -d -m 755 "$dir"
  rm -f "$file"
  systemctl daemon-reload
  [ "$(systemctl is-enabled "$timer")" = disabled ] || fail "$timer is enabled"
  ! systemctl -q is-active "$timer" || fail "$timer runs"
  systemctl start "$service" || fail "$service failed: $(journalctl -q -n 5 -u "$service")"
  [ -f "$file" ] || fail "$service wrote no $file"
  [ "$(stat -c '%U %a' "$file")" = "root 644" ] || fail "$file is not root's 0644"
  grep -qx 'orvane_up 1' "$file" || fail "$file lacks orvane_up 1: $(head -c 600 "$file")"
  grep -qx 'orvane_daemon_up 0' "$file" || fail "$file lacks orvane_daemon_up 0 without a daemon"
  promtool check metrics <"$file" || fail "promtool check metrics refuses $file"
  # Through the sandbox, the daemon's socket answers.
  systemctl start "$unit"
  wait_for "the daemon to answer" answers
  systemctl start "$service" || fail "$service failed: $(journalctl -q -n 5 -u "$service")"
  grep -qx 'orvane_daemon_up 1' "$file" || fail "$file lacks orvane_daemon_up 1 beside the daemon"
  promtool check metrics <"$file" || fail "promtool check metrics refuses $file"
  systemctl stop "$unit"
  rm -rf "/lib/systemd/system/$service" "/lib/systemd/system/$timer" "/etc/systemd/system/$service.d" "$file"
  systemctl daemon-reload
  stop_emulator
}

# The application's own install: its code, as root, with systemd.
own_install() {
  local app=/opt/orvane-app own=/etc/systemd/system/$unit
  local tool=/Library/PrivilegedHelperTools/com.orvane.orvtool
  start_emulator recent-2fan
  step "the application's install of the service"
  mkdir -p "$app"
  cp "$test_dir/bin/orvtool" "$test_dir/bin/orvane-service-install" "$app/"
  "$app/orvane-service-install" install || fail "the application's install failed"
  sed "s:^\(ExecStart\|ExecStopPost\)=/usr/bin/orvtool :\1=$tool :" "$test_dir/$unit" |
    cmp -s - "$own" || fail "$own is not the shipped unit with the application's tool"
  [ "$(systemctl is-enabled "$unit")" = enabled ] || fail "the application's unit is not enabled"
  wait_for "the application's daemon to answer" answers
  [ "$(readlink -f "/proc/$(main_pid)/exe")" = "$tool" ] || fail "the daemon is not $tool"
  security "the application's unit"
  force 0
  force 1

  step "the application's removal of the service"
  "$app/orvane-service-install" uninstall || fail "the application's removal failed"
  ! systemctl -q is-active "$unit" || fail "the daemon still runs after the removal"
  ! systemctl -q is-enabled "$unit" 2>/dev/null || fail "the unit is still enabled"
  for file in "$own" "$tool" /Library/LaunchDaemons/com.orvane.orvtool.plist; do
    [ ! -e "$file" ] || fail "$file is left after the removal"
  done
  automatic || fail "a fan stayed forced after the removal"
  stop_emulator
}

# Every name under the places a package or its scripts could leave something.
snapshot() {
  { find /etc /usr /var/lib/systemd /var/log /run/orvane -xdev 2>/dev/null || :; } |
    grep -Ev '^/var/log/(apt|dpkg\.log|journal)|^/etc/(ld\.so\.cache|mtab)$' | sort
}

package_life() {
  local first=$test_dir/deb/orvane.deb second=$test_dir/deb/orvane-upgrade.deb
  export DEBIAN_FRONTEND=noninteractive
  start_emulator older-2fan
  # A machine that never had the service: the application's removal leaves the log.
  rm -rf /var/log/orvane
  snapshot >/tmp/before

  step "package: install, enable --now, force"
  apt-get install -y -q --no-install-recommends "$first" >/tmp/apt.log 2>&1 ||
    { cat /tmp/apt.log; fail "apt-get install $first failed"; }
  cmp -s "/lib/systemd/system/$unit" "$test_dir/$unit" || fail "the package's unit is not the shipped one"
  ! systemctl -q is-active "$unit" || fail "installing started the daemon"
  systemctl enable --now "$unit"
  wait_for "the package's daemon to answer" answers
  force 0

  step "package: upgrade to a higher version"
  local pid
  pid=$(main_pid)
  apt-get install -y -q --no-install-recommends "$second" >/tmp/apt.log 2>&1 ||
    { cat /tmp/apt.log; fail "apt-get install $second failed"; }
  [[ $(dpkg-query -W -f='${Version}' orvane) == *+upgrade ]] || fail "the upgrade did not install"
  wait_for "the upgraded daemon to answer" serving_anew "$pid"
  automatic || fail "upgrade: the fan stayed forced"
  [ "$(systemctl is-enabled "$unit")" = enabled ] || fail "the upgrade disabled the service"

  step "package: remove stops the daemon first"
  force 1
  apt-get remove -y -q orvane >/tmp/apt.log 2>&1 || { cat /tmp/apt.log; fail "apt-get remove failed"; }
  ! systemctl -q is-active "$unit" || fail "the daemon still runs after the removal"
  ! pgrep -x orvtool >/dev/null || fail "an orvtool process is left after the removal"
  automatic || fail "remove: a fan stayed forced"

  step "package: purge leaves nothing"
  apt-get purge -y -q orvane >/tmp/apt.log 2>&1 || { cat /tmp/apt.log; fail "apt-get purge failed"; }
  ! dpkg-query -W orvane >/dev/null 2>&1 || fail "dpkg still knows orvane"
  systemctl daemon-reload
  [ -z "$(systemctl list-unit-files --no-legend "$unit")" ] || fail "systemd still has $unit"
  snapshot >/tmp/after
  diff -u /tmp/before /tmp/after || fail "the purge left the machine different"
  stop_emulator
}

# What a failure leaves to read: the daemon's unit, its journal and its log.
diagnose() {
  systemctl status --no-pager -n 20 "$unit" 2>&1 || :
  tail -n 20 /var/log/orvane/daemon.log 2>/dev/null || :
}

inside() {
  cd /
  trap '[ $? -eq 0 ] || diagnose' EXIT
  step "systemd $(systemctl --version | sed -n '1s/^systemd \([0-9]*\).*/\1/p') as PID 1:" \
    "$(systemctl is-system-running 2>&1 || :)"
  [ "$(cat /proc/1/comm)" = systemd ] || fail "PID 1 is not systemd"

  # The build's tool from the shipped unit, with the emulator named by a drop-in.
  install -m 755 "$test_dir/bin/orvtool" /usr/bin/orvtool
  install -m 644 "$test_dir/$unit" "/lib/systemd/system/$unit"
  # systemd opens the log for the daemon's output before it makes LogsDirectory=: the package
  # and the application's install make the directory.
  install -d -m 755 /var/log/orvane
  systemctl daemon-reload
  for family in recent-2fan older-2fan; do shipped_unit "$family"; done
  metrics_service
  system_bus
  driver_files older-2fan mainline
  driver_files recent-2fan t2
  rm /usr/bin/orvtool "/lib/systemd/system/$unit"
  systemctl daemon-reload

  own_install
  package_life
  step "passed"
}

if [ "${1:-}" = --inside ]; then
  inside
  exit 0
fi

# --- on the machine: the container --------------------------------------------------------

cd "$(dirname "$0")/.."
repo=$PWD

# The container's files, written into the overlay; then the boot.
container() {
  local deb=$1 bin=$2 root t
  work=$(mktemp -d /tmp/orvane-service.XXXXXX)
  # The mounts go with this namespace; the directory is removed here.
  trap 'umount -R "$work" 2>/dev/null || :; rmdir "$work" 2>/dev/null || :' EXIT
  mount -t tmpfs -o mode=0755 orvane-service "$work"
  mkdir "$work/upper" "$work/work" "$work/root"
  mount -t overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/work" orvane-service-root \
    "$work/root"
  root=$work/root
  t=$root$test_dir
  mkdir -p "$t/bin" "$t/deb" "$t/profiles" "$t/out"
  cp "$bin/orvtool" "$bin/smcemu" "$bin/orvane-service-install" "$t/bin/"
  cp smcemu/profiles/recent-2fan.prof smcemu/profiles/older-2fan.prof "$t/profiles/"
  cp "packaging/$unit" packaging/com.orvane.metrics.service packaging/com.orvane.metrics.timer \
    scripts/service-test.sh "$t/"

  # The package, and the same one rebuilt at a higher version for the upgrade.
  cp "$deb" "$t/deb/orvane.deb"
  dpkg-deb -R "$deb" "$work/upgrade"
  sed -i 's/^Version: .*/&+upgrade/' "$work/upgrade/DEBIAN/control"
  dpkg-deb --root-owner-group -b -Zxz "$work/upgrade" "$t/deb/orvane-upgrade.deb" >/dev/null

  # Docker's rule that packages start no services has no place on a machine run by systemd.
  rm -f "$root/usr/sbin/policy-rc.d"
  # Nothing of the service may be there before the test.
  rm -rf "$root/etc/systemd/system/$unit" "$root/etc/systemd/system/$unit.d"

  cat >"$root/etc/systemd/system/orvane-smcemu@.service" <<EOF
[Unit]
Description=SMC emulator of a %i machine for the service test

[Service]
ExecStart=$test_dir/bin/smcemu --profile $test_dir/profiles/%i.prof --socket $emulator_socket
RuntimeDirectory=smcemu
EOF
  mkdir "$root/etc/systemd/system/$unit.d"
  cat >"$root/etc/systemd/system/$unit.d/emulator.conf" <<EOF
[Service]
Environment=SMCEMU_SOCKET=$emulator_socket
EOF
  cat >"$root/etc/systemd/system/orvane-service-test.service" <<EOF
[Unit]
Description=Orvane service test
SuccessAction=exit-force
FailureAction=exit-force

[Service]
Type=oneshot
ExecStart=$test_dir/service-test.sh --inside
StandardOutput=append:$test_dir/out/log
StandardError=append:$test_dir/out/log
TimeoutStartSec=600
EOF

  local status=0
  timeout 900 systemd-nspawn -q -D "$root" --register=no --keep-unit --private-network \
    --tmpfs=/tmp --bind=/dev/fuse -b systemd.firstboot=off systemd.unit=orvane-service-test.service \
    >"$work/console.log" 2>&1 </dev/null || status=$?
  cat "$t/out/log" 2>/dev/null || :
  if [ "$status" -ne 0 ]; then
    echo "service-test: the container's console:" >&2
    tail -n 40 "$work/console.log" >&2
  fi
  [ "$status" -eq 0 ] || fail "failed (status $status)"
}

if [ "${1:-}" = --container ]; then
  shift
  container "$@"
  exit 0
fi

[ "$(id -u)" -eq 0 ] || fail "needs root (a container booting systemd)"
command -v systemd-nspawn >/dev/null || fail "no systemd-nspawn (scripts/setup.sh installs it)"
bin=${ORVANE_BIN:-$repo/build/bin}
for program in orvtool smcemu orvane-service-install; do
  [ -x "$bin/$program" ] || fail "no $bin/$program (scripts/build.sh builds it)"
done

start=$SECONDS
deb=${1:-}
if [ -z "$deb" ]; then
  scripts/package.sh >/dev/null
  version=$(sed -n '1s/^orvane (\([^)]*\)).*/\1/p' packaging/changelog)
  deb=$repo/dist/orvane_${version}_amd64.deb
fi
[ -f "$deb" ] || fail "no package $deb"
deb=$(realpath "$deb")

# The package's dependencies from the archive on this machine, as package-test.sh does: the
# container has no network.
read -r -a depends <<<"$(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/,/ /g')"
. "$PWD/scripts/packages.sh"
install_missing service-test "${depends[@]}"
if dpkg-query -W -f='${Status}' orvane 2>/dev/null | grep -q 'install ok installed'; then
  fail "orvane is installed on this machine; the test installs it itself in the container"
fi

unshare --mount --propagation private "$repo/scripts/service-test.sh" --container "$deb" "$bin"
echo "service-test: passed in $((SECONDS - start)) s"
