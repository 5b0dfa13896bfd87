#!/usr/bin/env bash
# Fails when a test of the build in BUILD_DIR (default build/) carries none of the groups
# that ctest -L selects, or more than one: unit, end-to-end, desktop, security, soak.
set -euo pipefail
dir=${1:-build}
groups=(unit end-to-end desktop security soak)

# The test names ctest lists, for the options given.
names() { ctest --test-dir "$dir" -N "$@" | sed -n 's/^ *Test *#[0-9]*: //p' | sort; }

all=$(names)
[ -n "$all" ] || { echo "check-labels: no tests in $dir" >&2; exit 1; }
labelled=$(for group in "${groups[@]}"; do names -L "^${group}\$"; done | sort)
status=0
twice=$(uniq -d <<<"$labelled")
if [ -n "$twice" ]; then
  echo "check-labels: tests in more than one group:" >&2
  sed 's/^/  /' <<<"$twice" >&2
  status=1
fi
missing=$(comm -23 <(echo "$all") <(uniq <<<"$labelled"))
if [ -n "$missing" ]; then
  echo "check-labels: tests in none of the groups (${groups[*]}):" >&2
  sed 's/^/  /' <<<"$missing" >&2
  status=1
fi
((status)) || echo "check-labels: $(wc -l <<<"$all") tests, each in one group"
exit "$status"
