#!/usr/bin/env bash
# The test command: installs what is missing, compiles the macOS build, links its orvtool and
# shows that check catches known faults (scripts/maccheck.sh, build-maccheck/), builds, runs every
# test, builds, installs and purges the Debian package (scripts/package-test.sh), runs the
# service under systemd in a container (scripts/service-test.sh); then the
# same suite built with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/), and
# every fuzz target for a short while (ORVANE_FUZZ_SECONDS each, default 20; 0 skips).
#
# The tests mostly wait (for the emulator's fans, for daemons, for desktops), so the builds
# that do not need them finished run beside them at the lowest priority, taking only the
# processor time the tests leave: the macOS check and the package beside the first run of the
# suite, the sanitized build beside the package and service tests, the fuzz targets' build
# beside the sanitized suite. Their output is shown when they are joined.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each stage's processor time (user and system, of everything it ran and waited for) and its
# wall time, listed at the end, also when a stage fails. Each stage runs in a subshell of its
# own, whose children are only the stage's: a build beside the tests is not counted in the
# stage that runs while it ends.
stage_times=$(mktemp)
beside_logs=$(mktemp -d)
declare -A beside_pid=()
finish() {
  local status=$? pid
  # Builds still beside the tests when a stage failed: stopped, with what they started.
  for pid in "${beside_pid[@]}"; do
    kill -- "-$pid" 2>/dev/null || :
  done
  echo "test: stage                     cpu s  wall s" >&2
  cat "$stage_times" >&2
  awk -v wall=$SECONDS '{ cpu += $(NF - 1) }
    END { printf "test: %-24s %6d %7d\n", "all", cpu, wall }' "$stage_times" >&2
  rm -rf "$stage_times" "$beside_logs"
  exit "$status"
}
trap finish EXIT
# stage NAME COMMAND...: runs COMMAND and records its times.
stage() {
  local name=$1
  shift
  (
    start=$SECONDS
    "$@"
    # The builtin times in this subshell: its children's user and system time on line 2.
    times >"$stage_times.$BASHPID"
    awk -v name="$name" -v wall=$((SECONDS - start)) 'NR == 2 {
      cpu = 0
      for (i = 1; i <= 2; i++) { split($i, t, "m"); cpu += t[1] * 60 + t[2] }
      printf "test: %-24s %6d %7d\n", name, cpu, wall
    }' "$stage_times.$BASHPID" >>"$stage_times"
    rm -f "$stage_times.$BASHPID"
  )
}
# beside NAME COMMAND...: runs the stage at the lowest priority (its children inherit it), in
# a process group of its own (job control on for the start), so that a failure elsewhere stops
# all of it; its output goes to a log.
beside() {
  local name=$1
  shift
  set -m
  {
    renice -n 19 "$BASHPID" >/dev/null
    stage "$name (beside)" "$@"
  } >"$beside_logs/$name.log" 2>&1 &
  beside_pid[$name]=$!
  set +m
}
# join NAME: waits for it, shows its output, and fails when it failed.
join() {
  local name=$1 status=0
  wait "${beside_pid[$name]}" || status=$?
  unset "beside_pid[$name]"
  cat "$beside_logs/$name.log"
  ((status == 0)) || { echo "test: $name failed (status $status)" >&2; exit 1; }
}

jobs=$(nproc)
# The suites mostly wait (about a tenth of their test time is processor time), so twice as
# many tests as cores run at once; those that must be alone are marked RUN_SERIAL.
tests_at_once=$((2 * jobs))
# ctest DIR TIMEOUT: the suite of one build.
suite() { (cd "$1" && ctest --output-on-failure -j"$tests_at_once" --timeout "$2"); }
maccheck() { scripts/maccheck.sh && scripts/maccheck.sh --selftest; }
asan_build() {
  # Sanitized: programs started by the tests (emulator, orvtool, OrvaneBar) come from this
  # build too, so they run instrumented. The benchmarks are left out.
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_SANITIZE=ON \
    -DORVANE_BENCH=OFF >/dev/null
  cmake --build build-asan -j"$jobs"
}
fuzz_seconds="${ORVANE_FUZZ_SECONDS:-20}"
# The Debian package: built, installed, its programs run from /usr/bin against this build's
# emulator, then purged; installing needs root, like the tests that skip without it. Then the
# service under systemd as PID 1 in a container: the shipped unit, the application's own
# install of it and that package's whole life.
root=0
[ "$(id -u)" -eq 0 ] && root=1
version=$(sed -n '1s/^orvane (\([^)]*\)).*/\1/p' packaging/changelog)
deb=dist/orvane_${version}_amd64.deb

stage setup scripts/setup.sh
stage build scripts/build.sh
beside maccheck maccheck
((root)) && beside package scripts/package.sh
stage ctest suite build 300
if ((root)); then
  join package
  beside asan-build asan_build
  stage package-test scripts/package-test.sh "$deb"
  stage service-test scripts/service-test.sh "$deb"
else
  echo "test: the package and service tests install a package and need root; skipped" >&2
  beside asan-build asan_build
fi
join maccheck
join asan-build
[ "$fuzz_seconds" = 0 ] || beside fuzz-build scripts/fuzz.sh --build
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
stage "asan ctest" suite build-asan 600
if [ "$fuzz_seconds" != 0 ]; then
  join fuzz-build
  stage fuzz scripts/fuzz.sh "$fuzz_seconds"
fi
