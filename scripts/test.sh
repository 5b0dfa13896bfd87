#!/usr/bin/env bash
# The test command: installs what is missing, compiles the macOS build, links its orvtool and
# shows that check catches known faults (scripts/maccheck.sh, build-maccheck/), builds, runs every
# test, builds, installs and purges the Debian package (scripts/package-test.sh), runs the
# service under systemd in a container (scripts/service-test.sh); then the
# same suite built with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/), and
# every fuzz target for a short while (ORVANE_FUZZ_SECONDS each, default 20; 0 skips).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/maccheck.sh
scripts/maccheck.sh --selftest
scripts/build.sh
(cd build && ctest --output-on-failure -j"$(nproc)" --timeout 300)

# The Debian package: built, installed, its programs run from /usr/bin against this build's
# emulator, then purged; installing needs root, like the tests that skip without it. Then the
# service under systemd as PID 1 in a container: the shipped unit, the application's own
# install of it and that package's whole life.
if [ "$(id -u)" -eq 0 ]; then
  scripts/package-test.sh
  version=$(sed -n '1s/^orvane (\([^)]*\)).*/\1/p' packaging/changelog)
  scripts/service-test.sh "dist/orvane_${version}_amd64.deb"
else
  echo "test: the package and service tests install a package and need root; skipped" >&2
fi

# Sanitized: programs started by the tests (emulator, orvtool, OrvaneBar) come from this
# build too, so they run instrumented. The benchmarks are left out.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_SANITIZE=ON \
  -DORVANE_BENCH=OFF >/dev/null
cmake --build build-asan -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
(cd build-asan && ctest --output-on-failure -j"$(nproc)" --timeout 600)

fuzz_seconds="${ORVANE_FUZZ_SECONDS:-20}"
if [ "$fuzz_seconds" != 0 ]; then
  scripts/fuzz.sh "$fuzz_seconds"
fi
