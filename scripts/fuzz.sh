#!/usr/bin/env bash
# Builds the fuzz targets with clang (build-fuzz/) and runs each for SECONDS seconds
# (default 60) from its seed corpus in fuzz/corpus/<target>/. New inputs go to a scratch
# copy, never to the committed seeds. A crash, a sanitizer report or an input that runs
# longer than 10 s fails the script; the input is kept in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

cmake -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" >/dev/null

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p build-fuzz/artifacts

export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

status=0
for dir in fuzz/corpus/*/; do
  target="$(basename "$dir")"
  # The daemon target needs inputs past the 4096-byte line bound.
  max_len=4096
  [ "$target" = serve_request ] && max_len=12000
  cp -r "$dir" "$scratch/$target"
  log="build-fuzz/artifacts/$target.log"
  if build-fuzz/bin/fuzz_"$target" "$scratch/$target" -max_total_time="$seconds" \
      -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="build-fuzz/artifacts/$target-" >"$log" 2>&1; then
    execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
    echo "fuzz: $target: ok, $execs runs in ${seconds}s"
  else
    echo "fuzz: $target: FAILED (log: $log)" >&2
    tail -n 40 "$log" >&2
    status=1
  fi
done
exit "$status"
