#!/usr/bin/env bash
# Builds the fuzz targets with clang (build-fuzz/) and runs each for SECONDS seconds
# (default 60) from its seed corpus in fuzz/corpus/<target>/, as many targets at once as the
# machine has cores. New inputs go to a scratch
# copy, never to the committed seeds. A crash, a sanitizer report or an input that runs
# longer than 10 s fails the script; the input is kept in build-fuzz/artifacts/.
# scripts/fuzz.sh --build only builds them.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

cmake -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" >/dev/null
[ "$seconds" != --build ] || exit 0

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p build-fuzz/artifacts

export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# One target: fuzzes a scratch copy of its seeds and reports; non-zero when it failed.
run_target() {
  local target=$1 max_len=4096
  # The daemon target needs inputs past the 4096-byte line bound.
  [ "$target" = serve_request ] && max_len=12000
  cp -r "fuzz/corpus/$target" "$scratch/$target"
  local log="build-fuzz/artifacts/$target.log"
  if build-fuzz/bin/fuzz_"$target" "$scratch/$target" -max_total_time="$seconds" \
      -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="build-fuzz/artifacts/$target-" >"$log" 2>&1; then
    local execs
    execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
    echo "fuzz: $target: ok, $execs runs in ${seconds}s"
  else
    echo "fuzz: $target: FAILED (log: $log)" >&2
    tail -n 40 "$log" >&2
    return 1
  fi
}

# The targets run side by side, one a core: each still gets its SECONDS on a core of its own.
parallel=$(nproc)
for dir in fuzz/corpus/*/; do
  while (($(jobs -rp | wc -l) >= parallel)); do wait -n || :; done
  target="$(basename "$dir")"
  (run_target "$target" || touch "$scratch/$target.failed") &
done
wait
status=0
for failed in "$scratch"/*.failed; do
  [ -e "$failed" ] && status=1
done
exit "$status"
