#!/usr/bin/env bash
# Builds and runs the micro-benchmarks against the emulator.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh >/dev/null
build/bin/smc_bench --benchmark_min_time=1
build/bin/app_bench --benchmark_min_time=1
build/bin/driver_bench --benchmark_min_time=1 --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
build/bin/daemon_bench
build/bin/keeper_bench
build/bin/curve_bench
